// The wave-in recorder: captures PCM from the sound card's wave-in device in one-second buffers and
// delivers it as raw buffers, a WAV file, MP3 buffers, an MP3 memory stream or an MP3 file.
// UI thread only: device completions arrive as MM_WIM_DATA on the recorder's hidden window. No lock.
// The MP3 encoder is process-wide, so one recorder at a time may use an MP3 output.
#pragma once

#include "platform/kernel/Exceptions.h"
#include "platform/mmsystem/MMSystem.h"
#include "platform/ui/HiddenWindow.h"
#include "record/Lame_Enc.h"
#include "record/Streams.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum class TSamplesPerSec { s8K, s11K, s22K, s32K, s38K, s44K, s48K, s96K };
enum class TBitsperSample { bs8Bit, bs16Bit };
enum class TOutType { WAVBuffer, WAVFileStream, Mp3Buffer, Mp3MemoryStream, Mp3FileStream };

// Hz of each TSamplesPerSec value (s38K is 38000, not 38400).
uint32_t SamplesPerSecHz(TSamplesPerSec rate);

// Data: the PCM or MP3 bytes, the TMemoryStream* of the memory-stream mode, or null; Count: bytes.
using TWaveInEvent = std::function<void(void* Data, int64_t Count)>;

// A yes/no question to the user (caption, text); true for Yes.
using TAskYesNo = std::function<bool(const std::string& caption, const std::string& text)>;
// Replaces how the recorder asks before overwriting its output; returns the previous way. The default
// asks with a question box when a widget application runs, and answers No otherwise.
TAskYesNo SetOverwriteQuestion(TAskYesNo ask);

// A recording that cannot start (device, encoder or output file) or cannot go on.
class ERecordError : public Exception {
public:
    using Exception::Exception;
};

class TAudioRecord {
public:
    TAudioRecord();
    ~TAudioRecord();
    TAudioRecord(const TAudioRecord&) = delete;
    TAudioRecord& operator=(const TAudioRecord&) = delete;

    // Opens the output and the device, queues the buffers and starts capturing. Raises ERecordError
    // (or EStreamError for the output file) and stays idle when something cannot be opened.
    void Start();
    void Pause();
    void Resume();
    // Ends capturing and finishes the output. Everything captured up to the call is kept, the part
    // of the buffer being filled included. Raises EStreamError when the output cannot be written;
    // what reached it stays playable.
    void Stop();

    bool Active() const { return FActive; }
    bool isPause() const { return FIsPause; }

    TWaveInEvent OnData;
    // Runs when the recorder stopped itself because its output could not be written, before the
    // error is shown; the owner puts its controls back to idle.
    std::function<void()> OnStoppedByFailure;

    int RecBufferSize() const { return FRecBufferSize; }
    void SetRecBufferSize(int value) { FRecBufferSize = value > 8 ? 8 : value; }
    LMODE RecChannels() const { return FRecChannels; }
    void SetRecChannels(LMODE value);
    TSamplesPerSec RecSamplesPerSec() const;
    void SetRecSamplesPerSec(TSamplesPerSec value);
    TBitsperSample RecBitsperSample() const;
    void SetRecBitsperSample(TBitsperSample value);
    LBITRATE Mp3BitRate() const { return BitRateFromKbps(FBitRate); }
    void SetMp3BitRate(LBITRATE value) { FBitRate = BitRateKbps(value); }
    LMAXBITRATE Mp3MaxBitRate() const { return MaxBitRateFromKbps(FMaxBitRate); }
    void SetMp3MaxBitRate(LMAXBITRATE value) { FMaxBitRate = MaxBitRateKbps(value); }
    int EncBufferSize() const { return FEncBufferSize; }
    void SetEncBufferSize(int value) { FEncBufferSize = value > 5 ? 5 : value; }

    lQUALITY Mp3Quality = lQUALITY::HIGH;
    bool Mp3Private = false;
    bool Mp3CRC = true;
    bool Mp3CopyRight = false;
    bool Mp3Original = false;
    bool Mp3WriteVBRHeader = false;
    bool Mp3EnableVBR = false;
    LVBRQUALITY Mp3VBRQuality = LVBRQUALITY::v4;
    TOutType OutType = TOutType::WAVBuffer;
    std::string FileName; // without extension

    const WAVEFORMATEX& WaveFormat() const { return FWaveFormat; }
    // Bytes of each capture buffer (one second of the format), fixed at Start.
    uint32_t BufferBytes() const { return FBufferBytes; }
    // What EncoderOpen is given.
    TEncoderSettings EncoderSettings() const;

    // The hidden window's procedure (device messages).
    void WndProc(UINT message, WPARAM wParam, LPARAM lParam);
    void HandleWaveInData(WAVEHDR* header);
    void ProcessCapturedData(const void* data, int64_t count);

private:
    void SetWaveFormat(int channels, int bits, uint32_t rate);
    void AddCaptureBuffer();
    void ReleaseCaptureBuffer(WAVEHDR* header);
    void FreeCaptureBuffers();
    bool PrepareOutput(); // false when the user declined to overwrite
    bool AskOverwrite(const std::string& path);
    void FinishOutput();
    void CloseOutput(); // drops the outputs without finishing them
    void StopAfterFailure(const std::string& reason);
    [[noreturn]] void DeviceFailed(const char* what, MMRESULT result);

    struct Buffer {
        WAVEHDR Header{};
        std::unique_ptr<char[]> Data;
    };

    bool FActive = false;
    bool FIsPause = false;
    int FRecBufferSize = 4;
    LMODE FRecChannels = LMODE::STEREO;
    WAVEFORMATEX FWaveFormat{};
    int FChannelCount = 2;
    uint32_t FBitRate = 128;
    uint32_t FMaxBitRate = 320;
    int FEncBufferSize = 0;

    std::unique_ptr<THiddenWindow> FWndHandle;
    std::unique_ptr<HWAVEIN> FWaveIn; // the open device's handle cell; null while idle
    uint32_t FBufferBytes = 0;
    std::vector<std::unique_ptr<Buffer>> FBuffers;
    std::unique_ptr<TFileStream> FOutFile;
    std::unique_ptr<TMemoryStream> FOutMemory;
    TMemoryStream FStaging;
    int FBatchCount = 0;
    bool FEncoderOpen = false;
    bool FWriteFailed = false; // stopping because the output could not be written
    bool FStopping = false;    // Stop is taking in the buffers the device handed back
    std::string FStopFailure;  // why writing failed while Stop took them in
};
