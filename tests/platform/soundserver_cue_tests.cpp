// The headphones output against a private sound server with two null sinks, the room ("duodeck_test",
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

// The headphones' level of a tone, in quarter-second slices under a Hann window. The servo that
// follows the room's clock trims the phones' rate: for the first seconds, while it brings a ring
// primed below its target up to it, about 0.12 % slow (2 cents), so 660 Hz sits 0.8 Hz low. A plain
// reading (4 Hz wide) took that for a drop of 0.5 to 1 dB; the window's main lobe, twice as wide,
// loses 0.2 dB to it, and its side lobes keep the other tone out.
double PhonesLevel(const std::vector<int16_t>& stereo, int channel, double hz)
{
    constexpr size_t Slice = Rate / 4;
    double sum = 0;
    int slices = 0;
    for (size_t at = 0; (at + Slice) * 2 <= stereo.size(); at += Slice, ++slices) {
        double re = 0, im = 0, weight = 0;
        for (size_t i = 0; i < Slice; ++i) {
            const double w = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / Slice);
            const double x = w * stereo[2 * (at + i) + channel], phase = 2 * M_PI * hz * double(i) / Rate;
            re += x * std::cos(phase);
            im += x * std::sin(phase);
            weight += w;
        }
        sum += 2 * std::hypot(re, im) / weight;
    }
    return slices ? sum / slices : 0;
}

// The loudest trace of the cue (A) in any two 5 ms blocks in a row of the room's capture, either
// channel: A's amplitude from a least-squares fit of both tones to each block, which keeps B's much
// larger tone out of the reading although 5 ms cannot tell 440 Hz from 660 Hz by their spectra.
// A dropout of the room's own (1 ms or more near silence on a channel, and the monitor's resampler
// ringing 32 samples either side) is left out of the fit, and so is a jump in B's phase (samples
// the server dropped) by the second block: neither is a cue, and either would read as one in the
// block it falls in. A cue that reaches the room plays for a stream's buffer, 40 ms or more.
double LoudestCueBlock(const std::vector<int16_t>& stereo)
{
    constexpr size_t Block = Rate / 200, Dropout = Rate / 1000, Ringing = 32;
    constexpr int Silence = 400;
    const size_t frames = stereo.size() / 2;
    double loudest = 0;
    for (int ch = 0; ch < 2; ++ch) {
        double before = 0; // A in the block before
        std::vector<bool> dropout(frames, false);
        for (size_t i = 0, j; i < frames; i = std::max(j, i + 1)) {
            for (j = i; j < frames && std::abs(stereo[2 * j + ch]) < Silence; ++j) {
            }
            if (j - i >= Dropout)
                std::fill(dropout.begin() + std::max(i, Ringing) - Ringing,
                          dropout.begin() + std::min(j + Ringing, frames), true);
        }
        for (size_t start = 0; start + Block <= frames; start += Block) {
            // Normal equations of y = a sin + b cos (A) + c sin + d cos (B).
            double m[4][5] = {};
            size_t used = 0;
            for (size_t i = start; i < start + Block; ++i) {
                if (dropout[i])
                    continue;
                ++used;
                const double t = double(i) / Rate;
                const double basis[4] = {std::sin(2 * M_PI * AHz * t), std::cos(2 * M_PI * AHz * t),
                                         std::sin(2 * M_PI * BHz * t), std::cos(2 * M_PI * BHz * t)};
                for (int r = 0; r < 4; ++r) {
                    for (int c = 0; c < 4; ++c)
                        m[r][c] += basis[r] * basis[c];
                    m[r][4] += basis[r] * stereo[2 * i + ch];
                }
            }
            if (used < Block / 2) {
                before = 0;
                continue;
            }
            for (int p = 0; p < 4; ++p)
                for (int r = 0; r < 4; ++r)
                    if (r != p) {
                        const double f = m[r][p] / m[p][p];
                        for (int c = p; c < 5; ++c)
                            m[r][c] -= f * m[p][c];
                    }
            const double a = std::hypot(m[0][4] / m[0][0], m[1][4] / m[1][1]);
            loudest = std::max(loudest, std::min(a, before));
            before = a;
        }
    }
    return loudest;
}

class Headphones : public ::testing::Test {
protected:
    explicit Headphones(SoundServer::Kind kind = SoundServer::Kind::PulseAudio) : FKind(kind), FServer(kind) {}

    void SetUp() override
    {
        if (!SoundServer::Installed(FKind))
            GTEST_SKIP() << SoundServer::Name(FKind)
                         << " is not installed here (Debian packages pulseaudio; pipewire, pipewire-pulse, "
                            "wireplumber, dbus): skipped";
        ASSERT_TRUE(FServer.Start()) << FServer.Log();
        ASSERT_TRUE(FServer.AddSink("phones")) << FServer.Log();
        setenv("PULSE_SERVER", FServer.Address().c_str(), 1);
        unsetenv("DUODECK_AUDIO_BACKEND");
        Engine::Reset();
        ASSERT_EQ(DSoundLibrary().DirectSoundCreate(nullptr, FDevice.Put(), nullptr), DS_OK);
        // The crossfader fully to B; A cued, and silent in the room from its first block on.
        WAVEFORMATEX f = dstest::Pcm(44100, 1, 16);
        DSBUFFERDESC d = dstest::Desc(&f, 44100 * 2);
        ASSERT_EQ(FDevice->CreateSoundBuffer(&d, FA.Put(), nullptr), DS_OK);
        const auto a = testsupport::SineS16(44100, 44100, 1, AHz, Level);
        dstest::Write(FA.Get(), 0, a.data(), 44100 * 2);
        ASSERT_EQ(FA->SetVolume(-10000), DS_OK);
        ASSERT_EQ(dstest::Voice(FA.Get()).SetCue(1), DS_OK);
        ASSERT_EQ(FA->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
        FB = LoopingTone(FDevice.Get(), 1, BHz, Level);
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

    SoundServer::Kind FKind;
    SoundServer FServer;
    ComPtr<IDirectSound> FDevice;
    ComPtr<IDirectSoundBuffer> FA, FB;
    std::unique_ptr<output::LoopbackReader> FLoopback;
};

// The same on each server: PulseAudio itself, and PipeWire's pulse service with its session manager.
class HeadphonesOnServers : public Headphones, public ::testing::WithParamInterface<SoundServer::Kind> {
protected:
    HeadphonesOnServers() : Headphones(GetParam()) {}
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
    // Where the sound went missing, should it have.
    const std::string missing = "room underflows " + std::to_string(Engine::Instance().Underflows()) +
                                ", frames the phones' ring ran dry " +
                                std::to_string(Engine::Instance().Headphones().Underruns());
    for (int ch = 0; ch < 2; ++ch) {
        EXPECT_NEAR(Db(ToneLevel(room, 2, ch, Rate, BHz), Level), 0, 1) << ch << "; " << missing;
        EXPECT_LT(Db(ToneLevel(room, 2, ch, Rate, AHz), Level), -40) << ch;
        EXPECT_NEAR(Db(PhonesLevel(phones, ch, AHz), Level), 0, 1) << ch << "; " << missing;
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

// The server must neither move the headphones stream onto the room's sink when its own goes (the
// session manager relinks a stream whose sink went away to the default sink) nor play what it
// still holds there.
TEST_P(HeadphonesOnServers, PhonesThatGoAwayLeaveTheRoomPlayingWithoutAGapOrATraceOfTheCueAndComeBack)
{
    UsePhones();
    testing::internal::CaptureStderr();
    MonitorRecorder monitor(FServer.Address());
    ASSERT_TRUE(monitor.Ok());
    monitor.Record(0.3);
    // The phones sink goes away with its stream.
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
    EXPECT_LT(Db(LoudestCueBlock(room), Level), -40);
    output::CueOutput& cue = Engine::Instance().Headphones();
    EXPECT_FALSE(cue.Playing());
    ASSERT_TRUE(FServer.AddSink("phones"));
    EXPECT_TRUE(WaitFor([&] { return cue.Playing(); }, std::chrono::milliseconds(3000)));
    const auto phones = Monitor("phones");
    EXPECT_NEAR(Db(PhonesLevel(phones, 0, AHz), Level), 0, 1)
        << "frames the phones' ring ran dry " << cue.Underruns() << ", correction " << cue.Correction() << ", slices "
        << [&] {
               std::string levels;
               for (size_t at = 0; at + Rate / 2 <= phones.size(); at += Rate / 2)
                   levels += std::to_string(Db(ToneLevel(std::vector<int16_t>(phones.begin() + at,
                                                                             phones.begin() + at + Rate / 2),
                                                        2, 0, Rate, AHz),
                                               Level)) +
                             " ";
               return levels;
           }();
    const std::string console = testing::internal::GetCapturedStderr();
    EXPECT_NE(console.find("sound server (phones) stopped responding"), std::string::npos) << "[" << console << "]";
    EXPECT_NE(console.find("sound server (phones) is back"), std::string::npos) << "[" << console << "]";
    EXPECT_EQ(console.find("()"), std::string::npos) << "[" << console << "]";
}

// Headphones chosen while the room played elsewhere, on the sink the room now plays on: no cue
// reaches the room, and the console says why once, not at every retry.
TEST_P(HeadphonesOnServers, TheRoomsOwnSinkIsRefusedWithOneLine)
{
    testing::internal::CaptureStderr();
    MonitorRecorder monitor(FServer.Address());
    ASSERT_TRUE(monitor.Ok());
    output::CueOutput& cue = Engine::Instance().Headphones();
    cue.Choose({CueTarget::Kind::Sink, "duodeck_test", "DuoDeckTest"});
    // Past the first retry.
    const auto room = monitor.Record(1.5);
    EXPECT_FALSE(cue.Playing());
    ASSERT_FALSE(room.empty());
    EXPECT_LT(Db(LoudestCueBlock(room), Level), -40);
    const std::string console = testing::internal::GetCapturedStderr();
    size_t lines = 0;
    for (size_t at = 0; (at = console.find("the room plays on this sink", at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_EQ(lines, 1u) << "[" << console << "]";
}

INSTANTIATE_TEST_SUITE_P(Servers, HeadphonesOnServers,
                         ::testing::Values(SoundServer::Kind::PulseAudio, SoundServer::Kind::PipeWire),
                         [](const auto& info) { return std::string(SoundServer::Name(info.param)); });
