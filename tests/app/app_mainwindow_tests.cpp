// The main window's creation and first show, the playlist window under it, the hand-over from a
// later copy, and the default error handler.
#include "app/Application.h"
#include "app/Unit1.h"
#include "assets/Skin.h"
#include "mixer/MxDSMixer.h"
#include "platform/kernel/Exceptions.h"
#include "platform/ui/ErrorDisplay.h"
#include "playlist/UnitList.h"
#include "tests/support/Fixtures.h"
#include "widgets/Image.h"
#include "widgets/ImgBtn.h"
#include "widgets/PaintBox.h"

#include <QGuiApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using testsupport::TempDir;

namespace {

QByteArray Folder(const TempDir& dir)
{
    return QByteArray::fromStdString(dir.path().string());
}

void WriteText(const TempDir& dir, const char* name, const std::string& text)
{
    testsupport::WriteBytes(dir.file(name), std::vector<uint8_t>(text.begin(), text.end()));
}

} // namespace

TEST(MainWindow, CreationReadsEachListFromItsOwnFile)
{
    TempDir dir;
    WriteText(dir, "FileListLeft.ini", "/music/a.mp3\n/music/b.wav"); // line feeds only, no final ending
    WriteText(dir, "FileListRight.ini", "/r/one.mp3\r\n");
    WriteText(dir, "Listbox1.ini", "a.mp3\r\nb.wav\r\n");
    WriteText(dir, "Listbox2.ini", "one.mp3\r");
    LeftPaths = {"left over from before"};

    TFormMain form(Folder(dir));
    EXPECT_EQ(FormMain, &form);
    EXPECT_EQ(ExeFolder, Folder(dir));
    EXPECT_EQ(LeftPaths, QByteArrayList({"/music/a.mp3", "/music/b.wav"}));
    EXPECT_EQ(RightPaths, QByteArrayList({"/r/one.mp3"}));
    EXPECT_EQ(LeftNames, QByteArrayList({"a.mp3", "b.wav"}));
    EXPECT_EQ(RightNames, QByteArrayList({"one.mp3"}));
    EXPECT_EQ(LeftIndex, 0);
    EXPECT_FALSE(LeftLoop || RightLoop || Recording || RecordPaused);

    // The output mixer exists, owned by the window; the level displays have their yellow pen.
    ASSERT_NE(form.OutputMixer(), nullptr);
    EXPECT_EQ(form.OutputMixer()->parent(), &form);
    for (const TPaintBox* box : {form.PaintBoxLeft, form.PaintBoxRight}) {
        EXPECT_EQ(box->Pen.color(), QColor(255, 255, 0));
        EXPECT_EQ(box->Pen.width(), 2);
    }
}

TEST(MainWindow, MissingListFilesAreEmptyListsAndCreationCompletes)
{
    TempDir dir;
    WriteText(dir, "Listbox2.ini", "only.mp3\r\n");
    TFormMain form(Folder(dir));
    EXPECT_TRUE(LeftPaths.isEmpty());
    EXPECT_TRUE(RightPaths.isEmpty());
    EXPECT_TRUE(LeftNames.isEmpty());
    EXPECT_TRUE(RightNames.isEmpty()); // a name without its path names no song
    EXPECT_NE(form.OutputMixer(), nullptr);
}

TEST(MainWindow, AFolderNameThatIsNotUtf8IsKeptAsBytesForEveryFile)
{
    TempDir dir;
    const std::string folder = (dir.path() / "caf\xE9 \xFF").string(); // Latin-1, and a byte no text has
    std::filesystem::create_directory(folder);
    WriteText(dir, "caf\xE9 \xFF/FileListLeft.ini", "/music/a.mp3\r\n");
    WriteText(dir, "caf\xE9 \xFF/Listbox1.ini", "a.mp3\r\n");
    {
        TFormMain form(QByteArray::fromStdString(folder));
        EXPECT_EQ(LeftPaths, QByteArrayList({"/music/a.mp3"}));
        EXPECT_EQ(InExeFolder(TemporaryRecordingFile), QByteArray::fromStdString(folder + "/tem.Mp3"));
        RightPaths = {"/r/one.mp3"};
        RightNames = {"one.mp3"};
        form.close();
    }
    const auto written = testsupport::ReadBytes(folder + "/FileListRight.ini");
    EXPECT_EQ(std::string(written.begin(), written.end()), "/r/one.mp3\r\n");
}

TEST(MainWindow, BothWindowsAreShapedByTheirSkins)
{
    TempDir dir;
    TFormMain main(Folder(dir));
    TFormList list;
    EXPECT_TRUE(main.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(list.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(main.size(), QSize(413, 284));
    EXPECT_EQ(main.ImgForm->size(), QSize(396, 238));
    EXPECT_EQ(list.ImgForm->size(), QSize(396, 238));
    EXPECT_EQ(main.mask(), *CreateSkinRegion(artwork::Load(artwork::SkinMain)));
    EXPECT_EQ(list.mask(), *CreateSkinRegion(artwork::Load(artwork::SkinList)));
    EXPECT_FALSE(main.mask().contains(QPoint(0, 0)));
    EXPECT_FALSE(main.mask().contains(QPoint(400, 250))); // inside the window, beyond the skin
    EXPECT_TRUE(main.mask().contains(QPoint(200, 120)));
}

TEST(MainWindow, FirstShowHangsThePlaylistWindowUnderIt)
{
    TempDir dir;
    TFormMain main(Folder(dir));
    TFormList list;
    main.move(300, 150);
    list.show();
    main.show();
    EXPECT_EQ(list.pos(), QPoint(300, 150 + 228));

    // Later shows leave the playlist window where the user put it.
    list.move(10, 10);
    main.hide();
    main.show();
    EXPECT_EQ(list.pos(), QPoint(10, 10));
}

TEST(MainWindow, CloseEndsTheProgramThoughThePlaylistWindowIsOpen)
{
    TempDir dir;
    TFormMain main(Folder(dir));
    TFormList list;
    list.show();
    main.show();
    // The event loop ends by itself when the main window closes; the guard timer would end it with 1.
    QTimer::singleShot(0, &main, [&] { QTest::mouseClick(main.BtnClose, Qt::LeftButton); });
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(1); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
}

TEST(MainWindow, RequestFromAnotherCopyRestoresOrRaises)
{
    TempDir dir;
    TFormMain main(Folder(dir));
    TFormList list;
    list.show();
    main.show();
    main.showMinimized();
    list.showMinimized();
    ASSERT_TRUE(main.isMinimized());
    main.RestoreApplication();
    EXPECT_FALSE(main.isMinimized());
    EXPECT_FALSE(list.isMinimized());
    EXPECT_TRUE(main.isVisible());
    // Not minimised: it stays as it is, shown.
    main.RestoreApplication();
    EXPECT_FALSE(main.isMinimized());
    EXPECT_TRUE(list.isVisible());
}

namespace {

class Thrower : public QObject {
public:
    std::function<void()> Throw;
    bool event(QEvent* e) override
    {
        if (e->type() == QEvent::User)
            Throw();
        return QObject::event(e);
    }
};

} // namespace

TEST(DefaultErrorHandler, ReportsAnEscapedExceptionAndTheProgramGoesOn)
{
    std::vector<std::string> shown;
    const ErrorDisplay previous = SetErrorDisplay([&](const std::string& m) { shown.push_back(m); });
    Thrower thrower;

    thrower.Throw = [] { throw EAssertionFailed("Channel state is inconsistent"); };
    QEvent direct(QEvent::User);
    EXPECT_FALSE(QCoreApplication::sendEvent(&thrower, &direct));

    thrower.Throw = [] { throw std::runtime_error("plain failure"); };
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::processEvents();

    thrower.Throw = [] { throw 42; };
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    SetErrorDisplay(previous);

    EXPECT_EQ(shown, (std::vector<std::string>{"Channel state is inconsistent", "plain failure", "Unknown exception"}));
}
