// The wave device component: PCM format settings and wave buffers of a wave-in side (TRecorder) and
// a wave-out side (TPlayer), and a table of the sound card's mixer lines (TMixerSettings), through
// which the recording input is chosen. UI thread only; device messages arrive on its hidden window.
#pragma once

#include "platform/mmsystem/MMSystem.h"
#include "platform/ui/HiddenWindow.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TAudio;

enum class TBPS { _8, _16 };
enum class TChannels { Mono, Stereo };

using TNotifyAudioRecordEvent = std::function<void(TAudio* Sender, void* LP, void* RP, uint16_t BufferSize)>;
using TNotifyBufferPlayedEvent = std::function<void(TAudio* Sender)>;
using TNotifyPlayedEvent = std::function<void(TAudio* Sender)>;

constexpr int AudioSlots = 8;

// The format and the eight wave buffers of one side. Format setters go through the owning TAudio,
// which applies them to one side or both (SeparateCtrls).
class TAudioSettings {
public:
    explicit TAudioSettings(TAudio* owner) : FAudio(owner) {}
    virtual ~TAudioSettings() = default;

    TBPS BitsPerSample() const { return FBitsPerSample; }
    void SetBitsPerSample(TBPS value);
    TChannels Channels() const { return FChannels; }
    void SetChannels(TChannels value);
    uint16_t SampleRate() const { return FSampleRate; }
    void SetSampleRate(uint16_t value);

    // Null until AllocateBuffers succeeded.
    const WAVEFORMATEX* WaveFormat() const { return FWaveFormat.get(); }
    WAVEHDR* Header(int slot) const { return FHeaders[static_cast<size_t>(slot)].get(); }
    // Bytes of each data block: NoSamples × block alignment.
    uint32_t BufferSize() const { return FBufferSize; }
    bool Allocated() const { return FWaveFormat != nullptr; }
    bool Open() const { return FOpen; }
    int QueueIndex() const { return FQueueIndex; }
    int CompletionIndex() const { return FCompletionIndex; }

protected:
    friend class TAudio;
    TAudio* FAudio;
    TBPS FBitsPerSample = TBPS::_8;
    TChannels FChannels = TChannels::Mono;
    uint16_t FSampleRate = 11025;

    std::unique_ptr<WAVEFORMATEX> FWaveFormat;
    std::array<std::unique_ptr<WAVEHDR>, AudioSlots> FHeaders;
    std::array<std::unique_ptr<uint8_t[]>, AudioSlots> FData;
    std::array<std::unique_ptr<uint8_t[]>, AudioSlots> FSecond; // the right channel when splitting
    uint32_t FBufferSize = 0;
    int FQueueIndex = 0;
    int FCompletionIndex = 0;
    bool FOpen = false;
    HWAVEIN FWaveIn = nullptr;
};

class TRecorder : public TAudioSettings {
public:
    using TAudioSettings::TAudioSettings;
    // Sample frames per buffer, shared by both sides.
    uint16_t NoSamples() const;
    void SetNoSamples(uint16_t value);
    bool SplitChannels() const { return FSplitChannels; }
    // Stays false unless the recorder is stereo.
    void SetSplitChannels(bool value) { FSplitChannels = value && FChannels == TChannels::Stereo; }

    uint16_t TrigLevel = 0;
    bool Triggered = false;

private:
    friend class TAudio;
    bool FSplitChannels = false;
};

class TPlayer : public TAudioSettings {
public:
    using TAudioSettings::TAudioSettings;
};

// One line of the table (or the device itself: destination and source −1).
struct TMixDetails {
    int16_t Destination = -1;
    int16_t SourcePlus1 = -1; // the source's index + 1; 0 for a destination line, −1 for the device
    std::string Name;
    uint32_t VolumeControl = 0; // the line's last control that is not uniform
    uint32_t MuteControl = 0;   // the line's first uniform control
    uint16_t Left = 0;
    uint16_t Right = 0;
    bool Muted = false;
    bool Mono = false;
    bool Filled = false;
};

class TMixerSettings {
public:
    ~TMixerSettings() { Close(); }
    // Reads the device's lines into the table (replacing what was there). True when every
    // destination and source line was read; false at the first failing line, for a device that
    // cannot be opened and for one without destinations.
    bool ReadMixerLines(int device);
    const std::vector<TMixDetails>& Lines() const { return FLines; }
    HMIXER Handle() const { return FMixer; }
    // Chooses the recording input: the 1-based item of the wave-in multiplexer.
    bool SelectRecordSource(int position);
    // Frees the table and closes the device.
    void Close();

private:
    void AddLine(const MIXERLINE& line, int16_t destination, int16_t sourcePlus1);

    HMIXER FMixer = nullptr;
    std::vector<TMixDetails> FLines;
};

class TAudio {
public:
    TAudio();
    ~TAudio();
    TAudio(const TAudio&) = delete;
    TAudio& operator=(const TAudio&) = delete;

    int AudioDeviceID() const { return FAudioDeviceID; }
    // 10 or more stores −1 (the wave mapper); a change reallocates the recorder's, then the player's buffers.
    void SetAudioDeviceID(int value);
    int MixerDeviceID() const { return FMixerDeviceID; }
    void SetMixerDeviceID(int value);
    bool SeparateCtrls = false;
    const std::string& Version() const { return FVersion; }
    void SetVersion(const std::string&) { FVersion = "3.1 (32bit)"; }

    TPlayer* Player() { return &FPlayer; }
    TRecorder* Recorder() { return &FRecorder; }
    TMixerSettings* MixerSettings() { return &FMixerSettings; }
    const std::string& ErrorText() const { return FErrorText; }

    TNotifyAudioRecordEvent OnRecord;
    TNotifyBufferPlayedEvent OnBufferPlayed;
    TNotifyPlayedEvent OnPlayed;

    // The hidden window's procedure (device messages).
    void WndProc(UINT message, WPARAM wParam, LPARAM lParam);

private:
    friend class TAudioSettings;
    friend class TRecorder;
    enum class Field { Bits, Channels, Rate, NoSamples };
    // Applies a format change made on `side` to it alone or to both sides (player first).
    void ApplyFormat(TAudioSettings* side, Field field, int value);
    bool AllocateBuffers(TAudioSettings& side);
    void FreeBuffers(TAudioSettings& side);
    void HandleWaveInData(WAVEHDR* header);
    void HandlePlayed();
    void SetDeviceError(MMRESULT result, const std::string& message);

    int FAudioDeviceID = -1;
    int FMixerDeviceID = 0;
    uint16_t FNoSamples = 8192;
    std::string FVersion;
    std::string FErrorText;
    TPlayer FPlayer{this};
    TRecorder FRecorder{this};
    TMixerSettings FMixerSettings;
    std::unique_ptr<THiddenWindow> FWndHandle;
};
