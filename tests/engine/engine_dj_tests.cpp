// The DJ's mixer in the engine: the isolator's bands and kills, and the master limiter.
#include "engine/Limiter.h"
#include "tests/engine/engine_helpers.h"
#include "tests/support/Fixtures.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>

using namespace dstest;
using engine::Engine;
using engine::VoiceControls;
using testsupport::SineS16;
using testsupport::ToneLevel;

namespace {

class DjMixer : public ManualDevice {
protected:
    // A looping tone on a buffer attached to FControls, returned with its level through the engine
    // after the settings (and one period for their ramp).
    double LevelThrough(double hz)
    {
        auto b = Playing(SineS16(44100, 44100, 2, hz, 10000), 44100, 2);
        EXPECT_EQ(engine::Attach(b.Get(), FControls), DS_OK);
        Engine::PullS16(4410); // the ramp and the filters' settling
        return ToneLevel(Engine::PullS16(22050), 2, 0, 44100, hz) / 10000;
    }

    std::shared_ptr<VoiceControls> FControls = std::make_shared<VoiceControls>();
};

double Db(double level)
{
    return 20 * std::log10(level);
}

} // namespace

TEST_F(DjMixer, EachKillCutsItsBandAndTheBandsSumFlat)
{
    struct Case {
        VoiceControls::Band Band;
        double Hz;
    };
    for (const Case c :
         {Case{VoiceControls::Low, 50}, Case{VoiceControls::Mid, 1000}, Case{VoiceControls::High, 10000}}) {
        FControls->SetKill(c.Band, true);
        EXPECT_LT(Db(LevelThrough(c.Hz)), -60) << c.Hz << " Hz";
        FControls->SetKill(c.Band, false);
    }
    // Every band at -6 dB: the filters run and their sum is -6 dB flat, crossovers included.
    for (auto band : {VoiceControls::Low, VoiceControls::Mid, VoiceControls::High})
        ASSERT_EQ(FControls->SetBand(band, 0.5f), DS_OK);
    for (double hz : {50.0, 250.0, 1000.0, 2500.0, 10000.0})
        EXPECT_NEAR(Db(LevelThrough(hz)), Db(0.5), 0.5) << hz << " Hz";
    EXPECT_EQ(FControls->SetBand(VoiceControls::Low, 2.5f), DSERR_INVALIDPARAM);
}

TEST_F(DjMixer, AKillSwitchedOnASteadyToneNeverSteps)
{
    auto b = Playing(SineS16(44100, 44100, 2, 100, 10000), 44100, 2);
    ASSERT_EQ(engine::Attach(b.Get(), FControls), DS_OK);
    std::vector<int16_t> out;
    for (int i = 0; i < 10; ++i) {
        FControls->SetKill(VoiceControls::Low, i % 2 == 0);
        const auto part = Engine::PullS16(2205);
        out.insert(out.end(), part.begin(), part.end());
    }
    // The tone's own largest step between frames: 2 pi 100 / 44100 of its amplitude.
    const double own = 10000 * 2 * std::numbers::pi * 100 / 44100;
    double worst = 0;
    for (size_t f = 1; f < out.size() / 2; ++f)
        worst = std::max(worst, std::abs(double(out[f * 2]) - out[(f - 1) * 2]));
    EXPECT_LE(worst, own * 1.05);
}

TEST_F(DjMixer, TheLimiterHoldsTwoLoudSongsUnderTheCeilingAndPassesAQuietOneUntouched)
{
    Engine::Instance().SetLimiter(true);
    auto a = Playing(testsupport::NoiseS16(44100, 2, 1, 30000), 44100, 2);
    auto b = Playing(SineS16(44100, 44100, 2, 997, 30000), 44100, 2);
    const auto loud = Engine::PullS16(44100 * 3);
    const int16_t ceiling = static_cast<int16_t>(32768 * std::pow(10.0, engine::Limiter::CeilingDb / 20));
    EXPECT_LE(
        *std::max_element(loud.begin(), loud.end(), [](int16_t x, int16_t y) { return std::abs(x) < std::abs(y); }),
        ceiling);
    ebur128_state* meter = ebur128_init(2, 44100, EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_short(meter, loud.data(), loud.size() / 2);
    double peak = 0;
    for (unsigned c = 0; c < 2; ++c) {
        double p = 0;
        ebur128_true_peak(meter, c, &p);
        peak = std::max(peak, p);
    }
    ebur128_destroy(&meter);
    EXPECT_LE(Db(peak), -0.1);

    // Alone, a quiet song comes out as it went in, the look-ahead later.
    a.Reset();
    b.Reset();
    Engine::PullS16(44100); // the limiter lets go of the loud songs (80 ms releases)
    const auto song = testsupport::NoiseS16(44100, 2, 2, 8000);
    auto quiet = Playing(song, 44100, 2);
    const auto out = Engine::PullS16(4410);
    engine::Limiter limiter;
    float frame[2] = {};
    limiter.Process(frame, 1, 2, 44100);
    const uint32_t delay = limiter.Delay();
    EXPECT_LT(delay, 44100 * 15 / 10000u); // under 1.5 ms
    EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 2 * delay, [](int16_t v) { return v == 0; }));
    EXPECT_TRUE(std::equal(out.begin() + 2 * delay, out.end(), song.begin()));
}
