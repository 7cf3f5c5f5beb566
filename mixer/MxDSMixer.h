// The output mixer: owns the sound device and its primary buffer, opens it on first demand, and
// turns every sound-API failure into an EDirectXError with a readable message.
// Threads: created, opened, closed and destroyed on the UI thread; `Open` may also run on a
// channel's update thread, with the channel mutex held. It has no lock of its own.
#pragma once

#include "platform/dsound/DSound.h"
#include "platform/kernel/Exceptions.h"

#include <QObject>

#include <cstdint>
#include <string>
#include <vector>

class TMxDSMixerChannel;

// A failure of the sound API; ErrorCode is the result code (0 when there is none).
class EDirectXError : public Exception {
public:
    EDirectXError(std::string message, uint32_t errorCode) : Exception(std::move(message)), FErrorCode(errorCode) {}
    uint32_t ErrorCode() const { return FErrorCode; }

private:
    uint32_t FErrorCode;
};

// The readable text of a sound-API result code ("Unrecognized Error" for unknown codes).
const char* DirectSoundErrorText(HRESULT code);
// Raises EDirectXError for any non-zero code, success codes included.
void DXCheck(HRESULT code);

enum TSndLevel { lNormal, lPriority, lExclusive };
enum TSndBitsPerSample { bs8Bit, bs16Bit };

// The output devices as found at start: entry i of both lists is one device. The first entry is
// the default device, with an empty GUID text.
const std::vector<std::string>& DSDeviceNames();
const std::vector<std::string>& DSDeviceGuids();
// Enumerates the devices into the lists above (program start; tests may call it again).
// Raises EDirectXError when the enumeration fails.
void MxDSMixerInitialize();

// The master limiter on the room's mix and the recording: no sample above -0.3 dBFS. Off until set.
void SetLimiter(bool on);
// Its lowest gain in the last block: below 1 while it works.
float LimiterGain();

// The headphones output. `Output` names it as the settings keep it: "none", "split" (the main
// output's left channel), "sink:<the sound server's name>" or "device:<GUID of the device list>";
// `Name` is what the user and the console lines call it.
struct THeadphonesOutput {
    std::string Output;
    std::string Name;
};
// Where the headphones can play now (the room's own device left out), "none" and "split" not listed.
std::vector<THeadphonesOutput> HeadphonesOutputs();
// Plays the cue there (a change of output only when it differs from the one in use); `blend`
// 0 = the cued songs only .. 1 = the room only; `level` 0..1. Any thread.
void SetHeadphones(const THeadphonesOutput& output, float blend, float level);

class TMxDSMixer : public QObject {
    Q_OBJECT
public:
    // Opens nothing: the device is opened by the first channel that needs a sound buffer.
    explicit TMxDSMixer(QObject* owner);
    ~TMxDSMixer() override;

    void Open();
    // Releases every channel's sound buffer, then the primary buffer, then the device.
    void Close();
    // Opens if needed and returns the device (a new reference, held by the ComPtr).
    ComPtr<IDirectSound> GetDirectSound();
    bool IsOpen() const { return static_cast<bool>(FDevice); }

    int DeviceIndex() const { return FDeviceIndex; }
    // Accepted only for an index of DSDeviceGuids(); takes effect at the next Open after Close.
    void SetDeviceIndex(int value);
    int Frequency() const { return FFrequency; }
    // Clamped to 100..100000 Hz; takes effect at the next Open.
    void SetFrequency(int value);
    bool Stereo() const { return FStereo; }
    void SetStereo(bool value) { FStereo = value; }
    TSndBitsPerSample BitsPerSample() const { return FBitsPerSample; }
    void SetBitsPerSample(TSndBitsPerSample value) { FBitsPerSample = value; }
    TSndLevel Level() const { return FLevel; }
    void SetLevel(TSndLevel value) { FLevel = value; }
    uint32_t SpeakerConfig() const { return FSpeakerConfig; }
    // Passed to the open device first; a refusal raises and keeps the old value.
    void SetSpeakerConfig(uint32_t value);

    // Called only by the channel's constructor and destructor.
    void AddChannel(TMxDSMixerChannel* channel);
    void RemoveChannel(TMxDSMixerChannel* channel);
    const std::vector<TMxDSMixerChannel*>& Channels() const { return FChannels; }

protected:
    // Called right after the device has been created and right after it has been released.
    virtual void DeviceChanged() {}

private:
    ComPtr<IDirectSound> FDevice;
    ComPtr<IDirectSoundBuffer> FPrimary;
    int FDeviceIndex = 0;
    int FFrequency = 44100;
    bool FStereo = true;
    TSndBitsPerSample FBitsPerSample = bs16Bit;
    TSndLevel FLevel = lPriority;
    uint32_t FSpeakerConfig = DSSPEAKER_STEREO;
    HWND FWindowHandle = nullptr;
    std::vector<TMxDSMixerChannel*> FChannels;
};

#include "mixer/MxDSMixerChannel.h"
