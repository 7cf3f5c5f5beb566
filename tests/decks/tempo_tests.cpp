#include "decks/TempoAnalyser.h"

#include <ebur128.h>
#include "tests/decks/BeatPattern.h"
#include "tests/decks/DeckFixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QWidget>
#include <gtest/gtest.h>

#include <filesystem>
#include <numbers>
#include <thread>

namespace {

std::string MonoSong(const testsupport::TempDir& dir, const std::string& name, int rate,
                     const std::vector<int16_t>& mono)
{
    testsupport::WriteWavS16(dir.file(name), rate, 1, mono);
    return dir.file(name).string();
}

// Runs the event loop until `done` or 60 s (the analysis runs at the lowest priority).
template <typename F> bool WaitFor(F done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 60000) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

} // namespace

TEST(Tempo, SteadyKickAndHatPatternsGiveTheirTempoWithinATenthAndAGridOnTheKicks)
{
    testsupport::TempDir dir;
    for (double bpm : {92.0, 120.0, 128.0, 140.0, 174.0}) {
        const TTempo tempo = AnalyseTempoFile(MonoSong(dir, "steady.wav", 44100, beatpattern::KickHat(44100, 30, bpm)));
        ASSERT_EQ(tempo.Sections.size(), 1u) << bpm;
        EXPECT_NEAR(tempo.Sections[0].Bpm, bpm, 0.1);
        // The kicks start at 0.3 s: the grid lies on them (within 10 ms), not on the hats between.
        const double period = 60.0 / bpm;
        const double off = std::remainder(tempo.Sections[0].FirstBeat - 0.3, period);
        EXPECT_NEAR(off, 0.0, 0.010) << bpm;
    }
}

TEST(Tempo, TheWaveformSummaryShowsToneBurstsInTheirBandsAndAtTheirTimes)
{
    // A 0.2 s burst every second: 60 Hz, 1 kHz, 8 kHz in turn.
    testsupport::TempDir dir;
    constexpr int kRate = 44100;
    const double tones[] = {60, 1000, 8000};
    std::vector<int16_t> song(kRate * 6);
    for (int k = 0; k < 6; ++k)
        for (int i = 0; i < kRate / 5; ++i)
            song[size_t(kRate) * k + kRate / 2 + i] =
                static_cast<int16_t>(16000 * std::sin(2 * std::numbers::pi * tones[k % 3] * i / kRate));
    const TTempo tempo = AnalyseTempoFile(MonoSong(dir, "bursts.wav", kRate, song));
    ASSERT_TRUE(tempo.Wave);
    const TWaveSummary& w = *tempo.Wave;
    ASSERT_NEAR(w.Columns(), 6 * TWaveSummary::kColumnsPerSecond, 1);
    const auto column = [&](double t) { return static_cast<size_t>(t / w.ColumnSeconds()); };
    for (int k = 0; k < 6; ++k) {
        const auto band = static_cast<TWaveSummary::Band>(k % 3);
        // Inside the burst its band alone; before it and once it has rung out, nothing.
        for (size_t c = column(k + 0.55); c < column(k + 0.65); ++c)
            for (int b = 0; b < TWaveSummary::Bands; ++b) {
                if (b == band)
                    EXPECT_GT(w.Peak(c, TWaveSummary::Band(b)), 90) << "burst " << k << " column " << c;
                else
                    EXPECT_LT(w.Peak(c, TWaveSummary::Band(b)), 12) << "burst " << k << " band " << b;
            }
        for (double t : {k + 0.45, k + 0.8})
            EXPECT_LT(w.Peak(column(t), band), 12) << "burst " << k << " at " << t << " s";
    }
}

TEST(Tempo, ABrokenBeatKeepsItsTempoNotFiveQuartersOfIt)
{
    testsupport::TempDir dir;
    const TTempo tempo = AnalyseTempoFile(MonoSong(dir, "break.wav", 44100, beatpattern::Break(44100, 40, 100)));
    ASSERT_EQ(tempo.Sections.size(), 1u);
    EXPECT_NEAR(tempo.Sections[0].Bpm, 100, 0.1);
}

TEST(Tempo, ATempoChangeGivesTwoSectionsAndAPadHasNoSteadyBeat)
{
    testsupport::TempDir dir;
    const TTempo change =
        AnalyseTempoFile(MonoSong(dir, "change.wav", 44100, beatpattern::KickHat(44100, 60, 120, 0.3, 128, 30)));
    ASSERT_EQ(change.Sections.size(), 2u);
    EXPECT_NEAR(change.Sections[0].Bpm, 120, 0.1);
    EXPECT_NEAR(change.Sections[1].Bpm, 128, 0.1);
    EXPECT_NEAR(change.Sections[1].Start, 30, 3.0); // the windows step by 5 s
    EXPECT_DOUBLE_EQ(change.At(10).Bpm, change.Sections[0].Bpm);
    EXPECT_DOUBLE_EQ(change.At(50).Bpm, change.Sections[1].Bpm);

    EXPECT_FALSE(AnalyseTempoFile(MonoSong(dir, "pad.wav", 44100, beatpattern::Pad(44100, 30))).Steady());
    EXPECT_FALSE(AnalyseTempoFile(MonoSong(dir, "silence.wav", 44100, std::vector<int16_t>(44100 * 5))).Steady());
}

TEST(Tempo, TheCacheServesASecondLoadAndAChangedFileIsAnalysedAgain)
{
    testsupport::TempDir dir;
    const std::string song = MonoSong(dir, "a.wav", 44100, beatpattern::KickHat(44100, 20, 128));
    {
        TTempoAnalyser first(QByteArray::fromStdString(dir.path().string()));
        EXPECT_FALSE(first.Lookup(song));
        first.Request(song, true);
        ASSERT_TRUE(WaitFor([&] { return first.Lookup(song).has_value(); }));
        EXPECT_EQ(first.Analyses(), 1);
    }
    {
        TTempoAnalyser second(QByteArray::fromStdString(dir.path().string()));
        const auto cached = second.Lookup(song);
        ASSERT_TRUE(cached);
        EXPECT_NEAR(cached->Sections.at(0).Bpm, 128, 0.1);
        second.Request(song, false);
        ASSERT_TRUE(WaitFor([&] { return second.Idle(); }));
        EXPECT_EQ(second.Analyses(), 0);

        MonoSong(dir, "a.wav", 44100, beatpattern::KickHat(44100, 21, 100));
        EXPECT_FALSE(second.Lookup(song));
        second.Request(song, false);
        ASSERT_TRUE(WaitFor([&] { return second.Lookup(song).has_value(); }));
        EXPECT_NEAR(second.Lookup(song)->Sections.at(0).Bpm, 100, 0.1);
        EXPECT_EQ(second.Analyses(), 1);
    }
    // A damaged cache is no cache: the song is analysed again.
    testsupport::WriteBytes(dir.file(TTempoAnalyser::CacheFile), {'x', '\n', '1'});
    TTempoAnalyser third(QByteArray::fromStdString(dir.path().string()));
    EXPECT_FALSE(third.Lookup(song));
}

namespace {

// Both decks find their songs' tempos through one analyser and know each other.
class DeckTempo : public Deck {
protected:
    void SetUp() override
    {
        Deck::SetUp();
        analyser = std::make_unique<TTempoAnalyser>(QByteArray::fromStdString(dir.path().string()));
        leftDeck = &LeftDeck();
        rightDeck = &RightDeck();
        for (TDeckController* deck : {leftDeck, rightDeck})
            deck->SetTempoSource(analyser.get());
        leftDeck->SetOtherDeck(rightDeck);
        rightDeck->SetOtherDeck(leftDeck);
    }
    void TearDown() override
    {
        decks.clear();
        analyser.reset();
        Deck::TearDown();
    }
    // Loads and plays the song and waits for its tempo; the tests tick the deck themselves.
    void Load(TDeckController& deck, const std::string& path)
    {
        deck.LoadAndPlay(path);
        deck.Timer1().stop();
        ASSERT_TRUE(WaitFor([&] { return deck.Tempo().has_value(); }));
    }
    // Renders 50 ms (one deck tick) at a time, keeping the stereo output, then ticks both decks.
    void Play(double seconds, std::vector<int16_t>* out = nullptr)
    {
        for (int done = 0; done < seconds * 44100; done += 2205) {
            const std::vector<int16_t> block = engine::Engine::PullS16(2205);
            if (out)
                out->insert(out->end(), block.begin(), block.end());
            std::this_thread::sleep_for(std::chrono::microseconds(1500));
            ProcessMessages();
            leftDeck->Timer1Timer();
            rightDeck->Timer1Timer();
        }
    }

    std::unique_ptr<TTempoAnalyser> analyser;
    TDeckController* leftDeck = nullptr;
    TDeckController* rightDeck = nullptr;
};

// Times (s) where one side of the output rises past half scale after 150 ms below it: the kicks.
std::vector<double> Kicks(const std::vector<int16_t>& stereo, int side)
{
    std::vector<double> at;
    size_t quiet = 0;
    for (size_t i = side; i < stereo.size(); i += 2) {
        if (std::abs(stereo[i]) > 16000) {
            if (quiet > 44100 * 15 / 100)
                at.push_back(double(i / 2) / 44100);
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    return at;
}

double MeanPeriod(const std::vector<double>& t)
{
    return (t.back() - t.front()) / double(t.size() - 1);
}

} // namespace

TEST_F(DeckTempo, SyncBringsA126DeckToTheTempoAndTheBeatsOfA120Deck)
{
    Load(*leftDeck, Song("120.wav", 44100, 1, beatpattern::KickHat(44100, 40, 120, 0.3)));
    Load(*rightDeck, Song("126.wav", 44100, 1, beatpattern::KickHat(44100, 40, 126, 0.1)));
    EXPECT_EQ(leftDeck->TempoText(), "120.0  +0.0 %");
    EXPECT_EQ(rightDeck->TempoText(), "126.0  +0.0 %");
    // Each deck on its own side of the output.
    leftDeck->Channel()->SetPan(-10000);
    rightDeck->Channel()->SetPan(10000);
    Play(1.0);

    ASSERT_TRUE(rightDeck->Sync());
    const uint32_t hz = rightDeck->SetHz();
    EXPECT_NEAR(hz, 42000, 3); // 44100 * 120 / 126, in whole Hz rather than knob pixels of 833 Hz
    EXPECT_NEAR(*rightDeck->PlayingBpm(), *leftDeck->PlayingBpm(), 0.05);
    EXPECT_EQ(rightDeck->TempoText(), "120.0  -4.8 %");
    EXPECT_EQ(right.FrequencyKnob->y(), 82); // the knob's nearest place
    for (int tick = 0; rightDeck->Aligning() && tick < 200; ++tick)
        Play(0.05);
    EXPECT_FALSE(rightDeck->Aligning());
    EXPECT_EQ(rightDeck->Channel()->Frequency(), hz);

    std::vector<int16_t> out;
    Play(8.0, &out);
    const auto a = Kicks(out, 0), b = Kicks(out, 1);
    ASSERT_GE(a.size(), 15u);
    ASSERT_GE(b.size(), 15u);
    EXPECT_NEAR(MeanPeriod(b) / MeanPeriod(a), 1.0, 0.001);
    for (double t : b) {
        double nearest = 1;
        for (double u : a)
            nearest = std::min(nearest, std::abs(t - u));
        EXPECT_LT(nearest, 0.010) << "kick of the synced deck at " << t << " s";
    }
}

TEST_F(DeckTempo, FineStepsAndTheNudgeLeaveTheKnobArithmeticToTheKnob)
{
    Load(*leftDeck, Song("120.wav", 44100, 1, beatpattern::KickHat(44100, 20, 120)));
    ASSERT_TRUE(leftDeck->StepTempo(TDeckController::kFineStep));
    EXPECT_EQ(leftDeck->Channel()->Frequency(), 44144u); // 44100 + 44.1, not a knob pixel of 833 Hz
    EXPECT_EQ(leftDeck->TempoText(), "120.1  +0.1 %");
    ASSERT_TRUE(leftDeck->StepTempo(-TDeckController::kStep));
    EXPECT_EQ(leftDeck->Channel()->Frequency(), 43703u);
    EXPECT_EQ(leftDeck->TempoText(), "118.9  -0.9 %");
    EXPECT_EQ(left.FrequencyKnob->y(), 84); // the nearest place of 43703 Hz: 52.4 pixels below the top

    leftDeck->Nudge(+1, TDeckController::kNudge);
    EXPECT_EQ(leftDeck->Channel()->Frequency(), 45451u);
    EXPECT_EQ(leftDeck->TempoText(), "118.9  -0.9 %"); // the set speed; the nudge passes
    leftDeck->Nudge(0, 0);
    EXPECT_EQ(leftDeck->Channel()->Frequency(), 43703u);

    // The knob's own drag: its pixel value, as always.
    leftDeck->ApplyFrequencyKnob();
    EXPECT_EQ(leftDeck->Channel()->Frequency(), (84u - 32u) * 100000u / 120u);
    EXPECT_EQ(leftDeck->TempoText(), "117.9  -1.7 %");
}

TEST_F(DeckTempo, SyncBeyondTheKnobSetsNothingAndSaysWhy)
{
    Load(*leftDeck, Song("126.wav", 44100, 1, beatpattern::KickHat(44100, 20, 126)));
    // A 96 kHz song at 120 BPM would need 100800 Hz.
    Load(*rightDeck, Song("hires.wav", 96000, 1, beatpattern::KickHat(96000, 20, 120)));
    EXPECT_FALSE(rightDeck->Sync());
    EXPECT_EQ(rightDeck->SetHz(), 96000u);
    EXPECT_EQ(rightDeck->Channel()->Frequency(), 44100u); // untouched since the load
    EXPECT_EQ(right.TempoDisplay->text(), "out of range");
    EXPECT_TRUE(right.TempoDisplay->toolTip().contains("100000 Hz")) << right.TempoDisplay->toolTip().toStdString();
}

TEST_F(DeckTempo, TwoSongsTenLuApartPlayAtOneLoudness)
{
    // Noise 10 dB apart, one song on each deck, panned apart: each side measured as it plays.
    Load(*leftDeck, Song("loud.wav", 44100, 2, testsupport::NoiseS16(44100 * 6, 2, 1, 9000)));
    Load(*rightDeck, Song("quiet.wav", 44100, 2, testsupport::NoiseS16(44100 * 6, 2, 2, 9000 / std::sqrt(10.0))));
    ASSERT_TRUE(leftDeck->Tempo()->Loudness && rightDeck->Tempo()->Loudness);
    EXPECT_NEAR(leftDeck->Tempo()->Loudness->Lufs - rightDeck->Tempo()->Loudness->Lufs, 10, 0.5);
    leftDeck->Channel()->SetPan(-10000);
    rightDeck->Channel()->SetPan(10000);
    std::vector<int16_t> out;
    Play(3, &out);
    const auto lufs = [&](int side) {
        std::vector<int16_t> mono;
        for (size_t i = 44100 * 2 + side; i < out.size(); i += 2) // after the gains' ramps
            mono.push_back(out[i]);
        ebur128_state* meter = ebur128_init(1, 44100, EBUR128_MODE_I);
        ebur128_add_frames_short(meter, mono.data(), mono.size());
        double l = 0;
        ebur128_loudness_global(meter, &l);
        ebur128_destroy(&meter);
        return l;
    };
    EXPECT_NEAR(lufs(0), lufs(1), 1.0);
}

TEST_F(DeckTempo, ABeatLoopSetJustAfterABeatStartsOnTheNextBeatAndIsFourBeatsOfTheGrid)
{
    Load(*leftDeck, Song("120.wav", 44100, 1, beatpattern::KickHat(44100, 20, 120, 0.3)));
    leftDeck->buttonStopClick();
    ASSERT_TRUE(leftDeck->Tempo()->Steady());
    const TTempoSection& grid = leftDeck->Tempo()->At(5);
    // 40 ms after the kick at 4.8 s.
    leftDeck->Channel()->JumpTo(std::llround((4.8 + 0.040) * 44100));
    leftDeck->BeatLoop(4);
    ASSERT_TRUE(leftDeck->Looping());
    const double start = leftDeck->Channel()->LoopStart() / 44100.0;
    EXPECT_NEAR(start, 5.3, 0.005);
    EXPECT_NEAR(std::remainder(start - grid.FirstBeat, grid.Period()), 0, 1.0 / 44100);
    EXPECT_NEAR(double(leftDeck->Channel()->LoopEnd() - leftDeck->Channel()->LoopStart()), 4 * grid.Period() * 44100,
                1.0);
}
