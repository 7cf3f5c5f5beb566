// The keys of both windows and the wheel over every knob, through the real windows: each key's
// effect on its deck or on the mixer, from the main window and from the playlist window; a key
// typed into a dialog stays the dialog's.
#include "app/KeyTable.h"
#include "app/MixerStrip.h"
#include "app/Unit1.h"
#include "decks/unitChannel.h"
#include "decks/unitChannel2.h"
#include "mixer/MxDSMixerChannel.h"
#include "engine/Engine.h"
#include "playlist/UnitList.h"
#include "tests/support/Fixtures.h"
#include "widgets/TFlatListBoxUnit.h"

#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QWheelEvent>

#include <gtest/gtest.h>

namespace {

class Keys : public ::testing::Test {
protected:
    void SetUp() override
    {
        engine::Engine::Reset();
        engine::Engine::UseManualBackend();
        for (const char* side : {"Left", "Right"}) {
            const std::string name = std::string(side) + ".wav";
            testsupport::WriteWavS16(dir.file(name), 44100, 2, testsupport::SineS16(44100 * 4, 44100, 2, 440));
            const std::string path = dir.file(name).string() + "\r\n", shown = name + "\r\n";
            testsupport::WriteBytes(dir.file(std::string("FileList") + side + ".ini"), {path.begin(), path.end()});
            testsupport::WriteBytes(dir.file(side == std::string("Left") ? "Listbox1.ini" : "Listbox2.ini"),
                                    {shown.begin(), shown.end()});
        }
        form = std::make_unique<TFormMain>(QByteArray::fromStdString(dir.path().string()));
        list = std::make_unique<TFormList>();
        list->show();
        form->show();
    }
    void TearDown() override
    {
        list.reset();
        form.reset();
        engine::Engine::Reset();
    }
    static int State(TDeckController* deck) { return deck->Channel()->State(); }
    void Wheel(QWidget* knob, int eighths, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QWheelEvent e(QPointF(5, 5), knob->mapToGlobal(QPointF(5, 5)), {}, QPoint(0, eighths), Qt::NoButton, modifiers,
                      Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(knob, &e);
    }

    testsupport::TempDir dir;
    std::unique_ptr<TFormMain> form;
    std::unique_ptr<TFormList> list;
};

} // namespace

TEST_F(Keys, EachKeyReachesItsDeckOrTheMixerFromEitherWindow)
{
    form->SetMixSettings({"original", true, true}); // the crossfader's table below
    // From the playlist window: G loads the left entry without playing it.
    QTest::keyClick(list->FlatListBox1, Qt::Key_G);
    EXPECT_EQ(FormChannel->edtFileName(), dir.file("Left.wav").string());
    EXPECT_EQ(State(FormChannel), csStopped);
    QTest::keyClick(form.get(), Qt::Key_F);
    EXPECT_EQ(State(FormChannel), csPlaying);
    QTest::keyClick(list->FlatListBox2, Qt::Key_J);
    EXPECT_EQ(State(FormChannel2), csPlaying);
    QTest::keyClick(form.get(), Qt::Key_F);
    EXPECT_EQ(State(FormChannel), csPaused);
    QTest::keyClick(form.get(), Qt::Key_K);
    EXPECT_EQ(State(FormChannel2), csStopped);

    // Seek: four pixels of the position knob, as a drag by four pixels would.
    QTest::keyClick(form.get(), Qt::Key_F);
    engine::Engine::PullS16(4410);
    const int start = form->ImgJinduLeft->x();
    QTest::keyClick(form.get(), Qt::Key_R);
    EXPECT_EQ(form->ImgJinduLeft->x(), start + 4);
    EXPECT_NEAR(FormChannel->Channel()->Position(), 4 * 4000 / FormChannel->KnobSpan(), 30);

    const int volume = form->ImgVolumeLeft->y();
    QTest::keyClick(form.get(), Qt::Key_1);
    EXPECT_EQ(form->ImgVolumeLeft->y(), volume + 8);
    QTest::keyClick(form.get(), Qt::Key_2, Qt::ShiftModifier);
    EXPECT_EQ(form->ImgVolumeLeft->y(), volume + 7);
    QTest::keyClick(form.get(), Qt::Key_X);
    EXPECT_TRUE(FormChannel->Keylock());
    EXPECT_FALSE(FormChannel2->Keylock());
    QTest::keyClick(form.get(), Qt::Key_Period);
    EXPECT_TRUE(FormChannel2->Cue());
    EXPECT_FALSE(FormChannel->Cue());

    QTest::keyClick(form.get(), Qt::Key_N);
    EXPECT_EQ(form->ImgVolumeBoth->x(), 200);
    QTest::keyClick(form.get(), Qt::Key_V, Qt::ShiftModifier);
    EXPECT_EQ(form->ImgVolumeBoth->x(), 199);
    EXPECT_EQ(form->ImgVolumeLeft->y(), 2 * (7 + 32)); // the crossfader's table, as a drag gives
    QTest::keyClick(form.get(), Qt::Key_B);
    EXPECT_EQ(form->ImgVolumeBoth->x(), 192);

    QTest::keyClick(form.get(), Qt::Key_F9);
    EXPECT_TRUE(Recording);
    QTest::keyClick(form.get(), Qt::Key_F10);
    EXPECT_TRUE(RecordPaused);
    QTest::keyClick(form.get(), Qt::Key_F9);
    EXPECT_FALSE(Recording);
    RecordPaused = false;
}

TEST_F(Keys, TheWheelMovesEveryKnobByAStepAndByAFineOneWithShift)
{
    QTest::keyClick(form.get(), Qt::Key_J);
    engine::Engine::PullS16(4410);
    const QPoint volume = form->ImgVolumeRight->pos(), position = form->ImgJinduRight->pos(),
                 fader = form->ImgVolumeBoth->pos();
    Wheel(form->ImgVolumeRight, -120); // down: quieter
    EXPECT_EQ(form->ImgVolumeRight->y(), volume.y() + 8);
    Wheel(form->ImgVolumeRight, 120, Qt::ShiftModifier);
    EXPECT_EQ(form->ImgVolumeRight->y(), volume.y() + 7);
    Wheel(form->ImgJinduRight, 120);
    EXPECT_EQ(form->ImgJinduRight->x(), position.x() + 4);
    EXPECT_EQ(State(FormChannel2), csPlaying); // the drag's release plays on
    Wheel(form->ImgVolumeBoth, -120);
    EXPECT_EQ(form->ImgVolumeBoth->x(), fader.x() - 8);
    Wheel(form->ImgVolumeBoth, 60); // half a notch waits for the other half
    EXPECT_EQ(form->ImgVolumeBoth->x(), fader.x() - 8);
    Wheel(form->ImgVolumeBoth, 60, Qt::ShiftModifier);
    EXPECT_EQ(form->ImgVolumeBoth->x(), fader.x() - 7);
}

// The number row kills the bands of the deck on its side, from the mixer strip's window too; the
// function keys turn the low and high bands, with Shift by a fine step.
TEST_F(Keys, TheMixerKeysKillAndTurnTheBandsOfTheirDeck)
{
    using engine::VoiceControls;
    const VoiceControls& left = FormChannel->Channel()->Voice();
    const VoiceControls& right = FormChannel2->Channel()->Voice();
    QTest::keyClick(form.get(), Qt::Key_3);
    QTest::keyClick(form->MixerStrip, Qt::Key_8);
    QTest::keyClick(list->FlatListBox1, Qt::Key_4);
    EXPECT_TRUE(left.Killed(VoiceControls::Low) && left.Killed(VoiceControls::Mid) &&
                right.Killed(VoiceControls::High));
    EXPECT_FALSE(left.Killed(VoiceControls::High) || right.Killed(VoiceControls::Low) ||
                 right.Killed(VoiceControls::Mid));
    QTest::keyClick(form.get(), Qt::Key_3);
    EXPECT_FALSE(left.Killed(VoiceControls::Low));

    QTest::keyClick(form.get(), Qt::Key_F2);
    QTest::keyClick(form.get(), Qt::Key_F1, Qt::ShiftModifier);
    EXPECT_FLOAT_EQ(left.BandGain(VoiceControls::Low), TMixerStrip::BandGain(0.1 - 0.02));
    QTest::keyClick(form.get(), Qt::Key_F7);
    EXPECT_FLOAT_EQ(right.BandGain(VoiceControls::High), TMixerStrip::BandGain(-0.1));
    EXPECT_EQ(left.BandGain(VoiceControls::High), 1.0f);
}

TEST_F(Keys, AKeyTypedIntoADialogStaysTheDialogs)
{
    QDialog dialog(form.get());
    auto* edit = new QLineEdit(&dialog);
    dialog.show();
    QTest::keyClick(edit, Qt::Key_F);
    EXPECT_EQ(edit->text(), "f");
    EXPECT_EQ(State(FormChannel), csStopped);
    EXPECT_TRUE(FormChannel->edtFileName().empty());
}

TEST(KeysHelp, TheHelpListsEveryKeyOfTheTable)
{
    QFile help(QFileInfo(DUODECK_EXE).dir().filePath("help.html"));
    ASSERT_TRUE(help.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(help.readAll());
    const QString table = text.mid(text.indexOf("<table id=\"keys\">"));
    for (const TKeyBinding& k : KeyTable)
        EXPECT_TRUE(table.contains("<kbd>" + QKeySequence(k.Key).toString() + "</kbd>"))
            << QKeySequence(k.Key).toString().toStdString();
}
