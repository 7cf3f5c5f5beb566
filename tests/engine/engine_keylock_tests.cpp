// A buffer played with its key kept, and the switches between the engine's voices: the pitch stays
// while the tempo follows the frequency, the cursor names what is heard, and no switch (keylock on
// or off, back to the song's own rate, pause and resume) jumps in the waveform.
#include "tests/engine/engine_helpers.h"
#include "tests/support/Fixtures.h"

#include <algorithm>
#include <cmath>

using namespace dstest;
using engine::Engine;
using testsupport::SineS16;
using testsupport::ZeroCrossingHz;

namespace {

using Keylock = ManualDevice;

constexpr double Pi = 3.14159265358979;

// The largest step between neighbouring samples of channel 0.
int MaxStep(const std::vector<int16_t>& stereo)
{
    int step = 0;
    for (size_t i = 2; i < stereo.size(); i += 2)
        step = std::max(step, std::abs(stereo[i] - stereo[i - 2]));
    return step;
}

// The largest step a tone of `hz` at `amplitude` has at 44.1 kHz.
double ToneStep(double hz, double amplitude)
{
    return 2 * Pi * hz / 44100 * amplitude;
}

// Frames the cursor moved from `before` in a buffer of `frames` frames (less than one lap).
DWORD Moved(DWORD before, DWORD after, DWORD frames)
{
    return (after + frames - before) % frames;
}

} // namespace

TEST_F(Keylock, TheToneKeepsItsPitchWhileTheClicksFollowTheSpeed)
{
    // A 1 kHz tone with a click every 100 ms on the right channel only.
    auto samples = SineS16(44100, 44100, 2, 1000, 8000);
    for (size_t frame = 0; frame < 44100; ++frame)
        samples[2 * frame + 1] = frame % 4410 < 8 ? 30000 : 0;
    for (const double speed : {1.06, 0.94, 1.12}) {
        auto b = Playing(samples, 44100, 2);
        ASSERT_EQ(dstest::Voice(b.Get()).SetKeylock(1), DS_OK);
        ASSERT_EQ(b->SetFrequency(static_cast<DWORD>(std::lround(44100 * speed))), DS_OK);
        Engine::PullS16(4410); // the stretcher settles
        const auto out = Engine::PullS16(44100);
        EXPECT_NEAR(ZeroCrossingHz(ToFloat(out), 2, 0, 44100), 1000, 2) << speed;
        std::vector<size_t> clicks;
        for (size_t frame = 1; frame < out.size() / 2; ++frame)
            if (out[2 * frame + 1] > 12000 && (clicks.empty() || frame - clicks.back() > 2000))
                clicks.push_back(frame);
        ASSERT_GE(clicks.size(), 8u) << speed;
        const double period = double(clicks.back() - clicks.front()) / (clicks.size() - 1);
        EXPECT_NEAR(period, 4410 / speed, 4410 / speed * 0.005) << speed;
        b->Stop();
    }
}

TEST_F(Keylock, TheCursorCountsTheSongsFramesHeard)
{
    const DWORD frames = 44100 * 4;
    auto b = Playing(SineS16(frames, 44100, 2, 440, 8000), 44100, 2);
    ASSERT_EQ(dstest::Voice(b.Get()).SetKeylock(1), DS_OK);
    ASSERT_EQ(b->SetFrequency(46746), DS_OK); // +6 %
    double moved = 0;
    DWORD cursor = PlayCursor(b.Get()) / 4;
    for (int second = 0; second < 30; ++second) {
        Engine::PullS16(44100);
        const DWORD now = PlayCursor(b.Get()) / 4;
        moved += Moved(cursor, now, frames);
        cursor = now;
    }
    EXPECT_NEAR(moved, 30 * 46746.0, 44.1 * 20); // within 20 ms
}

TEST_F(Keylock, SwitchingWhilePlayingLeavesNoStepLargerThanTheSignals)
{
    constexpr double Amplitude = 16384; // half scale
    auto b = Playing(SineS16(44100, 44100, 2, 440, Amplitude), 44100, 2);
    ASSERT_EQ(b->SetFrequency(46746), DS_OK);
    Engine::PullS16(4410);
    std::vector<int16_t> out;
    const auto pull = [&out](uint32_t n) {
        const auto block = Engine::PullS16(n);
        out.insert(out.end(), block.begin(), block.end());
    };
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(dstest::Voice(b.Get()).SetKeylock(1), DS_OK);
        pull(8820);
        ASSERT_EQ(dstest::Voice(b.Get()).SetKeylock(0), DS_OK);
        pull(8820);
    }
    EXPECT_LT(MaxStep(out), ToneStep(440 * 1.06, Amplitude) * 1.25);
}

// The converter's held frames are not skipped when the speed returns to the song's own rate or the
// buffer pauses and resumes, and it starts from what was heard, not from silence.
TEST_F(Keylock, TheConverterNeitherSkipsNorStartsFromSilence)
{
    constexpr double Amplitude = 16384;
    auto b = Playing(SineS16(44100, 44100, 2, 440, Amplitude), 44100, 2);
    std::vector<int16_t> out = Engine::PullS16(1000);
    const auto pull = [&out](uint32_t n) {
        const auto block = Engine::PullS16(n);
        out.insert(out.end(), block.begin(), block.end());
    };
    ASSERT_EQ(b->SetFrequency(46746), DS_OK); // the converter's first use
    pull(2205);
    ASSERT_EQ(b->Stop(), DS_OK);
    Engine::PullS16(441);
    ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    pull(2205);
    ASSERT_EQ(b->SetFrequency(0), DS_OK);
    pull(2205);
    EXPECT_LT(MaxStep(out), ToneStep(440 * 1.06, Amplitude) * 1.1);
}
