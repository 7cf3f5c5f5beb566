#include "tests/decks/DeckFixture.h"

#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

TEST_F(Deck, TheTwoDecksDifferOnlyInTheirControlsAndKnobRange)
{
    auto& l = LeftDeck();
    auto& r = RightDeck();
    EXPECT_EQ(l.Caption(), "Channel(1)");
    EXPECT_EQ(r.Caption(), "Channel(2)");
    EXPECT_EQ(l.KnobSpan(), 128);
    EXPECT_EQ(r.KnobSpan(), 130);
    EXPECT_EQ(mixer->Channels().size(), 2u);
    EXPECT_FALSE(l.Timer1().isActive());
    EXPECT_EQ(l.trackVolume(), -10000);
}

TEST_F(Deck, LoadAndPlaySetsVolumeFromTheKnobAndPutsTheFrequencyKnobAt84)
{
    auto& deck = LeftDeck();
    left.VolumeKnob->move(21, 152); // bottom: -3157
    left.FrequencyKnob->move(45, 140);
    deck.LoadAndPlay(Song("a.wav", 22050, 2, testsupport::SineS16(22050 * 3, 22050, 2, 440)));
    EXPECT_EQ(deck.Channel()->State(), csPlaying);
    EXPECT_EQ(deck.Channel()->Volume(), -3157);
    EXPECT_EQ(left.FrequencyKnob->y(), 84);
    EXPECT_EQ(deck.Channel()->Frequency(), 44100u); // stored, not written: the song plays at its own rate
    EXPECT_TRUE(deck.Timer1().isActive());
    EXPECT_TRUE(deck.pnlControlEnabled());
    EXPECT_EQ(deck.edtFileName(), dir.file("a.wav").string());
    ASSERT_NE(deck.Analysis(), nullptr);
    EXPECT_EQ(deck.Analysis()->FramesPerColumn(), 10u); // 1102 frames per tick at 22050 Hz

    left.VolumeKnob->move(21, 32);
    deck.ApplyVolumeKnob();
    EXPECT_EQ(deck.Channel()->Volume(), 0);
    deck.ApplyFrequencyKnob(); // the knob at 84 now sets an explicit frequency
    EXPECT_EQ(deck.Channel()->Frequency(), (84u - 32u) * 100000u / 120u);
}

TEST_F(Deck, AFailedLoadLeavesTheDeckEmptyAndRaises)
{
    auto& deck = LeftDeck();
    deck.LoadAndPlay(Song("ok.wav", 44100, 2, testsupport::SineS16(44100, 44100, 2, 440)));
    // Less than 1 ms: the channel refuses it.
    testsupport::WriteWavS16(dir.file("tiny.wav"), 44100, 2, std::vector<int16_t>(80, 100));
    try {
        deck.LoadAndPlay(dir.file("tiny.wav").string());
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Audio file is empty.");
    }
    EXPECT_EQ(deck.edtFileName(), "");
    EXPECT_FALSE(deck.pnlControlEnabled());
    EXPECT_EQ(deck.Analysis(), nullptr);
    EXPECT_NE(deck.Channel()->State(), csPlaying);
    QImage image(75, 105, QImage::Format_ARGB32);
    QPainter painter(&image);
    deck.DrawLevels(painter); // tolerated without an analysis
}

TEST_F(Deck, PositionKnobFollowsPlaybackAndDragsSeek)
{
    auto& deck = RightDeck();
    const int rate = 8000;
    deck.LoadAndPlay(Song("long.wav", rate, 1, testsupport::SineS16(rate * 20, rate, 1, 300)));
    EXPECT_EQ(deck.Channel()->Duration(), 20000);
    Render(44100 * 2);
    deck.Timer1Timer();
    const int32_t pos = deck.Channel()->Position();
    EXPECT_GT(pos, 1500);
    EXPECT_EQ(right.PositionKnob->x(), static_cast<int>(pos * 130u / 20000u + 232u));

    // Drag by +65 pixels: half-way, paused there and stopped at the new place; the release plays on.
    anchorX = 5;
    right.PositionKnob->move(232, 172);
    deck.SeekDrag(70);
    EXPECT_EQ(right.PositionKnob->x(), 297);
    EXPECT_EQ(deck.Channel()->State(), csStopped);
    EXPECT_EQ(deck.Channel()->Position(), 65 * 20000 / 130);
    EXPECT_FALSE(deck.Timer1().isActive());
    deck.SeekDragEnd();
    EXPECT_EQ(deck.Channel()->State(), csPlaying);
    EXPECT_TRUE(deck.Timer1().isActive());

    // Past the end of the track: back to the start, seek to 0, and nothing more for this drag.
    deck.SeekDrag(200);
    EXPECT_EQ(right.PositionKnob->x(), 232);
    EXPECT_EQ(deck.Channel()->Position(), 0);
    deck.SeekDrag(40);
    EXPECT_EQ(right.PositionKnob->x(), 232);
    deck.SeekDragEnd();
    EXPECT_EQ(deck.Channel()->State(), csStopped);

    // Press and release on a paused deck without moving resumes it.
    deck.Resume();
    Render(44100);
    deck.buttonPauseClick();
    EXPECT_EQ(deck.Channel()->State(), csPaused);
    deck.SeekDragEnd();
    EXPECT_EQ(deck.Channel()->State(), csPlaying);

    // After Stop a drag does nothing.
    deck.buttonStopClick();
    right.PositionKnob->move(240, 172);
    deck.SeekDrag(50);
    EXPECT_EQ(right.PositionKnob->x(), 240);
}

TEST_F(Deck, NothingLoadedMeansNoDragAndTheVolumeKnobIsClamped)
{
    auto& deck = LeftDeck();
    anchorX = 0;
    deck.SeekDrag(30);
    EXPECT_EQ(left.PositionKnob->x(), 24);
    anchorY = 0;
    deck.VolumeDrag(500);
    EXPECT_EQ(left.VolumeKnob->y(), 152);
    EXPECT_EQ(deck.Channel()->Volume(), -3157);
    deck.VolumeDrag(-500);
    EXPECT_EQ(left.VolumeKnob->y(), 32);
    EXPECT_EQ(deck.Channel()->Volume(), 0);
}

TEST_F(Deck, SongEndStopsTheTimerResetsTheEnvelopeAndRunsTheAdvance)
{
    auto& deck = LeftDeck();
    int advances = 0;
    deck.OnSongEnded = [&] { ++advances; };
    deck.LoadAndPlay(Song("short.wav", 44100, 2, testsupport::NoiseS16(44100, 2)));
    Render(44100 / 2);
    deck.Timer1Timer();
    Render(44100 * 5);
    EXPECT_EQ(advances, 1);
    EXPECT_FALSE(deck.Timer1().isActive());
    ASSERT_NE(deck.Analysis(), nullptr);
    for (uint32_t c = 0; c < deck.Analysis()->Columns(); ++c)
        ASSERT_EQ(deck.Analysis()->MaxValue(c, 0), 128);
}

TEST_F(Deck, LevelsDrawAsThePenWouldDrawEachColumnsLine)
{
    auto& deck = RightDeck();
    deck.LoadAndPlay(Song("noise.wav", 44100, 2, testsupport::NoiseS16(44100, 2, 9, 20000)));
    Render(4410);
    deck.Timer1Timer();
    const TAnalysis& a = *deck.Analysis();
    for (const int width : {1, 2, 3}) {
        QImage fast(75, 105, QImage::Format_RGB32), stroked(75, 105, QImage::Format_RGB32);
        fast.fill(Qt::black);
        stroked.fill(Qt::black);
        const QPen pen(QColor(255, 255, 0), width);
        {
            QPainter painter(&fast);
            painter.setPen(pen);
            deck.DrawLevels(painter);
        }
        {
            QPainter painter(&stroked);
            painter.setPen(pen);
            for (uint32_t c = 0; c < a.Columns(); ++c) {
                const int x = static_cast<int>(c);
                painter.drawLine(x, (255 - a.MaxValue(c, 0)) >> 2, x, (255 - a.MinValue(c, 0)) >> 2);
            }
        }
        EXPECT_EQ(fast, stroked) << "pen width " << width;
    }
    EXPECT_GT(a.MaxValue(3, 0) - a.MinValue(3, 0), 40); // the noise makes tall columns
}

TEST_F(Deck, LevelsOfOneRowDrawNothingNewQuietOrEnded)
{
    auto& deck = RightDeck();
    // A quiet hum: samples 0 to 767 keep the high byte at 0 to 2, display values 128 to 130, all on row 31.
    std::vector<int16_t> hum(44100 * 2);
    for (size_t i = 0; i < hum.size(); ++i)
        hum[i] = static_cast<int16_t>(i * 37 % 768);
    deck.LoadAndPlay(Song("hum.wav", 44100, 2, hum));
    QImage black(75, 105, QImage::Format_RGB32);
    black.fill(Qt::black);
    const auto drawn = [&] {
        QImage image = black;
        QPainter painter(&image);
        painter.setPen(QPen(QColor(255, 255, 0), 2));
        deck.DrawLevels(painter);
        return image;
    };
    EXPECT_TRUE(drawn() == black) << "new: every value 0";
    Render(4410);
    deck.Timer1Timer();
    ASSERT_EQ(deck.Analysis()->MaxValue(0, 0), 130);
    ASSERT_EQ(deck.Analysis()->MinValue(0, 0), 128);
    EXPECT_TRUE(drawn() == black) << "quiet";
    Render(44100 * 5);
    ASSERT_EQ(deck.Analysis()->MaxValue(0, 0), 128);
    EXPECT_TRUE(drawn() == black) << "ended: every value 128";
}

TEST(Analysis, StereoShowsTheRightChannelMonoEightBitAsStoredLowRatesOneFramePerColumn)
{
    engine::Engine::Reset();
    engine::Engine::UseManualBackend();
    MxDSMixerInitialize();
    testsupport::TempDir dir;
    timescale::Scope fast(50);
    TMxDSMixer mixer(nullptr);
    TMxDSMixerChannel ch(&mixer);

    // Left loud noise, right a constant small value: slot 0 is the right channel.
    std::vector<int16_t> s(44100 * 2 * 2);
    auto noise = testsupport::NoiseS16(44100 * 2, 1, 3, 30000);
    for (size_t f = 0; f < noise.size(); ++f) {
        s[f * 2] = noise[f];
        s[f * 2 + 1] = 0x0A00; // high byte 0x0A → display value 0x8A
    }
    testsupport::WriteWavS16(dir.file("st.wav"), 44100, 2, s);
    ch.SetFileName(dir.file("st.wav").string());
    TAnalysis a(&ch, 110, 2205);
    EXPECT_EQ(a.Slots(), 2u);
    EXPECT_EQ(a.FramesPerColumn(), 20u);
    EXPECT_EQ(a.MaxValue(0, 0), 0); // zero after creation
    a.Update();                     // nothing prepared yet: no change
    EXPECT_EQ(a.MaxValue(0, 0), 0);
    ch.Play();
    engine::Engine::PullS16(441);
    a.Update();
    for (uint32_t c = 0; c < 110; ++c) {
        ASSERT_EQ(a.MaxValue(c, 0), 0x8A);
        ASSERT_EQ(a.MinValue(c, 0), 0x8A);
    }
    EXPECT_GT(a.MaxValue(0, 1) - a.MinValue(0, 1), 100); // the noisy left side
    a.Reset();
    EXPECT_EQ(a.MaxValue(5, 1), 128);
    ch.SetFileName("");

    std::vector<uint8_t> u8(8000, 200);
    testsupport::WriteWavBytes(dir.file("u8.wav"), 100, 1, 8, u8); // 100 Hz: 5 frames per tick
    ch.SetFileName(dir.file("u8.wav").string());
    TAnalysis low(&ch, 110, 100 * 50 / 1000);
    EXPECT_EQ(low.Slots(), 1u);
    EXPECT_EQ(low.FramesPerColumn(), 1u);
    ch.Play();
    engine::Engine::PullS16(4410);
    low.Update();
    EXPECT_EQ(low.MaxValue(0, 0), 200); // 8-bit bytes as stored
    EXPECT_EQ(low.MaxValue(4, 0), 200);
    EXPECT_EQ(low.MaxValue(5, 0), 0); // only 5 frames requested: the rest keep their values
}
