// The headphones output against a private PulseAudio with two null sinks, the room ("duodeck_test",
// the default) and "phones": deck A 440 Hz cued and faded out of the room, deck B 660 Hz in it.
#include "platform/output/Loopback.h"
#include "platform/output/CueOutput.h"
#include "tests/engine/engine_helpers.h"
#include "tests/support/Fixtures.h"
#include "tests/support/SoundServer.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace dstest;
using engine::Engine;
using output::CueTarget;
using testsupport::MonitorRecorder;
using testsupport::SoundServer;
using testsupport::ToneLevel;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Rate = 44100;
constexpr double AHz = 440, BHz = 660, Level = 8000;

double Db(double level, double reference)
{
    return 20 * std::log10(std::max(level, 1e-3) / reference);
}

// The headphones' level of a tone, in quarter-second slices (4 Hz wide): the rate trim may move a
// tone by a fraction of a hertz, which a one-second reading (1 Hz wide) would take for a drop.
double PhonesLevel(const std::vector<int16_t>& stereo, int channel, double hz)
{
    constexpr size_t Slice = Rate / 4 * 2;
    double sum = 0;
    int slices = 0;
    for (size_t at = 0; at + Slice <= stereo.size(); at += Slice, ++slices)
        sum += ToneLevel(std::vector<int16_t>(stereo.begin() + at, stereo.begin() + at + Slice), 2, channel, Rate, hz);
    return slices ? sum / slices : 0;
}

class Headphones : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!SoundServer::Installed(SoundServer::Kind::PulseAudio))
            GTEST_SKIP() << "PulseAudio is not installed here (Debian package pulseaudio): skipped";
        ASSERT_TRUE(FServer.Start()) << FServer.Log();
        ASSERT_TRUE(FServer.AddSink("phones")) << FServer.Log();
        setenv("PULSE_SERVER", FServer.Address().c_str(), 1);
        unsetenv("DUODECK_AUDIO_BACKEND");
        Engine::Reset();
        ASSERT_EQ(DSoundLibrary().DirectSoundCreate(nullptr, FDevice.Put(), nullptr), DS_OK);
        FA = LoopingTone(FDevice.Get(), 1, AHz, Level);
        FB = LoopingTone(FDevice.Get(), 1, BHz, Level);
        // The crossfader fully to B; A cued.
        ASSERT_EQ(FA->SetVolume(-10000), DS_OK);
        ASSERT_EQ(dstest::Voice(FA.Get()).SetCue(1), DS_OK);
        FLoopback = output::Loopback::Instance().Open();
    }
    void TearDown() override
    {
        FLoopback.reset();
        FA.Reset();
        FB.Reset();
        FDevice.Reset();
        Engine::Reset();
        unsetenv("PULSE_SERVER");
    }

    static void UsePhones()
    {
        output::CueOutput& cue = Engine::Instance().Headphones();
        cue.Choose({CueTarget::Kind::Sink, "phones", "phones"});
        cue.SetBlend(0);
        cue.SetLevel(1);
        ASSERT_TRUE(WaitFor([&] { return cue.Playing(); }, std::chrono::milliseconds(3000)));
    }

    // One second of a sink's monitor, after the last change has settled.
    std::vector<int16_t> Monitor(const std::string& sink)
    {
        MonitorRecorder monitor(FServer.Address(), sink);
        EXPECT_TRUE(monitor.Ok());
        monitor.Record(0.3);
        return monitor.Record(1);
    }

    // What the recording took since the last call.
    std::vector<int16_t> Recorded()
    {
        std::vector<int16_t> out(FLoopback->Available() * 2);
        out.resize(FLoopback->Read(out.data(), out.size() / 2) * 2);
        return out;
    }

    SoundServer FServer;
    ComPtr<IDirectSound> FDevice;
    ComPtr<IDirectSoundBuffer> FA, FB;
    std::unique_ptr<output::LoopbackReader> FLoopback;
};

} // namespace

TEST_F(Headphones, TheCuedDeckIsHeardInThePhonesAtItsOwnLevelAndTheRoomAndRecordingHoldOnlyTheRoom)
{
    UsePhones();
    Recorded();
    const auto room = Monitor("duodeck_test");
    const auto phones = Monitor("phones");
    const auto recording = Recorded();
    ASSERT_FALSE(room.empty());
    ASSERT_FALSE(phones.empty());
    ASSERT_GT(recording.size(), size_t(Rate));
    for (int ch = 0; ch < 2; ++ch) {
        EXPECT_NEAR(Db(ToneLevel(room, 2, ch, Rate, BHz), Level), 0, 1) << ch;
        EXPECT_LT(Db(ToneLevel(room, 2, ch, Rate, AHz), Level), -40) << ch;
        EXPECT_NEAR(Db(PhonesLevel(phones, ch, AHz), Level), 0, 1) << ch;
        EXPECT_LT(Db(PhonesLevel(phones, ch, BHz), Level), -40) << ch;
        EXPECT_NEAR(Db(ToneLevel(recording, 2, ch, Rate, BHz), Level), 0, 1) << ch;
        EXPECT_LT(Db(ToneLevel(recording, 2, ch, Rate, AHz), Level), -40) << ch;
    }

    // Halfway between cue and room: both, each at half.
    Engine::Instance().Headphones().SetBlend(0.5f);
    const auto both = Monitor("phones");
    EXPECT_NEAR(Db(PhonesLevel(both, 0, AHz), Level / 2), 0, 1);
    EXPECT_NEAR(Db(PhonesLevel(both, 0, BHz), Level / 2), 0, 1);
}

TEST_F(Headphones, SplitPutsTheCueOnTheLeftAndTheRoomOnTheRightButRecordsTheRoom)
{
    Engine::Instance().Headphones().Choose({CueTarget::Kind::Split, "", ""});
    Engine::Instance().Headphones().SetBlend(0);
    Recorded();
    const auto room = Monitor("duodeck_test");
    const auto recording = Recorded();
    EXPECT_NEAR(Db(ToneLevel(room, 2, 0, Rate, AHz), Level), 0, 1);
    EXPECT_LT(Db(ToneLevel(room, 2, 0, Rate, BHz), Level), -40);
    EXPECT_NEAR(Db(ToneLevel(room, 2, 1, Rate, BHz), Level), 0, 1);
    EXPECT_LT(Db(ToneLevel(room, 2, 1, Rate, AHz), Level), -40);
    EXPECT_NEAR(Db(ToneLevel(recording, 2, 0, Rate, BHz), Level), 0, 1);
    EXPECT_LT(Db(ToneLevel(recording, 2, 0, Rate, AHz), Level), -40);
}

TEST_F(Headphones, PhonesThatGoAwayLeaveTheRoomPlayingWithoutAGapAndComeBack)
{
    UsePhones();
    testing::internal::CaptureStderr();
    MonitorRecorder monitor(FServer.Address());
    ASSERT_TRUE(monitor.Ok());
    monitor.Record(0.3);
    // Every stream on the phones sink (ours is the only one).
    // The phones sink goes away with its stream (no module of this server rescues streams).
    std::thread killer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::system("pactl unload-module $(pactl list short modules | grep sink_name=phones | cut -f1)");
    });
    const auto room = monitor.Record(2);
    killer.join();
    ASSERT_FALSE(room.empty());
    long quiet = 0;
    for (size_t start = 0; start + 882 <= room.size(); start += 882) {
        double sum = 0;
        for (size_t i = start; i < start + 882; i += 2)
            sum += double(room[i]) * room[i];
        quiet += std::sqrt(sum / 441) < Level / 2 / std::sqrt(2.0);
    }
    EXPECT_EQ(quiet, 0);
    output::CueOutput& cue = Engine::Instance().Headphones();
    EXPECT_FALSE(cue.Playing());
    ASSERT_TRUE(FServer.AddSink("phones"));
    EXPECT_TRUE(WaitFor([&] { return cue.Playing(); }, std::chrono::milliseconds(3000)));
    const auto phones = Monitor("phones");
    EXPECT_NEAR(Db(PhonesLevel(phones, 0, AHz), Level), 0, 1);
    const std::string console = testing::internal::GetCapturedStderr();
    EXPECT_NE(console.find("stopped responding"), std::string::npos) << "[" << console << "]";
}
