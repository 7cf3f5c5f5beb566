// What the engine renders: exact copies at the output rate, resampled pitch, volume, pan, sums,
// cursors and the timing of parameter changes.
#include "tests/engine/engine_helpers.h"
#include "tests/support/Fixtures.h"

#include <atomic>
#include <cmath>
#include <thread>

using namespace dstest;
using engine::Engine;
using testsupport::Rms;
using testsupport::SineS16;
using testsupport::ZeroCrossingHz;

using Render = ManualDevice;

TEST_F(Render, BufferAtTheOutputRateComesOutSampleExactAcrossTheLoop)
{
    // 1000 frames: pulling 2500 wraps the loop twice, at a point that is not a period boundary.
    const auto tone = SineS16(1000, 44100, 2, 441, 20000);
    auto b = Playing(tone, 44100, 2);
    const auto out = Engine::PullS16(2500);
    ASSERT_EQ(out.size(), 5000u);
    for (size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], tone[i % tone.size()]) << "sample " << i;
    EXPECT_EQ(PlayCursor(b.Get()), 500u * 4);
}

TEST_F(Render, EightBitMonoGoesToBothSidesScaledTo16Bit)
{
    WAVEFORMATEX f = Pcm(44100, 1, 8);
    DSBUFFERDESC d = Desc(&f, 256);
    ComPtr<IDirectSoundBuffer> b;
    ASSERT_EQ(FDevice->CreateSoundBuffer(&d, b.Put(), nullptr), DS_OK);
    std::vector<uint8_t> ramp(256);
    for (int i = 0; i < 256; ++i)
        ramp[i] = static_cast<uint8_t>(i);
    Write(b.Get(), 0, ramp.data(), 256);
    ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    const auto out = Engine::PullS16(256);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(out[2 * i], (i - 128) * 256) << i;
        ASSERT_EQ(out[2 * i + 1], (i - 128) * 256) << i;
    }
}

TEST_F(Render, OutputFormatsOtherThan16BitStereo)
{
    ComPtr<IDirectSoundBuffer> primary;
    DSBUFFERDESC pd{};
    pd.dwSize = sizeof(pd);
    pd.dwFlags = DSBCAPS_PRIMARYBUFFER;
    ASSERT_EQ(FDevice->CreateSoundBuffer(&pd, primary.Put(), nullptr), DS_OK);

    // Mono output averages the two sides: a left/right pair (a, b) comes out as (a + b) / 2.
    WAVEFORMATEX mono = Pcm(44100, 1, 16);
    ASSERT_EQ(primary->SetFormat(&mono), DS_OK);
    auto b = Playing({1000, 3000, -2000, 2000}, 44100, 2);
    auto out = Engine::PullS16(4);
    EXPECT_EQ(out, (std::vector<int16_t>{2000, 0, 2000, 0}));

    // 8-bit output: 16-bit 256 * k becomes 128 + k.
    WAVEFORMATEX eight = Pcm(44100, 2, 8);
    ASSERT_EQ(primary->SetFormat(&eight), DS_OK);
    b = Playing({256, -512, 32767, -32768}, 44100, 2);
    const auto bytes = Engine::Pull(2);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{129, 126, 255, 0}));
}

TEST_F(Render, ResampledBufferKeepsItsPitchAndFrequencyChangesIt)
{
    // One second of a 1 kHz tone at 22050 Hz loops without a seam.
    auto b = Playing(SineS16(22050, 22050, 2, 1000), 22050, 2);
    auto out = ToFloat(Engine::PullS16(22050));
    EXPECT_NEAR(ZeroCrossingHz(out, 2, 0, 44100), 1000, 5);
    EXPECT_NEAR(ZeroCrossingHz(out, 2, 1, 44100), 1000, 5);
    // The cursor counts the input frames the converter took: half the output frames, plus once
    // the converter's look-ahead.
    const DWORD first = PlayCursor(b.Get()) / 4;
    EXPECT_GE(first, 22050u / 2);
    EXPECT_LT(first, 22050u / 2 + 128);
    Engine::PullS16(22050);
    EXPECT_NEAR(double((PlayCursor(b.Get()) / 4 + 22050 - first) % 22050), 22050 / 2.0, 2);

    ASSERT_EQ(b->SetFrequency(44100), DS_OK);
    out = ToFloat(Engine::PullS16(22050));
    EXPECT_NEAR(ZeroCrossingHz(out, 2, 0, 44100), 2000, 10);
    ASSERT_EQ(b->SetFrequency(33075), DS_OK);
    out = ToFloat(Engine::PullS16(22050));
    EXPECT_NEAR(ZeroCrossingHz(out, 2, 0, 44100), 1500, 8);
    // Level survives the converter.
    EXPECT_NEAR(Rms(out, 2, 0), 12000 / 32768.0 / std::sqrt(2.0), 0.01);
}

TEST_F(Render, VolumeAndPanAttenuateByHundredthsOfADecibel)
{
    const auto tone = SineS16(4410, 44100, 2, 1000);
    auto b = Playing(tone, 44100, 2);
    const double full = Rms(ToFloat(Engine::PullS16(4410)), 2, 0);
    // Each change ramps across the period after it; measured from the one after that.
    const auto settled = [] {
        Engine::PullS16(Engine::Instance().PeriodFrames());
        return ToFloat(Engine::PullS16(4410));
    };

    ASSERT_EQ(b->SetVolume(-600), DS_OK);
    auto out = settled();
    EXPECT_NEAR(Rms(out, 2, 0) / full, std::pow(10.0, -0.3), 1e-3);
    EXPECT_NEAR(Rms(out, 2, 1) / full, std::pow(10.0, -0.3), 1e-3);

    ASSERT_EQ(b->SetVolume(0), DS_OK);
    ASSERT_EQ(b->SetPan(DSBPAN_RIGHT), DS_OK);
    out = settled();
    EXPECT_EQ(Rms(out, 2, 0), 0.0); // 10^-5 of 12000 rounds to nothing
    EXPECT_NEAR(Rms(out, 2, 1) / full, 1.0, 1e-4);

    ASSERT_EQ(b->SetPan(-1000), DS_OK); // right side 10 dB down
    out = settled();
    EXPECT_NEAR(Rms(out, 2, 0) / full, 1.0, 1e-4);
    EXPECT_NEAR(Rms(out, 2, 1) / full, std::pow(10.0, -0.5), 1e-3);
}

TEST_F(Render, TwoBuffersSumAndTheSumClips)
{
    auto a = Playing({1000, -1000, 30000, -30000}, 44100, 2);
    auto b = Playing({234, 5, 10000, -10000}, 44100, 2);
    EXPECT_EQ(Engine::PullS16(2), (std::vector<int16_t>{1234, -995, 32767, -32768}));
}

TEST_F(Render, CursorsAdvanceByTheFramesPlayedAndWrap)
{
    // 16-bit mono, 1000 frames: the cursor counts the buffer's own bytes.
    auto b = Playing(std::vector<int16_t>(1000, 7), 44100, 1);
    Engine::Pull(441);
    DWORD play = 0, write = 0;
    ASSERT_EQ(b->GetCurrentPosition(&play, &write), DS_OK);
    EXPECT_EQ(play, 882u);
    EXPECT_EQ(write, (882u + 441 * 2) % 2000); // one engine period ahead
    Engine::Pull(600);
    EXPECT_EQ(PlayCursor(b.Get()), (1041u % 1000) * 2);

    // A buffer that is not playing does not move; SetCurrentPosition rounds down to a frame.
    ASSERT_EQ(b->Stop(), DS_OK);
    Engine::Pull(100);
    EXPECT_EQ(PlayCursor(b.Get()), 82u);
    ASSERT_EQ(b->SetCurrentPosition(1501), DS_OK);
    EXPECT_EQ(PlayCursor(b.Get()), 1500u);
    ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    Engine::Pull(300);
    EXPECT_EQ(PlayCursor(b.Get()), (750u + 300) % 1000 * 2);
}

TEST_F(Render, StopKeepsTheCursorAndPlayResumesThere)
{
    const auto tone = SineS16(1000, 44100, 2, 441);
    auto b = Playing(tone, 44100, 2);
    Engine::PullS16(300);
    ASSERT_EQ(b->Stop(), DS_OK);
    DWORD status = 1;
    ASSERT_EQ(b->GetStatus(&status), DS_OK);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(Engine::PullS16(50), std::vector<int16_t>(100, 0));
    EXPECT_EQ(PlayCursor(b.Get()), 1200u);
    ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    ASSERT_EQ(b->GetStatus(&status), DS_OK);
    EXPECT_EQ(status, DSBSTATUS_PLAYING | DSBSTATUS_LOOPING);
    const auto out = Engine::PullS16(10);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), tone.begin() + 600));
}

TEST_F(Render, ParameterChangesReachTheNextPeriod)
{
    auto b = Playing(std::vector<int16_t>(8820, 16000), 44100, 2);
    const uint32_t period = Engine::Instance().PeriodFrames();
    EXPECT_EQ(period, 441u);
    Engine::PullS16(period);
    ASSERT_EQ(b->SetVolume(DSBVOLUME_MIN), DS_OK);
    auto out = Engine::PullS16(period);
    // Ramped across the period: from full at its start to the new volume at its end.
    EXPECT_GT(out.front(), 15000);
    EXPECT_EQ(out.back(), 0);
    ASSERT_EQ(b->SetVolume(0), DS_OK);
    ASSERT_EQ(b->SetFrequency(22050), DS_OK);
    Engine::PullS16(period);
    const DWORD before = PlayCursor(b.Get());
    Engine::PullS16(period);
    // Half speed: about half a period of input per period.
    EXPECT_NEAR(double((PlayCursor(b.Get()) + 17640 - before) % 17640) / 4, period / 2.0, 3);
}

TEST_F(Render, RefusedValuesChangeNothing)
{
    const auto tone = SineS16(4410, 44100, 2, 1000);
    auto b = Playing(tone, 44100, 2);
    ASSERT_EQ(b->SetVolume(-300), DS_OK);
    ASSERT_EQ(b->SetPan(500), DS_OK);
    const auto reference = Engine::PullS16(4410); // one whole loop
    EXPECT_EQ(b->SetVolume(1), DSERR_INVALIDPARAM);
    EXPECT_EQ(b->SetVolume(-10001), DSERR_INVALIDPARAM);
    EXPECT_EQ(b->SetPan(10001), DSERR_INVALIDPARAM);
    EXPECT_EQ(b->SetPan(-10001), DSERR_INVALIDPARAM);
    EXPECT_EQ(b->SetFrequency(99), DSERR_INVALIDPARAM);
    EXPECT_EQ(b->SetFrequency(100001), DSERR_INVALIDPARAM);
    LONG volume = 0, pan = 0;
    DWORD frequency = 0;
    ASSERT_EQ(b->GetVolume(&volume), DS_OK);
    ASSERT_EQ(b->GetPan(&pan), DS_OK);
    ASSERT_EQ(b->GetFrequency(&frequency), DS_OK);
    EXPECT_EQ(volume, -300);
    EXPECT_EQ(pan, 500);
    EXPECT_EQ(frequency, 44100u);
    EXPECT_EQ(Engine::PullS16(4410), reference);
}

TEST_F(Render, ExtremeRatesKeepTheirPitchAndMoveTheCursor)
{
    // 100 Hz is beyond the sinc converter's range against 44.1 kHz and is interpolated instead.
    auto low = Playing(SineS16(1000, 100, 1, 10), 100, 1);
    auto high = Playing(SineS16(150000, 100000, 1, 1000), 100000, 1);
    ASSERT_EQ(high->SetVolume(DSBVOLUME_MIN), DS_OK);
    const auto out = ToFloat(Engine::PullS16(44100));
    EXPECT_NEAR(ZeroCrossingHz(out, 2, 0, 44100), 10, 0.2);
    EXPECT_NEAR(PlayCursor(low.Get()) / 2.0, 100, 1);
    // One second at 100 kHz, give or take the converter's look-ahead.
    EXPECT_NEAR(PlayCursor(high.Get()) / 2.0, 100000, 128);
}

// A seek refills the buffer while a render thread keeps pulling blocks: the refill never overlaps a
// block's reads (ThreadSanitizer sees it), and a block begun after the seek returned holds none of
// what was there before it.
TEST_F(Render, ARefillAfterASeekNeverMeetsABlockStillReadingTheBuffer)
{
    constexpr int Seeks = 10000;
    constexpr DWORD Frames = 2048;
    auto b = Playing(std::vector<int16_t>(Frames * 2, 1), 44100, 2);
    std::atomic<int> seeked{1}; // the value the buffer holds since the last seek returned
    std::atomic<bool> done{false};
    std::atomic<int> stale{0};
    std::thread render([&] {
        std::vector<int16_t> block(64 * 2);
        while (!done) {
            const int since = seeked.load();
            Engine::PullInto(block.data(), 64);
            for (int16_t v : block)
                if (v != 0 && v < since)
                    ++stale;
        }
    });
    std::vector<int16_t> fill(Frames * 2);
    for (int k = 2; k <= Seeks; ++k) {
        ASSERT_EQ(b->Stop(), DS_OK);
        ASSERT_EQ(b->SetCurrentPosition(0), DS_OK);
        std::fill(fill.begin(), fill.end(), static_cast<int16_t>(k));
        Write(b.Get(), 0, fill.data(), Frames * 4);
        ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
        seeked = k;
    }
    done = true;
    render.join();
    EXPECT_EQ(stale.load(), 0);
}
