#include "record/Audio.h"

#include "record/AMixer.h"

#include <algorithm>
#include <cstring>
#include <new>

// ---- Format settings ----

void TAudioSettings::SetBitsPerSample(TBPS value)
{
    FAudio->ApplyFormat(this, TAudio::Field::Bits, int(value));
}
void TAudioSettings::SetChannels(TChannels value)
{
    FAudio->ApplyFormat(this, TAudio::Field::Channels, int(value));
}
void TAudioSettings::SetSampleRate(uint16_t value)
{
    FAudio->ApplyFormat(this, TAudio::Field::Rate, value);
}

uint16_t TRecorder::NoSamples() const
{
    return FAudio->FNoSamples;
}
void TRecorder::SetNoSamples(uint16_t value)
{
    FAudio->ApplyFormat(this, TAudio::Field::NoSamples, value);
}

void TAudio::ApplyFormat(TAudioSettings* side, Field field, int value)
{
    const auto apply = [&](TAudioSettings& s) {
        bool changed = false;
        switch (field) {
        case Field::Bits:
            changed = s.FBitsPerSample != static_cast<TBPS>(value);
            s.FBitsPerSample = static_cast<TBPS>(value);
            break;
        case Field::Channels:
            changed = s.FChannels != static_cast<TChannels>(value);
            s.FChannels = static_cast<TChannels>(value);
            break;
        case Field::Rate:
            changed = s.FSampleRate != value;
            s.FSampleRate = static_cast<uint16_t>(value);
            break;
        case Field::NoSamples:
            changed = true;
            break;
        }
        if (changed && s.Allocated()) {
            FreeBuffers(s);
            AllocateBuffers(s);
        }
    };
    if (field == Field::NoSamples) {
        if (FNoSamples == value)
            return;
        FNoSamples = static_cast<uint16_t>(value);
        apply(FPlayer);
        apply(FRecorder);
        return;
    }
    if (SeparateCtrls) {
        apply(*side);
    } else {
        apply(FPlayer);
        apply(FRecorder);
    }
    if (field == Field::Channels)
        FRecorder.SetSplitChannels(FRecorder.FSplitChannels);
}

bool TAudio::AllocateBuffers(TAudioSettings& side)
{
    FreeBuffers(side);
    auto format = std::unique_ptr<WAVEFORMATEX>(new (std::nothrow) WAVEFORMATEX{});
    if (!format) {
        FErrorText = "Not enough memory to allocate WaveFormat";
        return false;
    }
    const WORD channels = side.FChannels == TChannels::Stereo ? 2 : 1;
    const WORD bits = side.FBitsPerSample == TBPS::_16 ? 16 : 8;
    format->wFormatTag = WAVE_FORMAT_PCM;
    format->nChannels = channels;
    format->nSamplesPerSec = side.FSampleRate;
    format->wBitsPerSample = bits;
    format->nBlockAlign = static_cast<WORD>(bits == 16 ? channels * 2 : channels);
    format->nAvgBytesPerSec = side.FSampleRate * format->nBlockAlign;
    format->cbSize = 0;
    const uint32_t bytes = uint32_t(FNoSamples) * format->nBlockAlign;
    for (int i = 0; i < AudioSlots; ++i) {
        auto header = std::unique_ptr<WAVEHDR>(new (std::nothrow) WAVEHDR{});
        if (!header) {
            FErrorText = "Not enough memory to allocate WaveHeader";
            FreeBuffers(side);
            return false;
        }
        auto data = std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[bytes]());
        auto second = std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[bytes]());
        if (!data || !second) {
            FErrorText = "Not enough memory to allocate Wave Buffer";
            FreeBuffers(side);
            return false;
        }
        header->lpData = reinterpret_cast<LPSTR>(data.get());
        header->dwBufferLength = bytes;
        side.FHeaders[i] = std::move(header);
        side.FData[i] = std::move(data);
        side.FSecond[i] = std::move(second);
    }
    side.FBufferSize = bytes;
    side.FWaveFormat = std::move(format);
    return true;
}

void TAudio::FreeBuffers(TAudioSettings& side)
{
    side.FWaveFormat.reset();
    for (int i = 0; i < AudioSlots; ++i) {
        side.FHeaders[i].reset();
        side.FData[i].reset();
        side.FSecond[i].reset();
    }
    side.FBufferSize = 0;
}

// ---- The component ----

TAudio::TAudio()
{
    FWndHandle = std::make_unique<THiddenWindow>(
        [this](UINT message, WPARAM wParam, LPARAM lParam) { WndProc(message, wParam, lParam); });
    FMixerDeviceID = 0;
    FMixerSettings.ReadMixerLines(0);
    FErrorText.clear();
    if (waveInGetNumDevs() > 0 && AllocateBuffers(FRecorder) && waveOutGetNumDevs() > 0)
        AllocateBuffers(FPlayer);
}

TAudio::~TAudio()
{
    FMixerSettings.Close();
    FreeBuffers(FRecorder);
    FreeBuffers(FPlayer);
}

void TAudio::SetAudioDeviceID(int value)
{
    if (value >= 10)
        value = -1;
    if (value == FAudioDeviceID)
        return;
    FAudioDeviceID = value;
    for (TAudioSettings* side : {static_cast<TAudioSettings*>(&FRecorder), static_cast<TAudioSettings*>(&FPlayer)})
        if (side->Allocated())
            AllocateBuffers(*side);
}

void TAudio::SetMixerDeviceID(int value)
{
    if (value == FMixerDeviceID)
        return;
    FMixerDeviceID = value;
    FMixerSettings.ReadMixerLines(value); // closes the earlier device and table first
}

void TAudio::SetDeviceError(MMRESULT result, const std::string& message)
{
    char text[MAXERRORLENGTH] = {};
    if (waveInGetErrorTextA(result, text, 255) == MMSYSERR_NOERROR && text[0])
        FErrorText = std::string(text) + " " + message;
    else
        FErrorText = message;
}

void TAudio::WndProc(UINT message, WPARAM, LPARAM lParam)
{
    switch (message) {
    case MM_WOM_OPEN:
        FPlayer.FOpen = true;
        break;
    case MM_WOM_CLOSE:
        FPlayer.FOpen = false;
        break;
    case MM_WIM_OPEN:
        FRecorder.FOpen = true;
        break;
    case MM_WIM_CLOSE:
        FRecorder.FOpen = false;
        break;
    case MM_WOM_DONE:
        HandlePlayed();
        break;
    case MM_WIM_DATA:
        HandleWaveInData(reinterpret_cast<WAVEHDR*>(lParam));
        break;
    default:
        break;
    }
}

void TAudio::HandlePlayed()
{
    FPlayer.FCompletionIndex = (FPlayer.FCompletionIndex + 1) % AudioSlots;
    if (FPlayer.FCompletionIndex == FPlayer.FQueueIndex) {
        if (OnPlayed)
            OnPlayed(this);
    } else if (OnBufferPlayed) {
        OnBufferPlayed(this);
    }
}

void TAudio::HandleWaveInData(WAVEHDR* header)
{
    TRecorder& r = FRecorder;
    if (!r.Allocated() || !header || header->dwBytesRecorded == 0)
        return; // an empty buffer changes nothing
    const int slot = r.FCompletionIndex;
    uint8_t* data = r.FData[slot].get();
    uint8_t* second = r.FSecond[slot].get();
    const uint32_t count = std::min(header->dwBytesRecorded, r.FBufferSize);
    if (header->lpData != reinterpret_cast<LPSTR>(data))
        std::memcpy(data, header->lpData, count);
    const bool wide = r.FBitsPerSample == TBPS::_16;
    if (!r.Triggered) {
        if (wide) {
            for (uint32_t i = 0; i + 1 < count && !r.Triggered; i += 2) {
                int16_t v;
                std::memcpy(&v, data + i, 2);
                r.Triggered = v > int(r.TrigLevel);
            }
        } else {
            for (uint32_t i = 0; i < count && !r.Triggered; ++i)
                r.Triggered = data[i] > r.TrigLevel;
        }
    }
    if (r.Triggered && OnRecord) {
        if (r.FSplitChannels) {
            // Left samples packed in place at the front, right samples in the second block.
            const uint32_t sample = wide ? 2 : 1;
            const uint32_t frames = count / (2 * sample);
            for (uint32_t f = 0; f < frames; ++f) {
                std::memmove(data + f * sample, data + 2 * f * sample, sample);
                std::memcpy(second + f * sample, r.FData[slot].get() + (2 * f + 1) * sample, sample);
            }
            OnRecord(this, data, second, static_cast<uint16_t>(count / 2));
        } else {
            OnRecord(this, data, nullptr, static_cast<uint16_t>(count));
        }
    }
    if (r.FWaveIn) {
        const MMRESULT result = waveInAddBuffer(r.FWaveIn, header, sizeof(WAVEHDR));
        if (result != MMSYSERR_NOERROR)
            SetDeviceError(result, "Error adding input buffer");
    }
    r.FCompletionIndex = (r.FCompletionIndex + 1) % AudioSlots;
}

// ---- Mixer line table ----

void TMixerSettings::Close()
{
    FLines.clear();
    if (FMixer) {
        mixerClose(FMixer);
        FMixer = nullptr;
    }
}

bool TMixerSettings::SelectRecordSource(int position)
{
    return ::SelectRecordSource(position);
}

void TMixerSettings::AddLine(const MIXERLINE& line, int16_t destination, int16_t sourcePlus1)
{
    TMixDetails details;
    details.Destination = destination;
    details.SourcePlus1 = sourcePlus1;
    details.Name = line.szName;
    std::vector<MIXERCONTROL> controls(line.cControls);
    MIXERLINECONTROLS lc{};
    lc.cbStruct = sizeof(lc);
    lc.dwLineID = line.dwLineID;
    lc.cControls = line.cControls;
    lc.cbmxctrl = sizeof(MIXERCONTROL);
    lc.pamxctrl = controls.data();
    if (line.cControls == 0 ||
        mixerGetLineControlsA(MixerObj(FMixer), &lc, MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ALL) != 0)
        controls.clear();
    bool haveMute = false;
    for (const MIXERCONTROL& c : controls) {
        const bool uniform = c.fdwControl & MIXERCONTROL_CONTROLF_UNIFORM;
        if (uniform && haveMute)
            continue;
        MIXERCONTROLDETAILS d{};
        d.cbStruct = sizeof(d);
        d.dwControlID = c.dwControlID;
        d.cChannels = uniform ? 1 : std::max<DWORD>(1, line.cChannels);
        d.cMultipleItems = (c.fdwControl & MIXERCONTROL_CONTROLF_MULTIPLE) ? c.cMultipleItems : 0;
        d.cbDetails = 4;
        const size_t perChannel = std::max<DWORD>(1, d.cMultipleItems);
        std::vector<int32_t> values(d.cChannels * perChannel, 0);
        d.paDetails = values.data();
        if (mixerGetControlDetailsA(MixerObj(FMixer), &d, MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE) != 0)
            continue;
        if (uniform) {
            haveMute = true;
            details.MuteControl = c.dwControlID;
            details.Muted = values[0] != 0;
        } else {
            details.VolumeControl = c.dwControlID;
            details.Left = static_cast<uint16_t>(values[0]);
            details.Right = static_cast<uint16_t>(d.cChannels > 1 ? values[perChannel] : values[0]);
            details.Mono = line.cChannels == 1;
        }
        details.Filled = true;
    }
    FLines.push_back(std::move(details));
}

bool TMixerSettings::ReadMixerLines(int device)
{
    Close();
    MIXERCAPS caps{};
    if (device < 0 || mixerGetDevCapsA(static_cast<UINT_PTR>(device), &caps, sizeof(caps)) != MMSYSERR_NOERROR)
        return false;
    if (mixerOpen(&FMixer, static_cast<UINT>(device), 0, 0, 0) != MMSYSERR_NOERROR) {
        FMixer = nullptr;
        return false;
    }
    TMixDetails self;
    self.Name = caps.szPname;
    FLines.push_back(self);
    if (caps.cDestinations == 0)
        return false;
    for (DWORD d = 0; d < caps.cDestinations; ++d) {
        MIXERLINE line{};
        line.cbStruct = sizeof(line);
        line.dwDestination = d;
        if (mixerGetLineInfoA(MixerObj(FMixer), &line, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_DESTINATION) != 0)
            return false;
        AddLine(line, static_cast<int16_t>(d), 0);
        for (DWORD s = 0; s < line.cConnections; ++s) {
            MIXERLINE source{};
            source.cbStruct = sizeof(source);
            source.dwDestination = d;
            source.dwSource = s;
            if (mixerGetLineInfoA(MixerObj(FMixer), &source, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_SOURCE) != 0)
                return false;
            AddLine(source, static_cast<int16_t>(d), static_cast<int16_t>(s + 1));
        }
    }
    return true;
}
