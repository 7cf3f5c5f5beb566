// The PortAudio backend against a real (ALSA "null" plugin) output device set up for the test in a
// private home folder, so that no sound card is needed.
#include "tests/engine/engine_helpers.h"
#include "tests/support/Fixtures.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

using namespace dstest;
using engine::Engine;

TEST(PortAudioDevice, ListedDevicesHaveStableGuidsAndPlay)
{
    testsupport::TempDir home;
    {
        std::ofstream rc(home.file(".asoundrc"));
        rc << "pcm.duodecktest { type null }\n";
        // Where ALSA's extra plugins are installed, probing the AC-3 encoder loads the codec
        // libraries, whose start-up memory then outlives them where no sanitizer can attribute it.
        rc << "pcm.!a52 { type null }\n";
    }
    const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", home.path().c_str(), 1);
    setenv("DUODECK_AUDIO_BACKEND", "portaudio", 1);
    Engine::Reset();

    ListedDevices first, second;
    ASSERT_EQ(DSoundLibrary().DirectSoundEnumerateA(&ListedDevices::Collect, &first), DS_OK);
    Engine::Reset(); // reads the list afresh
    ASSERT_EQ(DSoundLibrary().DirectSoundEnumerateA(&ListedDevices::Collect, &second), DS_OK);
    ASSERT_EQ(first.Names, second.Names);
    for (size_t i = 0; i < first.Guids.size(); ++i)
        EXPECT_EQ(std::memcmp(&first.Guids[i], &second.Guids[i], sizeof(GUID)), 0) << first.Names[i];

    auto it = std::find(first.Names.begin(), first.Names.end(), "duodecktest");
    if (it == first.Names.end()) {
        setenv("HOME", oldHome.c_str(), 1);
        GTEST_SKIP() << "the ALSA null device is not offered here";
    }
    const GUID guid = first.Guids[it - first.Names.begin()];
    ComPtr<IDirectSound> ds;
    ASSERT_EQ(DSoundLibrary().DirectSoundCreate(&guid, ds.Put(), nullptr), DS_OK);
    EXPECT_EQ(Engine::Instance().BackendName(), "portaudio");
    ASSERT_EQ(ds->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY), DS_OK);

    WAVEFORMATEX f = Pcm(22050, 2, 16);
    const auto tone = testsupport::SineS16(22050, 22050, 2, 1000);
    DSBUFFERDESC d = Desc(&f, static_cast<DWORD>(tone.size() * 2));
    ComPtr<IDirectSoundBuffer> b;
    ASSERT_EQ(ds->CreateSoundBuffer(&d, b.Put(), nullptr), DS_OK);
    Write(b.Get(), 0, tone.data(), d.dwBufferBytes);
    ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (PlayCursor(b.Get()) == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_NE(PlayCursor(b.Get()), 0u);
    // Still the device: it keeps calling back, so the watchdog leaves it alone.
    EXPECT_EQ(Engine::Instance().BackendName(), "portaudio");

    b.Reset();
    ds.Reset();
    Engine::Reset();
    setenv("HOME", oldHome.c_str(), 1);
}
