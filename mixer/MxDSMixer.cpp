#include "mixer/MxDSMixer.h"

#include "mixer/MxDSMixerChannel.h"

#include "engine/Controls.h"

#include <algorithm>
#include <cstring>

namespace {

struct ErrorText {
    uint32_t code;
    const char* text;
};

// Result code → message. The memory message carries an acute accent (U+00B4), not an apostrophe.
constexpr ErrorText kErrorTexts[] = {
    {0x00000000, "The request completed successfully."},
    {0x80004001, "The function called is not supported at this time."},
    {0x80004002, "The requested COM interface is not available."},
    {0x80004005, "An undetermined error occurred inside the DirectSound subsystem."},
    {0x80040110, "The object does not support aggregation."},
    {0x80070005, "Access is denied."},
    {0x8007000E,
     "The DirectSound subsystem could not allocate sufficient memory to complete the caller\u00B4s request."},
    {0x80070057, "An invalid parameter was passed to the returning function."},
    {0x8878000A,
     "The request failed because resources, such as a priority level, were already in use by another caller."},
    {0x8878001E, "The control (volume, pan, and so forth) requested by the caller is not available."},
    {0x88780032, "This function is not valid for the current state of this object."},
    {0x88780046, "The caller does not have the priority level required for the function to succeed."},
    {0x88780064, "The specified wave format is not supported."},
    {0x88780078, "No sound driver is available for use."},
    {0x88780082, "The object is already initialized."},
    {0x88780096, "The buffer memory has been lost and must be restored."},
    {0x887800A0, "Another application has a higher priority level, preventing this call from succeeding."},
    {0x887800AA, "The IDirectSound::Initialize method has not been called or has not been called successfully before "
                 "other methods were called."},
    {0x887800B4, "Tried to create a DSBCAPS_CTRLFX buffer shorter than DSBSIZE_FX_MIN milliseconds."},
    {0x887800BE, "Attempt to use DirectSound 8 functionality on an older DirectSound object."},
    {0x887800C8, "A circular loop of send effects was detected."},
    {0x887800D2, "The GUID specified in an audiopath file does not match a valid MIXIN buffer."},
    {0x887800DC, "The effects requested could not be found on the system, or they were found but in the wrong order, "
                 "or in the wrong hardware/software locations."},
    {0x88781161, "The object requested was not found (numerically equal to DMUS_E_NOT_FOUND)."},
};

std::vector<std::string> gDeviceNames;
std::vector<std::string> gDeviceGuids;

BOOL EnumerateDevice(GUID* guid, const char* description, const char*, void*)
{
    gDeviceNames.emplace_back(description ? description : "");
    if (guid) {
        char text[39];
        GuidToString(*guid, text);
        gDeviceGuids.emplace_back(text);
    } else {
        gDeviceGuids.emplace_back();
    }
    return 1; // always go on to the last device
}

} // namespace

const char* DirectSoundErrorText(HRESULT code)
{
    for (const auto& e : kErrorTexts)
        if (e.code == static_cast<uint32_t>(code))
            return e.text;
    return "Unrecognized Error";
}

void DXCheck(HRESULT code)
{
    if (code != DS_OK)
        throw EDirectXError(DirectSoundErrorText(code), static_cast<uint32_t>(code));
}

const std::vector<std::string>& DSDeviceNames()
{
    return gDeviceNames;
}
const std::vector<std::string>& DSDeviceGuids()
{
    return gDeviceGuids;
}

void MxDSMixerInitialize()
{
    gDeviceNames.clear();
    gDeviceGuids.clear();
    auto enumerate = DSoundLibrary().DirectSoundEnumerateA;
    if (!enumerate)
        return; // the library is missing: Open reports it when a song is played
    DXCheck(enumerate(&EnumerateDevice, nullptr));
}

TMxDSMixer::TMxDSMixer(QObject* owner) : QObject(owner) {}

TMxDSMixer::~TMxDSMixer()
{
    Close();
    // Each channel removes itself from the list while it is destroyed.
    while (!FChannels.empty())
        delete FChannels.back();
}

void TMxDSMixer::Open()
{
    if (FDevice)
        return;
    auto create = DSoundLibrary().DirectSoundCreate;
    if (!create)
        throw EDirectXError("DirectSoundCreate pointer not assigned.", 0);

    GUID guid{};
    const GUID* chosen = nullptr;
    const auto& guids = DSDeviceGuids();
    if (FDeviceIndex >= 0 && FDeviceIndex < static_cast<int>(guids.size()) && !guids[FDeviceIndex].empty() &&
        StringToGuid(guids[FDeviceIndex].c_str(), guid))
        chosen = &guid;

    DXCheck(create(chosen, FDevice.Put(), nullptr));
    DeviceChanged();

    if (!FWindowHandle)
        FWindowHandle = GetDesktopWindow();
    DXCheck(FDevice->SetCooperativeLevel(FWindowHandle, static_cast<DWORD>(FLevel) + 1));

    DSBUFFERDESC desc{};
    desc.dwSize = sizeof(DSBUFFERDESC);
    desc.dwFlags = DSBCAPS_PRIMARYBUFFER;
    DXCheck(FDevice->CreateSoundBuffer(&desc, FPrimary.Put(), nullptr));

    if (FLevel != lNormal) {
        WAVEFORMATEX format{};
        DXCheck(FPrimary->GetFormat(&format, sizeof(format), nullptr));
        format.nChannels = FStereo ? 2 : 1;
        format.wBitsPerSample = static_cast<WORD>(8 << FBitsPerSample);
        format.nSamplesPerSec = static_cast<DWORD>(FFrequency);
        format.nBlockAlign = static_cast<WORD>(format.wBitsPerSample * format.nChannels / 8);
        format.nAvgBytesPerSec = format.nBlockAlign * format.nSamplesPerSec;
        DXCheck(FPrimary->SetFormat(&format));
        DXCheck(FPrimary->GetFormat(&format, sizeof(format), nullptr));
        // What the device really took, stored without the property's clamp.
        FStereo = format.nChannels == 2;
        FBitsPerSample = format.wBitsPerSample / 16 ? bs16Bit : bs8Bit;
        FFrequency = static_cast<int>(format.nSamplesPerSec);
    }
    SetSpeakerConfig(FSpeakerConfig);
    FPrimary->Play(0, 0, DSBPLAY_LOOPING); // result ignored: the primary buffer only keeps the device running
}

void TMxDSMixer::Close()
{
    for (auto* channel : std::vector<TMxDSMixerChannel*>(FChannels))
        channel->ReleaseBuffer();
    FPrimary.Reset();
    if (FDevice) {
        FDevice.Reset();
        DeviceChanged();
    }
}

ComPtr<IDirectSound> TMxDSMixer::GetDirectSound()
{
    Open();
    return FDevice;
}

void TMxDSMixer::SetDeviceIndex(int value)
{
    if (value >= 0 && value < static_cast<int>(DSDeviceGuids().size()))
        FDeviceIndex = value;
}

void TMxDSMixer::SetFrequency(int value)
{
    FFrequency = std::clamp(value, 100, 100000);
}

void TMxDSMixer::SetSpeakerConfig(uint32_t value)
{
    if (FDevice)
        DXCheck(FDevice->SetSpeakerConfig(value));
    FSpeakerConfig = value;
}

void TMxDSMixer::AddChannel(TMxDSMixerChannel* channel)
{
    FChannels.push_back(channel);
}

void TMxDSMixer::RemoveChannel(TMxDSMixerChannel* channel)
{
    FChannels.erase(std::remove(FChannels.begin(), FChannels.end(), channel), FChannels.end());
}

// ---------------------------------------------------------------------------------------------
// The headphones

namespace {

output::CueTarget TargetOf(const THeadphonesOutput& o)
{
    output::CueTarget t;
    t.Description = o.Name;
    const std::string& s = o.Output;
    if (s == "split") {
        t.What = output::CueTarget::Kind::Split;
    } else if (s.starts_with("sink:")) {
        t.What = output::CueTarget::Kind::Sink;
        t.Sink = s.substr(5);
    } else if (s.starts_with("device:") && StringToGuid(s.c_str() + 7, t.Device)) {
        t.What = output::CueTarget::Kind::PortAudio;
    }
    return t;
}

bool SameTarget(const output::CueTarget& a, const output::CueTarget& b)
{
    return a.What == b.What && a.Sink == b.Sink && std::memcmp(&a.Device, &b.Device, sizeof(GUID)) == 0;
}

} // namespace

void SetLimiter(bool on)
{
    engine::SetLimiter(on);
}

float LimiterGain()
{
    return engine::LimiterGain();
}

std::vector<THeadphonesOutput> HeadphonesOutputs()
{
    std::vector<THeadphonesOutput> outputs;
    for (const output::CueTarget& t : engine::HeadphonesChoices()) {
        if (t.What == output::CueTarget::Kind::Sink) {
            outputs.push_back({"sink:" + t.Sink, t.Description});
        } else {
            char guid[39];
            GuidToString(t.Device, guid);
            outputs.push_back({std::string("device:") + guid, t.Description});
        }
    }
    return outputs;
}

void SetHeadphones(const THeadphonesOutput& output, float blend, float level)
{
    const output::CueTarget target = TargetOf(output);
    if (!SameTarget(target, engine::ChosenHeadphones()))
        engine::ChooseHeadphones(target);
    engine::SetHeadphonesMix(blend, level);
}
