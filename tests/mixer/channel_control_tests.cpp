#include "channel_support.h"
#include "platform/output/CueOutput.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <set>

namespace {
// Sleeps `ms` of program time, delivering posted messages meanwhile.
void Wait(int ms)
{
    const auto until = std::chrono::steady_clock::now() + timescale::Real(ms);
    while (std::chrono::steady_clock::now() < until) {
        ProcessMessages();
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    ProcessMessages();
}
} // namespace

TEST_F(ChannelTest, FadeStepsOncePerUpdateAndLandsOnTheEndVolume)
{
    auto& ch = NewChannel();
    ch.SetFileName(NoiseSong("fade.wav", kRate * 10));
    int fadeEnds = 0;
    ch.OnFadeEnd = [&](TMxDSMixerChannel*) { ++fadeEnds; };
    timescale::Scope slower(10); // enough updates even on a loaded machine
    ch.Play();
    ch.Fade(5000, -5000);
    std::set<int32_t> steps;
    const auto until = std::chrono::steady_clock::now() + timescale::Real(20000);
    while (fadeEnds == 0 && std::chrono::steady_clock::now() < until) {
        steps.insert(ch.Volume());
        ProcessMessages();
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    ProcessMessages();
    EXPECT_EQ(ch.Volume(), -5000);
    EXPECT_EQ(fadeEnds, 1);
    // About one step per 400 ms update over 5 s: 0, about 12 intermediate values, -5000.
    EXPECT_GE(steps.size(), 5u);
    EXPECT_LE(steps.size(), 16u);
    for (int32_t v : steps) {
        EXPECT_LE(v, 0);
        EXPECT_GE(v, -5000);
    }
    Wait(1000);
    EXPECT_EQ(fadeEnds, 1);
}

TEST_F(ChannelTest, FadeArgumentsAreCheckedAndOnlyAPlayingChannelFades)
{
    auto& ch = NewChannel();
    ch.SetFileName(NoiseSong("fade2.wav", kRate * 10));
    auto message = [&](uint32_t ms, int32_t volume) {
        try {
            ch.Fade(ms, volume);
        } catch (const Exception& e) {
            return e.Message();
        }
        return std::string();
    };
    EXPECT_EQ(message(1000, 1), "Fade error: EndVolume out of range");
    EXPECT_EQ(message(1000, -10001), "Fade error: EndVolume out of range");
    EXPECT_EQ(message(60001, 0), "Fade error: Too long fade time");
    EXPECT_EQ(message(60000, 0), "");

    int fadeEnds = 0;
    ch.OnFadeEnd = [&](TMxDSMixerChannel*) { ++fadeEnds; };
    ch.Fade(0, -3000); // stopped: nothing
    ch.Pause();        // a stopped channel stays stopped
    EXPECT_EQ(ch.State(), csStopped);
    ch.Fade(0, -3000);
    Wait(1200);
    EXPECT_EQ(ch.Volume(), 0);
    EXPECT_EQ(fadeEnds, 0);

    // Pause freezes a running fade; Play does not resume it.
    ch.Play();
    ch.Fade(4000, -8000);
    Wait(1300);
    ch.Pause();
    const int32_t frozen = ch.Volume();
    EXPECT_LT(frozen, 0);
    EXPECT_GT(frozen, -8000);
    ch.Play();
    Wait(5000);
    EXPECT_EQ(ch.Volume(), frozen);
    EXPECT_EQ(fadeEnds, 0);

    // A fade of 0 ms completes at the next update.
    ch.Fade(0, -2000);
    Wait(1000);
    EXPECT_EQ(ch.Volume(), -2000);
    EXPECT_EQ(fadeEnds, 1);
}

TEST_F(ChannelTest, ControlsAreNotClampedAndARefusalKeepsTheValue)
{
    auto& ch = NewChannel();
    ch.SetFileName(NoiseSong("ctl.wav", kRate * 2));
    ch.SetVolume(-600);
    ch.SetPan(10000);
    ch.Play();
    const auto out = Render(kRate / 5);
    // Pan fully right silences the left side; the right keeps -6 dB of the song.
    double right = 0, songRight = 0;
    for (size_t f = 2205; f < out.size() / 2; ++f) {
        EXPECT_EQ(out[f * 2], 0);
        right += std::abs(out[f * 2 + 1]);
        songRight += std::abs(song[f * 2 + 1]);
    }
    EXPECT_NEAR(right / songRight, std::pow(10.0, -0.3), 0.01);

    EXPECT_THROW(ch.SetVolume(1), EDirectXError);
    EXPECT_EQ(ch.Volume(), 1);
    EXPECT_THROW(ch.SetFrequency(50), EDirectXError);
    EXPECT_EQ(ch.Frequency(), 50u);
    ch.SetFrequency(0); // the song's own rate
    EXPECT_EQ(ch.Frequency(), 0u);
}

TEST_F(ChannelTest, AControlChangedWhileTheChannelIsBusyIsNeverLost)
{
    auto& ch = NewChannel();
    ch.SetFileName(NoiseSong("busy.wav", kRate * 2));
    ch.Play();
    Render(2205);
    // Another thread holds the channels' lock far longer than any refill does.
    std::atomic<bool> held{false};
    std::thread busy([&] {
        HANDLE lock = CreateMutexA(nullptr, 0, "MxDSMCUpd0");
        WaitForSingleObject(lock, INFINITE);
        held = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        ReleaseMutex(lock);
        CloseHandle(lock);
    });
    while (!held)
        std::this_thread::yield();
    ch.SetVolume(-10000);
    ch.SetFrequency(22050);
    busy.join();
    EXPECT_EQ(ch.Frequency(), 22050u);
    const auto out = Render(4410);
    // The ramp's period first, then silence: 10^-5 of the noise rounds to nothing.
    EXPECT_TRUE(std::all_of(out.begin() + 2 * 441, out.end(), [](int16_t v) { return v == 0; }));
}

TEST_F(ChannelTest, TheCueSwitchIsKeptAcrossSongsAndHeardBeforeTheVolume)
{
    // Split headphones: the left side carries the cue, the right side the room.
    engine::Engine::Instance().Headphones().Choose({output::CueTarget::Kind::Split, "", ""});
    auto& ch = NewChannel();
    ch.SetCue(true);
    for (const char* name : {"one.wav", "two.wav"}) {
        ch.SetFileName(NoiseSong(name, kRate));
        ch.SetVolume(-10000);
        ch.Play();
        const auto out = Render(kRate / 5);
        double left = 0;
        long right = 0;
        for (size_t f = 2205; f < out.size() / 2; ++f) {
            left += std::abs(out[f * 2]);
            right += out[f * 2 + 1] != 0;
        }
        EXPECT_GT(left / double(out.size() / 2 - 2205), 1000) << name; // the noise's mean is 2000
        EXPECT_EQ(right, 0) << name;
        ch.Stop();
    }
}

TEST_F(ChannelTest, TwoChannelsAndABusyUiThreadNeitherDeadlockNorGap)
{
    auto& left = NewChannel();
    auto& right = NewChannel();
    const int frames = kRate * 6;
    left.SetFileName(NoiseSong("left.wav", frames, 1));
    const auto leftSong = song;
    right.SetFileName(NoiseSong("right.wav", frames, 2));
    const auto rightSong = song;
    left.SetPan(-10000);
    right.SetPan(10000);
    left.Play();
    right.Play();

    // A second "UI" thread hammers both channels while the mix is rendered.
    std::atomic<bool> done{false};
    std::atomic<long> operations{0};
    std::atomic<int64_t> worstWaitUs{0};
    std::thread ui([&] {
        while (!done) {
            for (auto* ch : {&left, &right}) {
                const auto t0 = std::chrono::steady_clock::now();
                ch->Position();
                ch->SetVolume(0);
                void *p1, *p2;
                uint32_t n1, n2;
                ch->LockPlayData(0, 4410, p1, n1, p2, n2);
                ch->UnlockPlayData();
                const auto us =
                    std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
                        .count();
                worstWaitUs = std::max<int64_t>(worstWaitUs, us);
                ++operations;
            }
        }
    });
    const auto out = Render(frames);
    done = true;
    ui.join();

    // Each side carries one song, whole and in order: pan keeps the near side at full gain.
    size_t leftBad = frames, rightBad = frames;
    for (size_t f = 0; f < static_cast<size_t>(frames); ++f) {
        if (leftBad == static_cast<size_t>(frames) && out[f * 2] != leftSong[f * 2])
            leftBad = f;
        if (rightBad == static_cast<size_t>(frames) && out[f * 2 + 1] != rightSong[f * 2 + 1])
            rightBad = f;
    }
    EXPECT_EQ(leftBad, static_cast<size_t>(frames));
    EXPECT_EQ(rightBad, static_cast<size_t>(frames));
    EXPECT_GT(operations.load(), 100);
    // Skipped operations wait 250 ms at most; none should come near that here.
    EXPECT_LT(worstWaitUs.load(), 250000 + 100000);
}

TEST_F(ChannelTest, DestroyingAnIdleOrPlayingChannelReturnsPromptly)
{
    auto& idle = NewChannel();
    auto& playing = NewChannel();
    playing.SetFileName(NoiseSong("d.wav", kRate * 2));
    playing.Play();
    Render(2205);
    (void)idle;
    const auto t0 = std::chrono::steady_clock::now();
    channels.clear();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_TRUE(mixer->Channels().empty());
}

TEST(PositionTimes, MapsNewestEntryFirstAndFailsOutsideEveryEntry)
{
    TPositionTimes t;
    t.AddPosTime(0, 1000, 0, 10'000'000);         // 1000 bytes = 1 s
    t.AddPosTime(0, 500, 50'000'000, 60'000'000); // newer entry over the same bytes wins
    EXPECT_EQ(t.GetPosTime(250), 5500);
    EXPECT_EQ(t.GetPosTime(750), 750);
    EXPECT_THROW(t.GetPosTime(1000), EAssertionFailed);
    EXPECT_THROW(t.AddPosTime(10, 10, 0, 0), EAssertionFailed);
    EXPECT_THROW(t.AddPosTime(0, 10, 5, 4), EAssertionFailed);
    // Only the 49 newest entries are searched.
    for (int i = 0; i < 49; ++i)
        t.AddPosTime(2000 + i, 2001 + i, 0, 0);
    int32_t ms = 0;
    EXPECT_FALSE(t.TryGetPosTime(750, ms));
}
