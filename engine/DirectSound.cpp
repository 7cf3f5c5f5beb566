// The entry points of DSound.h: device enumeration and creation, the device object and its
// primary buffer. Everything here runs on API threads; the mixing itself is in Engine.cpp.
#include "platform/dsound/DSound.h"

#include "engine/Engine.h"
#include "engine/SoundBuffer.h"

#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace {

using engine::Engine;
using engine::OutputFormat;

bool ValidPcm(const WAVEFORMATEX& f)
{
    return f.wFormatTag == WAVE_FORMAT_PCM && (f.nChannels == 1 || f.nChannels == 2) &&
           (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) && f.nSamplesPerSec >= DSBFREQUENCY_MIN &&
           f.nSamplesPerSec <= DSBFREQUENCY_MAX && f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8 &&
           f.nAvgBytesPerSec == f.nSamplesPerSec * f.nBlockAlign;
}

WAVEFORMATEX ToWave(const OutputFormat& o)
{
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = o.Channels;
    f.nSamplesPerSec = o.Rate;
    f.wBitsPerSample = o.Bits;
    f.nBlockAlign = static_cast<WORD>(o.BlockAlign());
    f.nAvgBytesPerSec = o.Rate * o.BlockAlign();
    return f;
}

float PanSideGain(LONG hundredthsDb)
{
    return static_cast<float>(std::pow(10.0, hundredthsDb / 2000.0));
}

class DirectSoundDevice;

// The device's primary buffer: its format is the engine's output format; volume and pan act on
// the whole mix.
class PrimaryBuffer final : public IDirectSoundBuffer {
public:
    explicit PrimaryBuffer(DirectSoundDevice* device);
    ~PrimaryBuffer() override;

    ULONG AddRef() override { return FRefs.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override
    {
        const ULONG left = FRefs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT GetCurrentPosition(DWORD* play, DWORD* write) override
    {
        if (play)
            *play = 0;
        if (write)
            *write = 0;
        return DS_OK;
    }
    HRESULT GetFormat(WAVEFORMATEX* format, DWORD sizeAllocated, DWORD* sizeWritten) override
    {
        if (!format) {
            if (!sizeWritten)
                return DSERR_INVALIDPARAM;
            *sizeWritten = sizeof(WAVEFORMATEX);
            return DS_OK;
        }
        if (sizeAllocated < sizeof(WAVEFORMATEX))
            return DSERR_INVALIDPARAM;
        *format = ToWave(Engine::Instance().Format());
        if (sizeWritten)
            *sizeWritten = sizeof(WAVEFORMATEX);
        return DS_OK;
    }
    HRESULT GetVolume(LONG* volume) override
    {
        if (!volume)
            return DSERR_INVALIDPARAM;
        *volume = FVolume;
        return DS_OK;
    }
    HRESULT GetPan(LONG* pan) override
    {
        if (!pan)
            return DSERR_INVALIDPARAM;
        *pan = FPan;
        return DS_OK;
    }
    HRESULT GetFrequency(DWORD* frequency) override
    {
        if (!frequency)
            return DSERR_INVALIDPARAM;
        *frequency = Engine::Instance().OutputRate();
        return DS_OK;
    }
    HRESULT GetStatus(DWORD* status) override
    {
        if (!status)
            return DSERR_INVALIDPARAM;
        *status = FPlaying ? (DSBSTATUS_PLAYING | DSBSTATUS_LOOPING) : 0;
        return DS_OK;
    }
    HRESULT Lock(DWORD, DWORD, void**, DWORD*, void**, DWORD*, DWORD) override { return DSERR_PRIOLEVELNEEDED; }
    HRESULT Unlock(void*, DWORD, void*, DWORD) override { return DSERR_INVALIDCALL; }
    HRESULT Play(DWORD reserved, DWORD, DWORD flags) override
    {
        if (reserved != 0 || !(flags & DSBPLAY_LOOPING))
            return DSERR_INVALIDPARAM;
        FPlaying = true;
        return DS_OK;
    }
    HRESULT Stop() override
    {
        FPlaying = false;
        return DS_OK;
    }
    HRESULT SetCurrentPosition(DWORD) override { return DSERR_INVALIDCALL; }
    HRESULT SetFormat(const WAVEFORMATEX* format) override;
    HRESULT SetVolume(LONG volume) override
    {
        if (volume < DSBVOLUME_MIN || volume > DSBVOLUME_MAX)
            return DSERR_INVALIDPARAM;
        FVolume = volume;
        ApplyGain();
        return DS_OK;
    }
    HRESULT SetPan(LONG pan) override
    {
        if (pan < DSBPAN_LEFT || pan > DSBPAN_RIGHT)
            return DSERR_INVALIDPARAM;
        FPan = pan;
        ApplyGain();
        return DS_OK;
    }
    HRESULT SetFrequency(DWORD) override { return DSERR_CONTROLUNAVAIL; }
    HRESULT Restore() override { return DS_OK; }

private:
    void ApplyGain()
    {
        const float gain = PanSideGain(FVolume);
        Engine::Instance().SetMasterGain(gain * (FPan > 0 ? PanSideGain(-FPan) : 1.0f),
                                         gain * (FPan < 0 ? PanSideGain(FPan) : 1.0f));
    }

    std::atomic<ULONG> FRefs{1};
    DirectSoundDevice* FDevice;
    // The caller serialises its calls on one buffer.
    bool FPlaying = false;
    LONG FVolume = 0;
    LONG FPan = 0;
};

class DirectSoundDevice final : public IDirectSound {
public:
    ULONG AddRef() override { return FRefs.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override
    {
        const ULONG left = FRefs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            delete this;
        return left;
    }

    HRESULT CreateSoundBuffer(const DSBUFFERDESC* desc, IDirectSoundBuffer** buffer, void* outer) override
    {
        if (!buffer)
            return DSERR_INVALIDPARAM;
        *buffer = nullptr;
        if (!desc || (desc->dwSize != DSBUFFERDESC_LEGACY_SIZE && desc->dwSize != sizeof(DSBUFFERDESC)))
            return DSERR_INVALIDPARAM;
        if (outer)
            return DSERR_NOAGGREGATION;
        if (desc->dwFlags & DSBCAPS_PRIMARYBUFFER) {
            if (desc->dwBufferBytes != 0 || desc->lpwfxFormat)
                return DSERR_INVALIDPARAM;
            *buffer = new (std::nothrow) PrimaryBuffer(this);
            return *buffer ? DS_OK : DSERR_OUTOFMEMORY;
        }
        if (!desc->lpwfxFormat)
            return DSERR_INVALIDPARAM;
        // Read through a copy: the record is packed and may sit at any address.
        WAVEFORMATEX format;
        std::memcpy(&format, desc->lpwfxFormat, sizeof(format));
        if (!ValidPcm(format))
            return DSERR_BADFORMAT;
        const DWORD bytes = desc->dwBufferBytes;
        if (bytes < 4 || bytes > 0x0FFFFFFF || bytes % format.nBlockAlign != 0)
            return DSERR_INVALIDPARAM;
        engine::SoundBuffer* created;
        try {
            created = new engine::SoundBuffer(Engine::Instance(), format, bytes, desc->dwFlags);
        } catch (const std::bad_alloc&) {
            return DSERR_OUTOFMEMORY;
        }
        Engine::Instance().AddBuffer(created);
        *buffer = created;
        return DS_OK;
    }

    HRESULT SetCooperativeLevel(HWND, DWORD level) override
    {
        if (level < DSSCL_NORMAL || level > DSSCL_EXCLUSIVE)
            return DSERR_INVALIDPARAM;
        FLevel.store(level);
        return DS_OK;
    }

    HRESULT SetSpeakerConfig(DWORD config) override
    {
        FSpeakers.store(config);
        return DS_OK;
    }

    HRESULT GetSpeakerConfig(DWORD* config) override
    {
        if (!config)
            return DSERR_INVALIDPARAM;
        *config = FSpeakers.load();
        return DS_OK;
    }

    DWORD Level() const { return FLevel.load(); }

private:
    std::atomic<ULONG> FRefs{1};
    std::atomic<DWORD> FLevel{0};
    std::atomic<DWORD> FSpeakers{DSSPEAKER_STEREO};
};

PrimaryBuffer::PrimaryBuffer(DirectSoundDevice* device) : FDevice(device)
{
    FDevice->AddRef();
}

PrimaryBuffer::~PrimaryBuffer()
{
    FDevice->Release();
}

HRESULT PrimaryBuffer::SetFormat(const WAVEFORMATEX* format)
{
    if (!format)
        return DSERR_INVALIDPARAM;
    // The format of the whole output is not a normal-level application's to change.
    if (FDevice->Level() == DSSCL_NORMAL)
        return DSERR_PRIOLEVELNEEDED;
    WAVEFORMATEX f;
    std::memcpy(&f, format, sizeof(f));
    if (!ValidPcm(f))
        return DSERR_BADFORMAT;
    Engine::Instance().RequestFormat({f.nSamplesPerSec, f.nChannels, f.wBitsPerSample});
    return DS_OK;
}

HRESULT EnumerateDevices(LPDSENUMCALLBACKA callback, void* context)
{
    if (!callback)
        return DSERR_INVALIDPARAM;
    // Copied first: a callback may itself call into the engine.
    const std::vector<output::DeviceInfo> devices = Engine::Instance().Devices();
    if (!callback(nullptr, "Primary Sound Driver", "", context))
        return DS_OK;
    for (const output::DeviceInfo& d : devices) {
        GUID guid = d.Guid;
        if (!callback(&guid, d.Name.c_str(), "", context))
            break;
    }
    return DS_OK;
}

HRESULT CreateDevice(const GUID* device, IDirectSound** ds, void* outer)
{
    if (!ds)
        return DSERR_INVALIDPARAM;
    *ds = nullptr;
    if (outer)
        return DSERR_NOAGGREGATION;
    const HRESULT hr = Engine::Instance().OpenDevice(device);
    if (FAILED(hr))
        return hr;
    *ds = new (std::nothrow) DirectSoundDevice;
    return *ds ? DS_OK : DSERR_OUTOFMEMORY;
}

} // namespace

DSoundEntryPoints& DSoundLibrary()
{
    static DSoundEntryPoints entries{&EnumerateDevices, &CreateDevice};
    return entries;
}
