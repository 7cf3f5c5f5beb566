#include "record/AudioRecord.h"

#include "platform/ui/ErrorDisplay.h"
#include "platform/ui/HiddenWindow.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

constexpr std::array<uint32_t, 8> RatesHz{8000, 11025, 22050, 32000, 38000, 44100, 48000, 96000};

bool DefaultAsk(const std::string& caption, const std::string& text)
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        std::fprintf(stderr, "%s: %s (no window to ask in: answered No)\n", caption.c_str(), text.c_str());
        return false;
    }
    return QMessageBox::question(nullptr, QString::fromStdString(caption), QString::fromStdString(text),
                                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

TAskYesNo& OverwriteQuestion()
{
    static TAskYesNo ask = DefaultAsk;
    return ask;
}

// Bytes of `stream` from its start that form whole MP3 frames (layer III headers walked one by one).
int64_t WholeMp3Frames(TStream& stream)
{
    static constexpr int Kbps[2][16] = {{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
                                        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}};
    static constexpr int Rates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
    const int64_t size = stream.Size();
    int64_t at = 0;
    uint8_t h[4] = {};
    while (at + 4 <= size) {
        stream.SetPosition(at);
        if (stream.Read(h, 4) != 4 || h[0] != 0xFF || (h[1] & 0xE0) != 0xE0 || ((h[1] >> 1) & 3) != 1)
            break;
        const int version = (h[1] >> 3) & 3;
        const int kbps = Kbps[version == 3 ? 0 : 1][h[2] >> 4];
        const int rateIndex = (h[2] >> 2) & 3;
        if (version == 1 || kbps == 0 || rateIndex == 3)
            break;
        const int64_t bytes =
            (version == 3 ? 144000 : 72000) * int64_t(kbps) / Rates[version][rateIndex] + ((h[2] >> 1) & 1);
        if (at + bytes > size)
            break;
        at += bytes;
    }
    stream.Seek(0, TSeekOrigin::End);
    return at;
}

} // namespace

uint32_t SamplesPerSecHz(TSamplesPerSec rate)
{
    return RatesHz[static_cast<size_t>(rate)];
}

TAskYesNo SetOverwriteQuestion(TAskYesNo ask)
{
    TAskYesNo old = std::move(OverwriteQuestion());
    OverwriteQuestion() = ask ? std::move(ask) : TAskYesNo(DefaultAsk);
    return old;
}

TAudioRecord::TAudioRecord()
{
    SetWaveFormat(2, 16, 44100);
    FWndHandle = std::make_unique<THiddenWindow>(
        [this](UINT message, WPARAM wParam, LPARAM lParam) { WndProc(message, wParam, lParam); });
}

TAudioRecord::~TAudioRecord()
{
    try {
        Stop();
    } catch (const std::exception& e) {
        ReportError(e.what());
    }
    FreeCaptureBuffers();
}

// ---- Properties ----

void TAudioRecord::SetWaveFormat(int channels, int bits, uint32_t rate)
{
    FWaveFormat.wFormatTag = WAVE_FORMAT_PCM;
    FWaveFormat.nChannels = static_cast<WORD>(channels);
    FWaveFormat.nSamplesPerSec = rate;
    FWaveFormat.wBitsPerSample = static_cast<WORD>(bits);
    FWaveFormat.nBlockAlign = static_cast<WORD>(channels * (bits / 8));
    FWaveFormat.nAvgBytesPerSec = FWaveFormat.nBlockAlign * rate;
    FWaveFormat.cbSize = 0;
}

void TAudioRecord::SetRecChannels(LMODE value)
{
    if (value == FRecChannels)
        return;
    FChannelCount = value == LMODE::MONO ? 1 : 2;
    FRecChannels = value;
    SetWaveFormat(FChannelCount, FWaveFormat.wBitsPerSample, FWaveFormat.nSamplesPerSec);
}

TSamplesPerSec TAudioRecord::RecSamplesPerSec() const
{
    for (size_t i = 0; i < RatesHz.size(); ++i)
        if (RatesHz[i] == FWaveFormat.nSamplesPerSec)
            return static_cast<TSamplesPerSec>(i);
    return TSamplesPerSec::s8K; // unreachable: the format only ever holds a table rate
}

void TAudioRecord::SetRecSamplesPerSec(TSamplesPerSec value)
{
    if (value == RecSamplesPerSec())
        return;
    SetWaveFormat(FChannelCount, FWaveFormat.wBitsPerSample, SamplesPerSecHz(value));
}

TBitsperSample TAudioRecord::RecBitsperSample() const
{
    return FWaveFormat.wBitsPerSample == 16 ? TBitsperSample::bs16Bit : TBitsperSample::bs8Bit;
}

void TAudioRecord::SetRecBitsperSample(TBitsperSample value)
{
    if (value == RecBitsperSample())
        return;
    SetWaveFormat(FChannelCount, value == TBitsperSample::bs16Bit ? 16 : 8, FWaveFormat.nSamplesPerSec);
}

TEncoderSettings TAudioRecord::EncoderSettings() const
{
    TEncoderSettings s;
    s.WaveFormat = FWaveFormat;
    s.RecChannels = FRecChannels;
    s.Mp3Quality = Mp3Quality;
    s.Mp3BitRate = Mp3BitRate();
    s.Mp3MaxBitRate = Mp3MaxBitRate();
    s.Mp3Private = Mp3Private;
    s.Mp3CRC = Mp3CRC;
    s.Mp3CopyRight = Mp3CopyRight;
    s.Mp3Original = Mp3Original;
    s.Mp3WriteVBRHeader = Mp3WriteVBRHeader;
    s.Mp3EnableVBR = Mp3EnableVBR;
    s.Mp3VBRQuality = Mp3VBRQuality;
    return s;
}

// ---- Start and stop ----

bool TAudioRecord::AskOverwrite(const std::string& path)
{
    if (!std::filesystem::exists(path))
        return true;
    const std::string title = QCoreApplication::applicationName().toStdString();
    return OverwriteQuestion()(title, "目标文件已经存在，要覆盖吗？");
}

bool TAudioRecord::PrepareOutput()
{
    const auto openEncoder = [this] {
        const uint32_t result = EncoderOpen(EncoderSettings());
        if (result != 0)
            throw ERecordError("The MP3 encoder cannot encode this recording format (encoder error " +
                               std::to_string(result) + ").");
        FEncoderOpen = true;
    };
    switch (OutType) {
    case TOutType::WAVFileStream: {
        const std::string path = FileName + ".wav";
        if (!AskOverwrite(path))
            return false;
        FOutFile = std::make_unique<TFileStream>(path, TFileMode::Create);
        if (WriteWavHeader(FWaveFormat, *FOutFile)) {
            FOutFile.reset();
            throw ERecordError("The recording file " + path + " cannot be written.");
        }
        break;
    }
    case TOutType::Mp3Buffer:
        openEncoder();
        break;
    case TOutType::Mp3MemoryStream:
        FOutMemory = std::make_unique<TMemoryStream>();
        try {
            openEncoder();
        } catch (...) {
            FOutMemory.reset();
            throw;
        }
        break;
    case TOutType::Mp3FileStream: {
        const std::string path = FileName + ".Mp3";
        if (!AskOverwrite(path))
            return false;
        FOutFile = std::make_unique<TFileStream>(path, TFileMode::Create);
        try {
            openEncoder();
        } catch (...) {
            FOutFile.reset();
            throw;
        }
        break;
    }
    case TOutType::WAVBuffer:
        break;
    }
    return true;
}

void TAudioRecord::DeviceFailed(const char* what, MMRESULT result)
{
    char text[MAXERRORLENGTH] = {};
    waveInGetErrorTextA(result, text, sizeof(text));
    std::string message = std::string("The recording device ") + what;
    if (text[0])
        message += ": " + std::string(text);
    throw ERecordError(message);
}

void TAudioRecord::Start()
{
    FBatchCount = 0;
    if (FActive || FWaveIn)
        return;
    if (!PrepareOutput())
        return;
    FBufferBytes = FWaveFormat.nAvgBytesPerSec;
    try {
        FWaveIn = std::make_unique<HWAVEIN>(nullptr);
        MMRESULT r = waveInOpen(FWaveIn.get(), 0, &FWaveFormat, reinterpret_cast<DWORD_PTR>(FWndHandle.get()), 0,
                                CALLBACK_WINDOW | WAVE_MAPPED);
        if (r != MMSYSERR_NOERROR) {
            FWaveIn.reset();
            DeviceFailed("cannot be opened", r);
        }
        for (int i = 0; i < FRecBufferSize; ++i)
            AddCaptureBuffer();
        r = waveInStart(*FWaveIn);
        if (r != MMSYSERR_NOERROR)
            DeviceFailed("cannot start", r);
        FActive = true;
    } catch (...) {
        if (FWaveIn) {
            waveInReset(*FWaveIn);
            waveInClose(*FWaveIn);
        }
        FreeCaptureBuffers();
        FWaveIn.reset();
        FWndHandle->DeliverPosted();
        CloseOutput();
        throw;
    }
}

void TAudioRecord::AddCaptureBuffer()
{
    auto buffer = std::make_unique<Buffer>();
    buffer->Data.reset(new char[FBufferBytes]);
    buffer->Header.lpData = buffer->Data.get();
    buffer->Header.dwBufferLength = FBufferBytes;
    WAVEHDR* h = &buffer->Header;
    FBuffers.push_back(std::move(buffer));
    waveInPrepareHeader(*FWaveIn, h, sizeof(WAVEHDR));
    const MMRESULT r = waveInAddBuffer(*FWaveIn, h, sizeof(WAVEHDR));
    if (r != MMSYSERR_NOERROR)
        DeviceFailed("does not take a buffer", r);
}

void TAudioRecord::ReleaseCaptureBuffer(WAVEHDR* header)
{
    for (auto it = FBuffers.begin(); it != FBuffers.end(); ++it)
        if (&(*it)->Header == header) {
            FBuffers.erase(it);
            return;
        }
}

void TAudioRecord::FreeCaptureBuffers()
{
    if (FWaveIn)
        for (auto& b : FBuffers)
            waveInUnprepareHeader(*FWaveIn, &b->Header, sizeof(WAVEHDR));
    FBuffers.clear();
}

void TAudioRecord::Pause()
{
    if (!FActive || FIsPause)
        return;
    waveInStop(*FWaveIn);
    FIsPause = true;
}

void TAudioRecord::Resume()
{
    if (!FActive || !FIsPause)
        return;
    waveInStart(*FWaveIn);
    FIsPause = false;
}

void TAudioRecord::Stop()
{
    if (!FActive || !FWaveIn)
        return;
    // Stopping hands back every queued buffer, the one being filled with what it holds so far.
    // They are taken in while the recorder is still active, so the recording ends where the user
    // stopped it; none is queued again.
    waveInStop(*FWaveIn);
    waveInReset(*FWaveIn);
    FStopping = true;
    FWndHandle->DeliverPosted();
    FStopping = false;
    waveInClose(*FWaveIn);
    FreeCaptureBuffers();
    FWaveIn.reset();
    FActive = false;
    FIsPause = false;
    // The close message, and any that would name a header that is gone: taken in now, as no-ops,
    // so that none reaches a later recording.
    FWndHandle->DeliverPosted();
    std::string failure;
    std::swap(failure, FStopFailure);
    if (failure.empty()) {
        FinishOutput();
        return;
    }
    try {
        FinishOutput();
    } catch (...) {
        FWriteFailed = false;
        throw;
    }
    FWriteFailed = false;
    throw EStreamError(failure);
}

void TAudioRecord::FinishOutput()
{
    // The file is closed and the encoder released on every path; a failing write travels on after.
    struct CloseFile {
        std::unique_ptr<TFileStream>& File;
        std::unique_ptr<TMemoryStream>& Memory;
        ~CloseFile()
        {
            File.reset();
            Memory.reset();
        }
    } closing{FOutFile, FOutMemory};
    const bool encoder = FEncoderOpen;
    FEncoderOpen = false;
    switch (OutType) {
    case TOutType::WAVFileStream:
        if (FOutFile)
            PatchWavHeader(*FOutFile);
        break;
    case TOutType::Mp3Buffer:
        if (encoder)
            EncoderClose();
        break;
    case TOutType::Mp3MemoryStream:
    case TOutType::Mp3FileStream: {
        TStream* out = OutType == TOutType::Mp3FileStream ? static_cast<TStream*>(FOutFile.get()) : FOutMemory.get();
        if (!out || !encoder)
            break;
        FStaging.SetSize(FStaging.Position());
        FStaging.SetPosition(0);
        const uint32_t result = EncodeStream(FStaging, *out);
        FStaging.Clear();
        std::string failure = result == ENC_ERR_EXCEPTION ? EncoderLastError() : std::string();
        try {
            EncoderFlushTo(*out);
        } catch (const EStreamError& e) {
            if (failure.empty())
                failure = e.Message();
        }
        if (FWriteFailed || !failure.empty()) {
            // The encoder's output breaks off inside a frame; keep the whole frames only.
            out->SetSize(WholeMp3Frames(*out));
            if (FWriteFailed)
                break;
            throw EStreamError(failure);
        }
        if (OnData)
            OnData(OutType == TOutType::Mp3MemoryStream ? static_cast<void*>(FOutMemory.get()) : nullptr, out->Size());
        break;
    }
    case TOutType::WAVBuffer:
        break;
    }
}

void TAudioRecord::CloseOutput()
{
    if (FEncoderOpen) {
        FEncoderOpen = false;
        try {
            EncoderClose();
        } catch (...) {
        }
    }
    if (FOutFile && OutType == TOutType::WAVFileStream)
        PatchWavHeader(*FOutFile);
    FOutFile.reset();
    FOutMemory.reset();
    FStaging.Clear();
}

// ---- Device messages ----

void TAudioRecord::WndProc(UINT message, WPARAM, LPARAM lParam)
{
    if (message == WM_QUERYENDSESSION)
        return;
    try {
        if (message == MM_WIM_DATA)
            HandleWaveInData(reinterpret_cast<WAVEHDR*>(lParam));
    } catch (const std::exception& e) {
        ReportError(e.what());
    }
}

void TAudioRecord::HandleWaveInData(WAVEHDR* header)
{
    bool ours = false;
    for (auto& b : FBuffers)
        ours = ours || &b->Header == header;
    if (!FActive || !ours) {
        ReleaseCaptureBuffer(header);
        return;
    }
    waveInUnprepareHeader(*FWaveIn, header, sizeof(WAVEHDR));
    if (FStopping) {
        // Stop goes on and finishes the output; a write that fails now ends the take-in and is
        // raised by Stop, which keeps what reached the output.
        if (header->dwBytesRecorded == 0 || FWriteFailed)
            return;
        try {
            ProcessCapturedData(header->lpData, header->dwBytesRecorded);
        } catch (const EStreamError& e) {
            FWriteFailed = true;
            FStopFailure = e.Message();
        }
        return;
    }
    try {
        ProcessCapturedData(header->lpData, header->dwBytesRecorded);
    } catch (const EStreamError& e) {
        StopAfterFailure(e.Message());
        return;
    }
    if (!FActive)
        return; // the data event stopped the recording
    std::memset(header->lpData, 0, FBufferBytes);
    header->dwBufferLength = FBufferBytes;
    header->dwBytesRecorded = 0;
    header->dwUser = 0;
    header->dwFlags = 0;
    header->dwLoops = 0;
    waveInPrepareHeader(*FWaveIn, header, sizeof(WAVEHDR));
    waveInAddBuffer(*FWaveIn, header, sizeof(WAVEHDR));
}

void TAudioRecord::StopAfterFailure(const std::string& reason)
{
    // What reached the file stays: whole MP3 frames, or PCM under a patched header.
    FWriteFailed = true;
    try {
        Stop();
    } catch (const std::exception&) {
    }
    FWriteFailed = false;
    if (OnStoppedByFailure)
        OnStoppedByFailure();
    ReportError("The recording was stopped because its output cannot be written: " + reason);
}

void TAudioRecord::ProcessCapturedData(const void* data, int64_t count)
{
    if (!OnData)
        return;
    switch (OutType) {
    case TOutType::WAVBuffer:
        OnData(const_cast<void*>(data), count);
        return;
    case TOutType::WAVFileStream:
        FOutFile->Write(data, count);
        OnData(nullptr, FOutFile->Size());
        return;
    case TOutType::Mp3Buffer: {
        const auto [bytes, n] = EncodeBlockToBuffer(data, static_cast<size_t>(count));
        OnData(const_cast<uint8_t*>(bytes), n);
        return;
    }
    case TOutType::Mp3MemoryStream:
    case TOutType::Mp3FileStream: {
        const bool memory = OutType == TOutType::Mp3MemoryStream;
        TStream& out = memory ? static_cast<TStream&>(*FOutMemory) : *FOutFile;
        uint32_t result = 0;
        if (FEncBufferSize <= 0) {
            result = EncodeBlock(data, static_cast<size_t>(count), out);
        } else {
            FStaging.Write(data, count);
            if (++FBatchCount > FEncBufferSize) {
                FBatchCount = 0;
                FStaging.SetPosition(0);
                result = EncodeStream(FStaging, out);
                FStaging.Clear();
            }
        }
        if (result == ENC_ERR_EXCEPTION)
            throw EStreamError(EncoderLastError());
        OnData(memory ? static_cast<void*>(FOutMemory.get()) : nullptr, out.Size());
        return;
    }
    }
}
