// Shared set-up of the sound-output tests: a device on the manual backend, buffer creation and
// filling through Lock/Unlock, and conversions of pulled frames.
#pragma once

#include "platform/dsound/DSound.h"
#include "engine/Controls.h"
#include "engine/Engine.h"
#include "engine/SoundBuffer.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace dstest {

// Waits (real time) until `done` holds; false after `limit`.
template <class F> bool WaitFor(F done, std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

constexpr DWORD ChannelFlags = 0x000180E0;

inline WAVEFORMATEX Pcm(DWORD rate, WORD channels, WORD bits)
{
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

inline DSBUFFERDESC Desc(WAVEFORMATEX* format, DWORD bytes, DWORD flags = ChannelFlags)
{
    DSBUFFERDESC d{};
    d.dwSize = DSBUFFERDESC_LEGACY_SIZE;
    d.dwFlags = flags;
    d.dwBufferBytes = bytes;
    d.lpwfxFormat = format;
    return d;
}

// Writes `bytes` at `offset` through Lock/Unlock (the region may cross the end).
// The engine's own buffer behind the old API's interface, for its controls beyond that API.
inline engine::SoundBuffer& Voice(IDirectSoundBuffer* b)
{
    return *dynamic_cast<engine::SoundBuffer*>(b);
}

inline void Write(IDirectSoundBuffer* b, DWORD offset, const void* data, DWORD bytes)
{
    void *p1 = nullptr, *p2 = nullptr;
    DWORD n1 = 0, n2 = 0;
    ASSERT_EQ(b->Lock(offset, bytes, &p1, &n1, &p2, &n2, 0), DS_OK);
    std::memcpy(p1, data, n1);
    if (p2)
        std::memcpy(p2, static_cast<const uint8_t*>(data) + n1, n2);
    ASSERT_EQ(b->Unlock(p1, n1, p2, n2), DS_OK);
}

inline std::vector<float> ToFloat(const std::vector<int16_t>& s)
{
    std::vector<float> f(s.size());
    for (size_t i = 0; i < s.size(); ++i)
        f[i] = s[i] / 32768.0f;
    return f;
}

inline DWORD PlayCursor(IDirectSoundBuffer* b)
{
    DWORD play = ~0u;
    EXPECT_EQ(b->GetCurrentPosition(&play, nullptr), DS_OK);
    return play;
}

// The devices DirectSoundEnumerateA lists after its default entry.
struct ListedDevices {
    std::vector<std::string> Names;
    std::vector<GUID> Guids;

    static BOOL Collect(GUID* guid, const char* description, const char*, void* context)
    {
        auto* l = static_cast<ListedDevices*>(context);
        if (guid) {
            l->Names.push_back(description);
            l->Guids.push_back(*guid);
        }
        return 1;
    }
};

// A playing looping 16-bit buffer on `device` holding `samples` (interleaved).
inline ComPtr<IDirectSoundBuffer> PlayingBuffer(IDirectSound* device, const std::vector<int16_t>& samples, DWORD rate,
                                                WORD channels)
{
    WAVEFORMATEX f = Pcm(rate, channels, 16);
    DSBUFFERDESC d = Desc(&f, static_cast<DWORD>(samples.size() * 2));
    ComPtr<IDirectSoundBuffer> b;
    EXPECT_EQ(device->CreateSoundBuffer(&d, b.Put(), nullptr), DS_OK);
    if (!b)
        return b;
    Write(b.Get(), 0, samples.data(), static_cast<DWORD>(samples.size() * 2));
    EXPECT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    return b;
}

// A second of a `hz` tone at `level` (of 32767) in a looping 44.1 kHz 16-bit buffer of `device`,
// playing. Whole cycles of a whole-hertz tone fill the second, so the loop is seamless.
inline ComPtr<IDirectSoundBuffer> LoopingTone(IDirectSound* device, WORD channels, double hz, double level)
{
    return PlayingBuffer(device, testsupport::SineS16(44100, 44100, channels, hz, level), 44100, channels);
}

// A device on the manual backend, reset before and after each test.
class ManualDevice : public ::testing::Test {
protected:
    void SetUp() override
    {
        engine::Engine::Reset();
        engine::Engine::UseManualBackend();
        ASSERT_EQ(DSoundLibrary().DirectSoundCreate(nullptr, FDevice.Put(), nullptr), DS_OK);
        ASSERT_EQ(FDevice->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY), DS_OK);
    }
    void TearDown() override
    {
        FDevice.Reset();
        engine::Engine::Reset();
    }

    // A playing 16-bit buffer holding `samples` (interleaved, `channels` channels).
    ComPtr<IDirectSoundBuffer> Playing(const std::vector<int16_t>& samples, DWORD rate, WORD channels)
    {
        return PlayingBuffer(FDevice.Get(), samples, rate, channels);
    }

    ComPtr<IDirectSound> FDevice;
};

} // namespace dstest
