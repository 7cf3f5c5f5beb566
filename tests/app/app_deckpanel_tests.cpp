// The deck panel: knobs dragged with the mouse, the crossfader's table, the loop buttons; the mixer
// strip's knobs, kills and limiter light.
#include "app/MixerStrip.h"
#include "app/Unit1.h"
#include "tests/app/Gestures.h"
#include "decks/unitChannel.h"
#include "decks/unitChannel2.h"
#include "mixer/MxDSMixer.h"
#include "engine/Engine.h"
#include "tests/support/Fixtures.h"
#include "widgets/ImgBtn.h"

#include <QCoreApplication>
#include <QLabel>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTest>
#include <QWheelEvent>

#include <gtest/gtest.h>

namespace {

// Presses at `from` inside the knob, moves by `delta` (window pixels), releases.
void Drag(QWidget* knob, QPoint from, QPoint delta)
{
    Mouse(knob, QEvent::MouseButtonPress, from);
    Mouse(knob, QEvent::MouseMove, from + delta); // the knob has not moved yet: knob coordinates
    Mouse(knob, QEvent::MouseButtonRelease, from);
}

class DeckPanel : public ::testing::Test {
protected:
    void SetUp() override
    {
        engine::Engine::Reset();
        engine::Engine::UseManualBackend();
        form = std::make_unique<TFormMain>(QByteArray::fromStdString(dir.path().string()));
    }
    void TearDown() override
    {
        form.reset();
        engine::Engine::Reset();
    }
    testsupport::TempDir dir;
    std::unique_ptr<TFormMain> form;
};

} // namespace

TEST_F(DeckPanel, TheDjCurvesSilenceTheFarDeckAndTheChoiceIsKept)
{
    const auto shares = [&] {
        return std::pair(FormChannel->Channel()->Voice().Fader(), FormChannel2->Channel()->Voice().Fader());
    };
    const auto to = [&](int left) { Drag(form->ImgVolumeBoth, {4, 10}, {left - form->ImgVolumeBoth->x(), 0}); };
    EXPECT_EQ(form->MixSettings().Crossfader, "power"); // the default
    to(235);
    EXPECT_EQ(shares(), std::pair(0.0f, 1.0f));
    to(192);
    EXPECT_NEAR(shares().first, std::sqrt(0.5), 1e-6);
    EXPECT_NEAR(shares().second, std::sqrt(0.5), 1e-6);
    EXPECT_EQ(form->ImgVolumeLeft->y(), 32); // the volume knobs stay where they are
    form->SetMixSettings({"cut", false, true});
    EXPECT_EQ(shares(), std::pair(1.0f, 1.0f));
    to(156);
    EXPECT_EQ(shares(), std::pair(1.0f, 0.0f));
    form->SetMixSettings({"original", false, true});
    EXPECT_EQ(shares(), std::pair(1.0f, 1.0f));
    EXPECT_FALSE(TDeckController::AutoGain());

    // The next start finds the choice; a damaged value means its default.
    form.reset();
    form = std::make_unique<TFormMain>(QByteArray::fromStdString(dir.path().string()));
    EXPECT_EQ(form->MixSettings(), (TMixSettings{"original", false, true}));
    testsupport::WriteBytes(dir.file("Settings.ini"), {'[', 'M', 'i', 'x', 'e', 'r', ']', '\n', 'A', 'u', 't', 'o', 'G',
                                                       'a', 'i', 'n', '=', '2', '\n'});
    form.reset();
    form = std::make_unique<TFormMain>(QByteArray::fromStdString(dir.path().string()));
    EXPECT_EQ(form->MixSettings(), TMixSettings{});
}

TEST_F(DeckPanel, CrossfaderOverridesBothVolumeKnobs)
{
    form->SetMixSettings({"original", true, true});
    struct Row {
        int left, leftTop, leftVolume, rightTop, rightVolume;
    };
    // Crossfader Left, then each deck's knob Top and volume.
    const Row table[] = {
        {156, 32, 0, 136, -2736}, {191, 32, 0, 66, -894}, {192, 64, -842, 32, 0}, {235, 150, -3105, 32, 0}};
    for (const Row& r : table) {
        Drag(form->ImgVolumeBoth, {4, 10}, {r.left - form->ImgVolumeBoth->x(), 0});
        EXPECT_EQ(form->ImgVolumeBoth->x(), r.left);
        EXPECT_EQ(form->ImgVolumeLeft->y(), r.leftTop);
        EXPECT_EQ(FormChannel->Channel()->Volume(), r.leftVolume);
        EXPECT_EQ(form->ImgVolumeRight->y(), r.rightTop);
        EXPECT_EQ(FormChannel2->Channel()->Volume(), r.rightVolume);
    }
    // Clamped to its track.
    Drag(form->ImgVolumeBoth, {4, 10}, {-500, 0});
    EXPECT_EQ(form->ImgVolumeBoth->x(), 156);
    Drag(form->ImgVolumeBoth, {4, 10}, {500, 0});
    EXPECT_EQ(form->ImgVolumeBoth->x(), 235);
}

TEST_F(DeckPanel, VolumeAndFrequencyKnobsStayOnTheirTracks)
{
    Drag(form->ImgVolumeLeft, {7, 5}, {0, 500});
    EXPECT_EQ(form->ImgVolumeLeft->y(), 152);
    EXPECT_EQ(FormChannel->Channel()->Volume(), -3157);
    Drag(form->ImgVolumeLeft, {7, 5}, {0, -500});
    EXPECT_EQ(form->ImgVolumeLeft->y(), 32);
    EXPECT_EQ(FormChannel->Channel()->Volume(), 0);
    Drag(form->ImgVolumeRight, {7, 5}, {0, 32});
    EXPECT_EQ(form->ImgVolumeRight->y(), 64);
    EXPECT_EQ(FormChannel2->Channel()->Volume(), -842);

    Drag(form->ImgFrequenceRight, {7, 5}, {0, 500});
    EXPECT_EQ(form->ImgFrequenceRight->y(), 152);
    EXPECT_EQ(FormChannel2->Channel()->Frequency(), 100000u);
    Drag(form->ImgFrequenceLeft, {7, 5}, {0, -500});
    EXPECT_EQ(form->ImgFrequenceLeft->y(), 32);
    EXPECT_EQ(FormChannel->Channel()->Frequency(), 0u); // the song's own rate

    // A move without a press does nothing.
    Mouse(form->ImgVolumeLeft, QEvent::MouseMove, {7, 60});
    EXPECT_EQ(form->ImgVolumeLeft->y(), 32);
    // Position knobs of stopped decks do not move.
    Drag(form->ImgJinduLeft, {3, 5}, {60, 0});
    EXPECT_EQ(form->ImgJinduLeft->x(), 24);
}

TEST_F(DeckPanel, LoopButtonsToggleTheFlagAndTheLook)
{
    const QImage off = form->ImgBtn1->Picture().toImage();
    const QImage on = form->ImgBtn1->PicUp().toImage();
    form->BtnLoopLeft->OnClick(form->BtnLoopLeft);
    EXPECT_TRUE(LeftLoop);
    EXPECT_FALSE(RightLoop);
    EXPECT_EQ(form->BtnLoopLeft->Picture().toImage(), on);
    EXPECT_EQ(form->BtnLoopLeft->Pic().toImage(), on);
    EXPECT_EQ(form->BtnLoopLeft->PicUp().toImage(), on); // its design hover look stays
    form->BtnLoopLeft->OnClick(form->BtnLoopLeft);
    EXPECT_FALSE(LeftLoop);
    EXPECT_EQ(form->BtnLoopLeft->Picture().toImage(), off);
    form->BtnLoopRight->OnClick(form->BtnLoopRight);
    EXPECT_TRUE(RightLoop);
}

TEST_F(DeckPanel, TheWheelOverAFrequencyKnobAndTheTempoKeysReachTheirDeck)
{
    testsupport::WriteWavS16(dir.file("a.wav"), 44100, 2, testsupport::SineS16(44100 * 2, 44100, 2, 440));
    FormChannel->LoadAndPlay(dir.file("a.wav").string());
    const auto wheel = [&](QWidget* knob, int degrees8, Qt::KeyboardModifiers modifiers) {
        QWheelEvent e(QPointF(7, 5), knob->mapToGlobal(QPointF(7, 5)), {}, QPoint(0, degrees8), Qt::NoButton, modifiers,
                      Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(knob, &e);
    };
    const auto key = [&](QEvent::Type type, int k, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QKeyEvent e(type, k, modifiers);
        QCoreApplication::sendEvent(form.get(), &e);
    };
    wheel(form->ImgFrequenceLeft, -120, Qt::NoModifier); // a notch down: 1 % faster
    EXPECT_EQ(FormChannel->Channel()->Frequency(), 44541u);
    wheel(form->ImgFrequenceLeft, 120, Qt::ShiftModifier); // a fine notch up: 0.1 % slower
    EXPECT_EQ(FormChannel->Channel()->Frequency(), 44497u);
    key(QEvent::KeyPress, Qt::Key_W);
    EXPECT_EQ(FormChannel->Channel()->Frequency(), 44938u);
    key(QEvent::KeyPress, Qt::Key_S); // nudge faster while held: 4 % over 101.9 % of 44100 Hz
    EXPECT_EQ(FormChannel->Channel()->Frequency(), 46735u);
    QEvent leave(QEvent::WindowDeactivate); // the window loses the keyboard before the release
    QCoreApplication::sendEvent(form.get(), &leave);
    EXPECT_EQ(FormChannel->Channel()->Frequency(), 44938u);
    key(QEvent::KeyRelease, Qt::Key_S);
    EXPECT_EQ(FormChannel->Channel()->Frequency(), 44938u);
    EXPECT_EQ(FormChannel2->Channel()->Frequency(), 44100u); // the other deck is left alone

    // Sync of the empty right deck says why on its readout, by key and by button alike.
    key(QEvent::KeyPress, Qt::Key_M);
    EXPECT_EQ(form->LabelTempoRight->text(), "no song");
    form->LabelTempoRight->clear();
    form->BtnSyncRight->OnClick(form->BtnSyncRight);
    EXPECT_EQ(form->LabelTempoRight->text(), "no song");
}

// The keylock switch turns its own deck's keylock on and off, is lit while on, and the setting
// reaches the buffer of the next song the deck plays.
TEST_F(DeckPanel, TheKeylockSwitchIsLitWhileOnAndReachesTheNextSong)
{
    const QImage off = form->BtnKeylockLeft->Picture().toImage();
    form->BtnKeylockLeft->OnClick(form->BtnKeylockLeft);
    EXPECT_TRUE(FormChannel->Keylock());
    EXPECT_FALSE(FormChannel2->Keylock());
    EXPECT_NE(form->BtnKeylockLeft->Picture().toImage(), off);
    EXPECT_EQ(form->BtnKeylockLeft->Pic().toImage(), form->BtnKeylockLeft->Picture().toImage());

    // 12 % faster, the tone keeps its 440 Hz; without keylock it rises to 493 Hz.
    testsupport::WriteWavS16(dir.file("a.wav"), 44100, 2, testsupport::SineS16(44100 * 3, 44100, 2, 440));
    FormChannel->LoadAndPlay(dir.file("a.wav").string());
    FormChannel->Channel()->SetFrequency(49392);
    const auto pitch = [] {
        engine::Engine::PullS16(4410);
        std::vector<float> out;
        for (int16_t sample : engine::Engine::PullS16(22050))
            out.push_back(sample / 32768.0f);
        return testsupport::ZeroCrossingHz(out, 2, 0, 44100);
    };
    EXPECT_NEAR(pitch(), 440, 2);
    form->BtnKeylockLeft->OnClick(form->BtnKeylockLeft);
    EXPECT_NEAR(pitch(), 440 * 1.12, 3);
    EXPECT_EQ(form->BtnKeylockLeft->Picture().toImage(), off);
}

// A band knob dragged, wheeled and double-clicked reaches its own deck's voice, the centre detent
// holds a small drag at unity, and a double-click brings it back to unity exactly.
TEST_F(DeckPanel, TheStripsKnobsReachTheirDecksVoiceAndADoubleClickReturnsThemToUnity)
{
    TRotaryKnob* low = form->MixerStrip->Knobs[0][TMixerStrip::Low];
    const engine::VoiceControls& left = FormChannel->Channel()->Voice();
    const engine::VoiceControls& right = FormChannel2->Channel()->Voice();
    Drag(low, {9, 9}, {0, -3});
    EXPECT_EQ(left.BandGain(engine::VoiceControls::Low), 1.0f);
    Drag(low, {9, 9}, {0, 60}); // past the detent: 0.54 down
    EXPECT_NEAR(left.BandGain(engine::VoiceControls::Low), std::pow(0.46, 3), 1e-4);
    EXPECT_EQ(left.BandGain(engine::VoiceControls::Mid), 1.0f);
    EXPECT_EQ(right.BandGain(engine::VoiceControls::Low), 1.0f);
    Drag(low, {9, 9}, {0, -400});
    EXPECT_NEAR(left.BandGain(engine::VoiceControls::Low), std::pow(10.0, 6 / 20.0), 1e-4); // +6 dB
    Mouse(low, QEvent::MouseButtonPress, {9, 9});
    Mouse(low, QEvent::MouseButtonRelease, {9, 9});
    Mouse(low, QEvent::MouseButtonDblClick, {9, 9});
    Mouse(low, QEvent::MouseButtonRelease, {9, 9});
    EXPECT_EQ(left.BandGain(engine::VoiceControls::Low), 1.0f);

    TRotaryKnob* trim = form->MixerStrip->Knobs[1][TMixerStrip::Trim];
    for (auto [eighths, modifiers] : {std::pair(120, Qt::NoModifier), std::pair(120, Qt::ShiftModifier)}) {
        QWheelEvent e(QPointF(9, 9), trim->mapToGlobal(QPointF(9, 9)), {}, QPoint(0, eighths), Qt::NoButton, modifiers,
                      Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(trim, &e);
    }
    EXPECT_NEAR(right.Trim(), 12 * (0.1 + 0.02), 1e-5); // a step and a fine one, in dB
    EXPECT_EQ(left.Trim(), 0.0f);
}

TEST_F(DeckPanel, AKillSwitchCutsItsBandWhileLitAndGivesItBackAtTheKnobsGain)
{
    form->MixerStrip->Knobs[1][TMixerStrip::High]->SetValue(0.5);
    TImgBtn* kill = form->MixerStrip->Kills[1][TMixerStrip::High];
    const QImage off = kill->Picture().toImage();
    const engine::VoiceControls& right = FormChannel2->Channel()->Voice();
    for (bool lit : {true, false}) {
        Mouse(kill, QEvent::MouseButtonPress, {4, 4});
        Mouse(kill, QEvent::MouseButtonRelease, {4, 4});
        EXPECT_EQ(right.Heard(engine::VoiceControls::High), lit ? 0.0f : TMixerStrip::BandGain(0.5));
        EXPECT_EQ(kill->Picture().toImage() != off, lit);
        EXPECT_FALSE(FormChannel->Channel()->Voice().Killed(engine::VoiceControls::High));
    }
}

// Two full-scale songs in phase at full volume: the limiter works and its light shows, from the
// decks' own display ticks; with the limiter off it stays dark, and it goes out once it rests.
TEST_F(DeckPanel, TheLimiterLightShowsWhileTwoLoudSongsAreLimited)
{
    testsupport::WriteWavS16(dir.file("loud.wav"), 44100, 2, testsupport::SineS16(44100 * 4, 44100, 2, 100, 32000));
    form->SetMixSettings({"cut", false, false}); // both decks at full volume, as the songs are
    FormChannel->LoadAndPlay(dir.file("loud.wav").string());
    FormChannel2->LoadAndPlay(dir.file("loud.wav").string());
    const auto lit = [&] {
        engine::Engine::PullS16(4410);
        QTest::qWait(3 * TDeckController::kTimerMs);
        return form->MixerStrip->LimiterLit();
    };
    EXPECT_FALSE(lit());
    form->SetMixSettings({"cut", false, true});
    EXPECT_TRUE(lit());
    form->SetMixSettings({"cut", false, false});
    QTest::qWait(TMixerStrip::kLitMs);
    EXPECT_FALSE(lit());
}
