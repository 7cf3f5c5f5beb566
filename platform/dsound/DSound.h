// The sound-output API the mixer is written against: devices, a primary buffer and looping
// secondary buffers, with the names, records and result codes of the old platform's API.
// An engine inside the process mixes the playing secondary buffers (engine/Engine.h); the entry
// points are its own (engine/DirectSound.cpp), so a program that calls them links the engine.
//
// Threads: every call may come from any thread; the mixer serialises its own calls under the
// channel mutex. Buffer memory handed out by Lock is written by the caller while the engine's
// render thread reads other parts of the same buffer; Unlock publishes what was written.
#pragma once

#include <cstdint>
#include <utility>

using HRESULT = int32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using DWORD = uint32_t;
using WORD = uint16_t;
using BOOL = int;
using HWND = void*;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

#pragma pack(push, 1)
// 18 bytes, as the platform packs it.
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);

constexpr WORD WAVE_FORMAT_PCM = 1;

struct DSBUFFERDESC {
    DWORD dwSize;
    DWORD dwFlags;
    DWORD dwBufferBytes;
    DWORD dwReserved;
    WAVEFORMATEX* lpwfxFormat;
    GUID guid3DAlgorithm;
};
// The record was 36 bytes where pointers had 4 bytes; both sizes are accepted in dwSize.
constexpr DWORD DSBUFFERDESC_LEGACY_SIZE = 36;

// Result codes.
constexpr HRESULT DS_OK = 0;
constexpr HRESULT DSERR_UNSUPPORTED = static_cast<HRESULT>(0x80004001);
constexpr HRESULT DSERR_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT DSERR_GENERIC = static_cast<HRESULT>(0x80004005);
constexpr HRESULT DSERR_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
constexpr HRESULT DSERR_ACCESSDENIED = static_cast<HRESULT>(0x80070005);
constexpr HRESULT DSERR_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT DSERR_INVALIDPARAM = static_cast<HRESULT>(0x80070057);
constexpr HRESULT DSERR_ALLOCATED = static_cast<HRESULT>(0x8878000A);
constexpr HRESULT DSERR_CONTROLUNAVAIL = static_cast<HRESULT>(0x8878001E);
constexpr HRESULT DSERR_INVALIDCALL = static_cast<HRESULT>(0x88780032);
constexpr HRESULT DSERR_PRIOLEVELNEEDED = static_cast<HRESULT>(0x88780046);
constexpr HRESULT DSERR_BADFORMAT = static_cast<HRESULT>(0x88780064);
constexpr HRESULT DSERR_NODRIVER = static_cast<HRESULT>(0x88780078);
constexpr HRESULT DSERR_ALREADYINITIALIZED = static_cast<HRESULT>(0x88780082);
constexpr HRESULT DSERR_BUFFERLOST = static_cast<HRESULT>(0x88780096);
constexpr HRESULT DSERR_OTHERAPPHASPRIO = static_cast<HRESULT>(0x887800A0);
constexpr HRESULT DSERR_UNINITIALIZED = static_cast<HRESULT>(0x887800AA);
constexpr HRESULT DSERR_BUFFERTOOSMALL = static_cast<HRESULT>(0x887800B4);
constexpr HRESULT DSERR_DS8_REQUIRED = static_cast<HRESULT>(0x887800BE);
constexpr HRESULT DSERR_SENDLOOP = static_cast<HRESULT>(0x887800C8);
constexpr HRESULT DSERR_BADSENDBUFFERGUID = static_cast<HRESULT>(0x887800D2);
constexpr HRESULT DSERR_FXUNAVAILABLE = static_cast<HRESULT>(0x887800DC);
constexpr HRESULT DSERR_OBJECTNOTFOUND = static_cast<HRESULT>(0x88781161);

// Cooperative levels.
constexpr DWORD DSSCL_NORMAL = 1;
constexpr DWORD DSSCL_PRIORITY = 2;
constexpr DWORD DSSCL_EXCLUSIVE = 3;
constexpr DWORD DSSCL_WRITEPRIMARY = 4;

// Buffer capabilities.
constexpr DWORD DSBCAPS_PRIMARYBUFFER = 0x00000001;
constexpr DWORD DSBCAPS_STATIC = 0x00000002;
constexpr DWORD DSBCAPS_LOCHARDWARE = 0x00000004;
constexpr DWORD DSBCAPS_LOCSOFTWARE = 0x00000008;
constexpr DWORD DSBCAPS_CTRL3D = 0x00000010;
constexpr DWORD DSBCAPS_CTRLFREQUENCY = 0x00000020;
constexpr DWORD DSBCAPS_CTRLPAN = 0x00000040;
constexpr DWORD DSBCAPS_CTRLVOLUME = 0x00000080;
constexpr DWORD DSBCAPS_CTRLPOSITIONNOTIFY = 0x00000100;
constexpr DWORD DSBCAPS_STICKYFOCUS = 0x00004000;
constexpr DWORD DSBCAPS_GLOBALFOCUS = 0x00008000;
constexpr DWORD DSBCAPS_GETCURRENTPOSITION2 = 0x00010000;

constexpr DWORD DSBPLAY_LOOPING = 0x00000001;

constexpr DWORD DSBSTATUS_PLAYING = 0x00000001;
constexpr DWORD DSBSTATUS_BUFFERLOST = 0x00000002;
constexpr DWORD DSBSTATUS_LOOPING = 0x00000004;

constexpr DWORD DSBLOCK_FROMWRITECURSOR = 0x00000001;
constexpr DWORD DSBLOCK_ENTIREBUFFER = 0x00000002;

constexpr LONG DSBVOLUME_MIN = -10000;
constexpr LONG DSBVOLUME_MAX = 0;
constexpr LONG DSBPAN_LEFT = -10000;
constexpr LONG DSBPAN_RIGHT = 10000;
constexpr DWORD DSBFREQUENCY_ORIGINAL = 0;
constexpr DWORD DSBFREQUENCY_MIN = 100;
constexpr DWORD DSBFREQUENCY_MAX = 100000;

constexpr DWORD DSSPEAKER_HEADPHONE = 1;
constexpr DWORD DSSPEAKER_MONO = 2;
constexpr DWORD DSSPEAKER_QUAD = 3;
constexpr DWORD DSSPEAKER_STEREO = 4;
constexpr DWORD DSSPEAKER_SURROUND = 5;

inline bool FAILED(HRESULT hr)
{
    return hr < 0;
}
inline bool SUCCEEDED(HRESULT hr)
{
    return hr >= 0;
}

// Reference-counted objects: the creator receives one reference; Release frees the object with
// the last one.
class IUnknownLike {
public:
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    virtual ~IUnknownLike() = default;
};

class IDirectSoundBuffer : public IUnknownLike {
public:
    // Play cursor: the byte offset the engine reads next (0 <= play < buffer size). Write cursor:
    // the first byte that is safe to write, one engine period ahead. Either pointer may be null.
    virtual HRESULT GetCurrentPosition(DWORD* playCursor, DWORD* writeCursor) = 0;
    virtual HRESULT GetFormat(WAVEFORMATEX* format, DWORD sizeAllocated, DWORD* sizeWritten) = 0;
    virtual HRESULT GetVolume(LONG* volume) = 0;
    virtual HRESULT GetPan(LONG* pan) = 0;
    virtual HRESULT GetFrequency(DWORD* frequency) = 0;
    virtual HRESULT GetStatus(DWORD* status) = 0;
    // A region that does not cross the end of the buffer comes back whole in the first pointer;
    // one that does comes back as two (the second from offset 0).
    virtual HRESULT Lock(DWORD offset, DWORD bytes, void** ptr1, DWORD* bytes1, void** ptr2, DWORD* bytes2,
                         DWORD flags) = 0;
    virtual HRESULT Play(DWORD reserved, DWORD priority, DWORD flags) = 0;
    virtual HRESULT SetCurrentPosition(DWORD newPosition) = 0;
    virtual HRESULT SetFormat(const WAVEFORMATEX* format) = 0;
    // Hundredths of a decibel, -10000..0.
    virtual HRESULT SetVolume(LONG volume) = 0;
    // -10000 (left only) .. 10000 (right only): the far side is attenuated by |pan| hundredths of a dB.
    virtual HRESULT SetPan(LONG pan) = 0;
    // Hz, 100..100000, or 0 for the buffer's own rate.
    virtual HRESULT SetFrequency(DWORD frequency) = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT Unlock(void* ptr1, DWORD bytes1, void* ptr2, DWORD bytes2) = 0;
    virtual HRESULT Restore() = 0;
};

class IDirectSound : public IUnknownLike {
public:
    virtual HRESULT CreateSoundBuffer(const DSBUFFERDESC* desc, IDirectSoundBuffer** buffer, void* outer) = 0;
    virtual HRESULT SetCooperativeLevel(HWND window, DWORD level) = 0;
    virtual HRESULT SetSpeakerConfig(DWORD config) = 0;
    virtual HRESULT GetSpeakerConfig(DWORD* config) = 0;
};

using LPDSENUMCALLBACKA = BOOL (*)(GUID* guid, const char* description, const char* module, void* context);
using DirectSoundEnumerateAProc = HRESULT (*)(LPDSENUMCALLBACKA callback, void* context);
using DirectSoundCreateProc = HRESULT (*)(const GUID* device, IDirectSound** ds, void* outer);

// The entry points of the sound library, looked up once at start. Tests may clear one to reach
// the "entry point missing" paths; production code never changes them.
struct DSoundEntryPoints {
    DirectSoundEnumerateAProc DirectSoundEnumerateA;
    DirectSoundCreateProc DirectSoundCreate;
};
DSoundEntryPoints& DSoundLibrary();

// The desktop window handle used for the cooperative level (a fixed non-null token here).
HWND GetDesktopWindow();

// Registry-format text "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and back; false for malformed text.
void GuidToString(const GUID& guid, char out[39]);
bool StringToGuid(const char* text, GUID& guid);

// Holds one reference; Release on destruction.
template <class T> class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr& o) : FPtr(o.FPtr)
    {
        if (FPtr)
            FPtr->AddRef();
    }
    ComPtr(ComPtr&& o) noexcept : FPtr(o.FPtr) { o.FPtr = nullptr; }
    ~ComPtr() { Reset(); }
    ComPtr& operator=(ComPtr o) noexcept
    {
        std::swap(FPtr, o.FPtr);
        return *this;
    }
    void Reset()
    {
        if (FPtr)
            FPtr->Release();
        FPtr = nullptr;
    }
    // For out-parameters: releases what is held and returns the slot.
    T** Put()
    {
        Reset();
        return &FPtr;
    }
    T* Get() const { return FPtr; }
    T* operator->() const { return FPtr; }
    explicit operator bool() const { return FPtr != nullptr; }

private:
    T* FPtr = nullptr;
};
