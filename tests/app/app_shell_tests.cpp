// The window shell: both windows dragged as one, minimise, and the close sequence.
#include "app/MixerStrip.h"
#include "app/Unit1.h"
#include "tests/app/Gestures.h"
#include "decks/unitChannel.h"
#include "engine/Engine.h"
#include "platform/kernel/Exceptions.h"
#include "platform/ui/ErrorDisplay.h"
#include "playlist/UnitList.h"
#include "tests/support/Fixtures.h"
#include "tests/support/Pointer.h"
#include "widgets/Image.h"
#include "widgets/ImgBtn.h"
#include "widgets/PaintBox.h"

#include <QCoreApplication>
#include <QLabel>
#include <QMouseEvent>

#include <gtest/gtest.h>

namespace {

class Shell : public ::testing::Test {
protected:
    void SetUp() override
    {
        engine::Engine::Reset();
        engine::Engine::UseManualBackend();
        form = new TFormMain(QByteArray::fromStdString(dir.path().string()));
        list = new TFormList();
        form->show();
        list->show();
    }
    void TearDown() override
    {
        delete list;
        delete form;
        engine::Engine::Reset();
    }
    std::string Text(const char* name) const
    {
        const auto bytes = testsupport::ReadBytes(dir.file(name));
        return std::string(bytes.begin(), bytes.end());
    }
    testsupport::TempDir dir;
    TFormMain* form = nullptr;
    TFormList* list = nullptr;
};

} // namespace

TEST_F(Shell, DraggingTheSkinMovesBothWindowsTheBareSurfaceOnlyTheMainOne)
{
    const QPoint main0 = form->pos();
    ASSERT_EQ(list->pos(), main0 + QPoint(0, 228));
    Mouse(form->ImgForm, QEvent::MouseButtonPress, {100, 50});
    Mouse(form->ImgForm, QEvent::MouseMove, {110, 55});
    Mouse(form->ImgForm, QEvent::MouseButtonRelease, {110, 55});
    EXPECT_EQ(form->pos(), main0 + QPoint(10, 5));
    EXPECT_EQ(list->pos(), form->pos() + QPoint(0, 228));

    // After the release, moves do nothing.
    Mouse(form->ImgForm, QEvent::MouseMove, {150, 80});
    EXPECT_EQ(form->pos(), main0 + QPoint(10, 5));

    // The bare surface (outside the skin picture) moves the main window alone.
    Mouse(form, QEvent::MouseButtonPress, {400, 270});
    Mouse(form, QEvent::MouseMove, {403, 274});
    Mouse(form, QEvent::MouseButtonRelease, {403, 274});
    EXPECT_EQ(form->pos(), main0 + QPoint(13, 9));
    EXPECT_EQ(list->pos(), main0 + QPoint(10, 5 + 228));
}

TEST_F(Shell, APressOnALevelDisplayMovesNeitherWindow)
{
    const QPoint main0 = form->pos(), list0 = list->pos();
    testsupport::Pointer pointer(form);
    for (TPaintBox* box : {form->PaintBoxLeft, form->PaintBoxRight}) {
        const QPoint at = box->geometry().center();
        pointer.Press(at);
        pointer.Move(at + QPoint(10, 5));
        pointer.Release(at + QPoint(10, 5));
        pointer.Pause();
        EXPECT_EQ(form->pos(), main0) << box->objectName().toStdString();
        EXPECT_EQ(list->pos(), list0) << box->objectName().toStdString();
    }
    // The skin between the displays still drags both.
    pointer.Press({200, 50});
    pointer.Move({204, 53});
    pointer.Release({204, 53});
    EXPECT_EQ(form->pos(), main0 + QPoint(4, 3));
    EXPECT_EQ(list->pos(), list0 + QPoint(4, 3));
}

TEST_F(Shell, ADoubleClickOnAKnobIsTwoPressesOfTheKnob)
{
    const QPoint main0 = form->pos();
    testsupport::Pointer pointer(form);
    QLabel* knob = form->ImgVolumeLeft;
    const QPoint at = knob->geometry().center();
    pointer.Press(at);
    pointer.Release(at);
    pointer.Press(at); // the double click, held: a drag of the knob
    pointer.Move(at + QPoint(0, 20));
    pointer.Release(at + QPoint(0, 20));
    pointer.Pause();
    EXPECT_EQ(knob->y(), 32 + 20);
    EXPECT_EQ(form->pos(), main0);
    // The window was not left dragging: a press and a move on a button do not move it.
    const QPoint button = form->BtnStopBoth->geometry().center();
    pointer.Press(button);
    pointer.Move(button + QPoint(3, 2));
    pointer.Release(button + QPoint(3, 2));
    EXPECT_EQ(form->pos(), main0);
}

TEST_F(Shell, DraggingThePlaylistWindowMovesTheMainWindowWithIt)
{
    const QPoint list0 = list->pos();
    Mouse(list->ImgForm, QEvent::MouseButtonPress, {50, 10});
    Mouse(list->ImgForm, QEvent::MouseMove, {40, 22});
    Mouse(list->ImgForm, QEvent::MouseButtonRelease, {40, 22});
    EXPECT_EQ(list->pos(), list0 + QPoint(-10, 12));
    EXPECT_EQ(form->pos(), list->pos() - QPoint(0, 228));
    // Its bare surface drags both as well.
    Mouse(list, QEvent::MouseButtonPress, {398, 245});
    Mouse(list, QEvent::MouseMove, {400, 245});
    Mouse(list, QEvent::MouseButtonRelease, {400, 245});
    EXPECT_EQ(list->pos(), list0 + QPoint(-8, 12));
    EXPECT_EQ(form->pos(), list->pos() - QPoint(0, 228));
}

// The mixer strip stands on top of the main window wherever it goes, and a drag by the strip's
// surface takes all three windows.
TEST_F(Shell, TheMixerStripFollowsTheMainWindowAndItsSurfaceDragsAllThree)
{
    TMixerStrip* strip = form->MixerStrip;
    const QPoint main0 = form->pos();
    EXPECT_TRUE(strip->isVisible());
    EXPECT_EQ(strip->pos(), main0 - QPoint(0, TMixerStrip::StripHeight));
    Mouse(list->ImgForm, QEvent::MouseButtonPress, {50, 10});
    Mouse(list->ImgForm, QEvent::MouseMove, {40, 22});
    Mouse(list->ImgForm, QEvent::MouseButtonRelease, {40, 22});
    EXPECT_EQ(strip->pos(), main0 + QPoint(-10, 12 - TMixerStrip::StripHeight));
    Mouse(strip, QEvent::MouseButtonPress, {200, 40});
    Mouse(strip, QEvent::MouseMove, {205, 43});
    Mouse(strip, QEvent::MouseButtonRelease, {205, 43});
    EXPECT_EQ(form->pos(), main0 + QPoint(-5, 15));
    EXPECT_EQ(list->pos(), form->pos() + QPoint(0, 228));
    EXPECT_EQ(strip->pos(), form->pos() - QPoint(0, TMixerStrip::StripHeight));
}

TEST_F(Shell, MinimiseHidesBothWindowsAndRestoreBringsBothBack)
{
    const QPoint main0 = form->pos(), list0 = list->pos();
    form->BtnMin->OnClick(form->BtnMin);
    EXPECT_TRUE(form->isMinimized());
    EXPECT_TRUE(list->isMinimized());
    EXPECT_FALSE(form->MixerStrip->isVisible());
    form->RestoreApplication();
    EXPECT_FALSE(form->isMinimized());
    EXPECT_FALSE(list->isMinimized());
    EXPECT_TRUE(form->MixerStrip->isVisible());
    EXPECT_EQ(form->pos(), main0);
    EXPECT_EQ(list->pos(), list0);
}

TEST_F(Shell, CloseFreesTheDecksDeletesTheTemporaryRecordingAndWritesTheFourLists)
{
    LeftPaths = {"/music/a b.mp3", "/music/\xE9t\xE9.wav"};
    LeftNames = {"a b.mp3", "\xE9t\xE9.wav"};
    RightPaths = {"/r/one.mp3"};
    RightNames = {"one.mp3"};
    testsupport::WriteBytes(dir.file("tem.Mp3"), {1, 2, 3});
    int stops = 0;
    Recording = true;
    // The recording cannot be finished (a full disk): that is shown, and the close goes on.
    form->OnCloseStopRecording = [&] {
        ++stops;
        Recording = false;
        throw Exception("No space left on device");
    };
    std::string shown;
    const ErrorDisplay previous = SetErrorDisplay([&](const std::string& m) { shown += m; });
    form->BtnClose->OnClick(form->BtnClose);
    SetErrorDisplay(previous);
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(shown, "No space left on device");
    EXPECT_FALSE(std::filesystem::exists(dir.file("tem.Mp3")));
    EXPECT_EQ(FormChannel, nullptr);
    EXPECT_EQ(form->OutputMixer(), nullptr);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(Text("FileListLeft.ini"), "/music/a b.mp3\r\n/music/\xE9t\xE9.wav\r\n");
    EXPECT_EQ(Text("Listbox1.ini"), "a b.mp3\r\n\xE9t\xE9.wav\r\n");
    EXPECT_EQ(Text("FileListRight.ini"), "/r/one.mp3\r\n");
    EXPECT_EQ(Text("Listbox2.ini"), "one.mp3\r\n");
    EXPECT_TRUE(LeftPaths.isEmpty());
    EXPECT_TRUE(RightPaths.isEmpty());
    Recording = false;
}

TEST_F(Shell, CloseAfterAFailingStopRunsEveryStepReportsTheFailureAndEnds)
{
    std::vector<std::string> errors;
    const ErrorDisplay previous = SetErrorDisplay([&](const std::string& m) { errors.push_back(m); });
    LeftNames = {"a.mp3"};
    testsupport::WriteBytes(dir.file("tem.Mp3"), {1, 2, 3});
    Recording = true;
    form->OnCloseStopRecording = [] {
        Recording = false;
        throw Exception("Cannot write the recording: No space left on device");
    };
    testsupport::Pointer pointer(form);
    const QPoint close = form->BtnClose->geometry().center();
    pointer.Press(close);
    pointer.Release(close);
    SetErrorDisplay(previous);

    EXPECT_EQ(errors, std::vector<std::string>{"Cannot write the recording: No space left on device"});
    EXPECT_FALSE(std::filesystem::exists(dir.file("tem.Mp3")));
    EXPECT_EQ(FormChannel, nullptr);
    EXPECT_EQ(form->OutputMixer(), nullptr);
    EXPECT_EQ(Text("Listbox1.ini"), "a.mp3\r\n");
    EXPECT_FALSE(form->isVisible());
}

TEST_F(Shell, ClosingByOtherMeansRunsTheSameSequenceOnce)
{
    RightNames = {"x.mp3"};
    form->close(); // as the window manager would
    EXPECT_EQ(Text("Listbox2.ini"), "x.mp3\r\n");
    EXPECT_EQ(FormChannel, nullptr);
    form->close();
}
