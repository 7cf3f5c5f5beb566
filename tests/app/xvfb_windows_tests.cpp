// The real program on a real X server: both windows at their places and shaped by their skins,
// minimised and restored as one, and a second copy handing over to the first, which comes to the
// top. Skips without an X display (ctest runs it under xvfb-run).
// Then on a Wayland session of a headless Weston the test starts, with XWayland and without.
#include "assets/Skin.h"
#include "tests/app/Processes.h"
#include "tests/app/TaskbarStandIn.h"
#include "tests/support/Fixtures.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QMap>
#include <QRegion>
#include <QThread>

#include <gtest/gtest.h>

using apptest::CopyEnvironment;

using apptest::StartCopy;
using apptest::WaitUntil;
using testsupport::TempDir;

namespace {

struct XWindow {
    QString Id;
    QRect Geometry;
};

QMap<QString, QString> ShellValues(const QString& text)
{
    QMap<QString, QString> values;
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts))
        values.insert(line.section('=', 0, 0), line.section('=', 1));
    return values;
}

// Visible windows whose title is exactly `title`.
std::vector<XWindow> Windows(const QString& title)
{
    std::vector<XWindow> found;
    const QString ids = apptest::Run("xdotool", {"search", "--onlyvisible", "--name", "^" + title + "$"});
    for (const QString& id : ids.split('\n', Qt::SkipEmptyParts)) {
        const auto v = ShellValues(apptest::Run("xdotool", {"getwindowgeometry", "--shell", id}));
        found.push_back({id, QRect(v["X"].toInt(), v["Y"].toInt(), v["WIDTH"].toInt(), v["HEIGHT"].toInt())});
    }
    return found;
}

// The one visible window of that title and size, once it is there.
std::optional<XWindow> WaitForWindow(const QString& title, QSize size)
{
    std::optional<XWindow> window;
    WaitUntil(
        [&] {
            for (const XWindow& w : Windows(title))
                if (w.Geometry.size() == size)
                    window = w;
            return window.has_value();
        },
        20000);
    return window;
}

void Click(QPoint p)
{
    apptest::Run("xdotool", {"mousemove", QString::number(p.x()), QString::number(p.y()), "click", "1"});
}

// The process whose window is the topmost one at `p` on the screen.
qint64 ProcessUnder(QPoint p)
{
    apptest::Run("xdotool", {"mousemove", QString::number(p.x()), QString::number(p.y())});
    const QString window = ShellValues(apptest::Run("xdotool", {"getmouselocation", "--shell"}))["WINDOW"];
    return apptest::Run("xdotool", {"getwindowpid", window}).trimmed().toLongLong();
}

QImage Screenshot(const QString& file)
{
    if (QProcess::execute("import", {"-window", "root", file}) != 0)
        return {};
    return QImage(file).convertToFormat(QImage::Format_RGB32);
}

class OnX : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "no X display (run under xvfb-run)";
        if (apptest::Run("xdotool", {"getdisplaygeometry"}).isEmpty())
            GTEST_SKIP() << "xdotool cannot reach the X display";
    }
    QString Runtime() const { return QString::fromStdString(FRuntime.path().string()); }
    TempDir FRuntime;
};

// Pixels of the screen over a window's rectangle compared with its skin: where the skin is
// transparent (and beyond the skin) the screen must show what was there before the window came;
// inside the shape, within `bare` (skin coordinates, where no control sits), it must show the skin.
struct ShapeCheck {
    int Outside = 0, OutsideChanged = 0;
    int Inside = 0, InsideAsSkin = 0;
};

// `other`: the screen area of the other window's shape, which is left out.
ShapeCheck CompareWithSkin(const QImage& before, const QImage& after, const QRect& window, const QImage& skin,
                           const QRegion& other, const QRect& bare)
{
    ShapeCheck c;
    const QRegion shape = *CreateSkinRegion(skin);
    for (int y = 0; y < window.height(); ++y)
        for (int x = 0; x < window.width(); ++x) {
            const QPoint screen = window.topLeft() + QPoint(x, y);
            if (!before.rect().contains(screen) || other.contains(screen))
                continue;
            if (shape.contains(QPoint(x, y))) {
                if (!bare.contains(x, y))
                    continue;
                ++c.Inside;
                c.InsideAsSkin += after.pixel(screen) == skin.pixel(x, y);
            } else {
                ++c.Outside;
                c.OutsideChanged += after.pixel(screen) != before.pixel(screen);
            }
        }
    return c;
}

} // namespace

TEST_F(OnX, BothWindowsAtTheirPlacesShapedByTheirSkins)
{
    const QString shotDir = SCREENSHOT_DIR;
    const QImage before = Screenshot(shotDir + "/duodeck_before.png");
    ASSERT_FALSE(before.isNull()) << "import (ImageMagick) could not take a screenshot";

    auto copy = StartCopy(CopyEnvironment(Runtime(), "xcb"));
    const auto main = WaitForWindow("DuoDeck", {413, 284});
    const auto list = WaitForWindow("DuoDeck Playlists", {402, 249});
    ASSERT_TRUE(main && list) << copy->readAllStandardError().constData();
    EXPECT_EQ(main->Geometry.topLeft(), QPoint(205, 128));
    EXPECT_EQ(list->Geometry.topLeft(), QPoint(205, 128 + 228));
    // The mixer strip stands on top of the main window, clear of its transparent rows.
    const auto strip = WaitForWindow("DuoDeck Mixer", {396, 46});
    ASSERT_TRUE(strip);
    EXPECT_EQ(strip->Geometry.topLeft(), QPoint(205, 128 - 46));
    // The waveform window stands right of the main skin, over the main window's transparent rim.
    const auto waves = WaitForWindow("DuoDeck Waveforms", {396, 274});
    ASSERT_TRUE(waves);
    EXPECT_EQ(waves->Geometry.topLeft(), QPoint(205 + 390, 128 - 46));

    const QImage mainSkin = artwork::Load(artwork::SkinMain).convertToFormat(QImage::Format_RGB32);
    const QImage listSkin = artwork::Load(artwork::SkinList).convertToFormat(QImage::Format_RGB32);
    // The playlist window overlaps the main window's rectangle below the main skin.
    const QRegion mainShape = CreateSkinRegion(mainSkin)->translated(main->Geometry.topLeft());
    const QRegion listShape = CreateSkinRegion(listSkin)->translated(list->Geometry.topLeft());
    // Skin areas that no control covers: the playlist window's title band above its list boxes, and
    // the main window's band between the level displays above the crossfader.
    const QRect listBare(0, 0, 396, 30);
    const QRect mainBare(151, 32, 96, 54);
    // The windows are mapped before they are painted: wait until the playlist skin shows.
    QImage after;
    ShapeCheck mainCheck, listCheck;
    WaitUntil(
        [&] {
            after = Screenshot(shotDir + "/duodeck_windows.png");
            listCheck = CompareWithSkin(before, after, list->Geometry, listSkin, mainShape, listBare);
            return listCheck.InsideAsSkin == listCheck.Inside;
        },
        10000);
    mainCheck =
        CompareWithSkin(before, after, main->Geometry, mainSkin, listShape + QRegion(waves->Geometry), mainBare);

    // Outside the shape nothing of either window is drawn.
    EXPECT_GT(mainCheck.Outside, 5000); // the corners, the rim and the strip below the skin (the waveform
                                        // window covers the one at its right)
    EXPECT_EQ(mainCheck.OutsideChanged, 0);
    EXPECT_EQ(listCheck.OutsideChanged, 0);
    // Inside, the skins show where no control covers them.
    EXPECT_GT(listCheck.Inside, 396 * 20);
    EXPECT_EQ(listCheck.InsideAsSkin, listCheck.Inside);
    EXPECT_EQ(mainCheck.InsideAsSkin, mainCheck.Inside);

    // The pointer over a transparent corner is not over the window; over the skin it is.
    const auto windowUnder = [](QPoint p) {
        apptest::Run("xdotool", {"mousemove", QString::number(p.x()), QString::number(p.y())});
        return ShellValues(apptest::Run("xdotool", {"getmouselocation", "--shell"}))["WINDOW"].toStdString();
    };
    const std::string mainId = QString::number(main->Id.toULongLong()).toStdString();
    EXPECT_NE(windowUnder(main->Geometry.topLeft() + QPoint(2, 2)), mainId);
    EXPECT_NE(windowUnder(main->Geometry.topLeft() + QPoint(405, 250)), mainId);
    EXPECT_EQ(windowUnder(main->Geometry.topLeft() + QPoint(200, 150)), mainId);
}

// At a desktop scale of 200 %: the same logical windows, twice the pixels, drawn from the "@2x"
// pictures rather than enlarged from the 1x ones.
TEST_F(OnX, AtTwiceTheScaleTheWindowsKeepTheirLogicalSizeAndShowTheSharpPictures)
{
    const QString shotDir = SCREENSHOT_DIR;
    const QImage before = Screenshot(shotDir + "/duodeck_before_2x.png");
    ASSERT_FALSE(before.isNull()) << "import (ImageMagick) could not take a screenshot";
    auto copy = StartCopy(CopyEnvironment(Runtime(), "xcb", {"QT_SCALE_FACTOR=2"}));
    const auto main = WaitForWindow("DuoDeck", {2 * 413, 2 * 284});
    ASSERT_TRUE(main) << copy->readAllStandardError().constData();
    EXPECT_EQ(main->Geometry.topLeft(), QPoint(2 * 205, 2 * 128));

    QImage sharp(QString(":/pictures/skin_main@2x.png"));
    ASSERT_EQ(sharp.size(), QSize(2 * 396, 2 * 238));
    sharp = sharp.convertToFormat(QImage::Format_RGB32);
    const QRect bare(2 * 151, 2 * 32, 2 * 96, 2 * 54); // skin pixels no control covers
    int same = 0;
    QImage after;
    WaitUntil(
        [&] {
            after = Screenshot(shotDir + "/duodeck_windows_2x.png");
            same = 0;
            for (int y = bare.top(); y <= bare.bottom(); ++y)
                for (int x = bare.left(); x <= bare.right(); ++x)
                    same += after.pixel(main->Geometry.topLeft() + QPoint(x, y)) == sharp.pixel(x, y);
            return same == bare.width() * bare.height();
        },
        10000);
    EXPECT_EQ(same, bare.width() * bare.height());
    // The shape scales with it: a transparent corner of the skin shows what was there before.
    const QPoint corner = main->Geometry.topLeft() + QPoint(3, 3);
    EXPECT_EQ(after.pixel(corner), before.pixel(corner));
}

TEST_F(OnX, MinimisedAsOneAndRestoringEitherWindowBringsBothBack)
{
    auto copy = StartCopy(CopyEnvironment(Runtime(), "xcb"));
    const auto main = WaitForWindow("DuoDeck", {413, 284});
    const auto list = WaitForWindow("DuoDeck Playlists", {402, 249});
    ASSERT_TRUE(main && list) << copy->readAllStandardError().constData();
    const auto shown = [](const char* title) { return Windows(title).size() == 1; };
    for (const XWindow* restored : {&*main, &*list}) {
        // Min: the program asks a window manager to iconify both windows; here the test acts as one.
        Click(main->Geometry.topLeft() + QPoint(355 + 7, 11 + 7));
        QThread::msleep(200);
        apptest::IconifyAsAWindowManagerDoes(main->Id);
        apptest::IconifyAsAWindowManagerDoes(list->Id);
        ASSERT_TRUE(WaitUntil([&] { return !shown("DuoDeck") && !shown("DuoDeck Playlists"); }, 5000));

        apptest::RestoreAsATaskbarDoes(restored->Id);
        EXPECT_TRUE(WaitUntil([&] { return shown("DuoDeck") && shown("DuoDeck Playlists"); }, 5000))
            << "restored: " << (restored == &*main ? "main window" : "playlist window");
        if (shown("DuoDeck") && shown("DuoDeck Playlists")) {
            EXPECT_EQ(Windows("DuoDeck")[0].Geometry.topLeft(), QPoint(205, 128));
            EXPECT_EQ(Windows("DuoDeck Playlists")[0].Geometry.topLeft(), QPoint(205, 128 + 228));
        }
    }
}

TEST_F(OnX, SecondCopyHandsOverShowsNothingAndRaisesTheFirstAboveWhatCoveredIt)
{
    auto first = StartCopy(CopyEnvironment(Runtime(), "xcb", {"QT_LOGGING_RULES=duodeck.instance.debug=true"}));
    ASSERT_TRUE(WaitForWindow("DuoDeck", {413, 284})) << first->readAllStandardError().constData();
    ASSERT_TRUE(WaitForWindow("DuoDeck Playlists", {402, 249}));
    // A copy that does not meet the first one's guard covers both its windows exactly.
    TempDir coverRuntime;
    auto cover = StartCopy(CopyEnvironment(QString::fromStdString(coverRuntime.path().string()), "xcb"));
    ASSERT_TRUE(
        WaitUntil([] { return Windows("DuoDeck").size() == 2 && Windows("DuoDeck Playlists").size() == 2; }, 20000))
        << cover->readAllStandardError().constData();
    const QPoint overMain(205 + 200, 128 + 150), overList(205 + 200, 128 + 228 + 150);
    EXPECT_EQ(ProcessUnder(overMain), cover->processId());
    EXPECT_EQ(ProcessUnder(overList), cover->processId());
    const size_t windows = Windows("DuoDeck").size() + Windows("DuoDeck Playlists").size();

    auto second = StartCopy(CopyEnvironment(Runtime(), "xcb"));
    ASSERT_TRUE(WaitUntil([&] { return second->state() == QProcess::NotRunning; }, 20000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0) << second->readAllStandardError().constData();

    QByteArray log;
    EXPECT_TRUE(WaitUntil(
        [&] {
            log += first->readAllStandardError();
            return log.contains("activation requested");
        },
        5000))
        << log.constData();
    EXPECT_EQ(Windows("DuoDeck").size() + Windows("DuoDeck Playlists").size(), windows);
    EXPECT_EQ(first->state(), QProcess::Running);
    EXPECT_TRUE(WaitUntil([&] { return ProcessUnder(overMain) == first->processId(); }, 5000));
    EXPECT_EQ(ProcessUnder(overList), first->processId());
}

// ---- On a Wayland session ----------------------------------------------------------------------

namespace {

// A headless Weston of the test's own, its socket in the test's runtime folder, with XWayland or
// without. Up is false where Weston cannot start here.
class Weston {
public:
    static constexpr const char* Socket = "duodeck-wayland";

    Weston(const QString& runtime, bool xwayland) : FLog(runtime + "/weston.log")
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", runtime);
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        FProcess.setProcessEnvironment(environment);
        FProcess.setWorkingDirectory(runtime);
        FProcess.setStandardOutputFile(FLog);
        FProcess.setStandardErrorFile(FLog);
        QStringList arguments{"--backend=headless-backend.so",
                              QString("--socket=") + Socket,
                              "--idle-time=0",
                              "--use-pixman",
                              "--width=1024",
                              "--height=768",
                              "--debug"};
        if (xwayland)
            arguments << "--xwayland";
        FProcess.start("weston", arguments);
        Up = FProcess.waitForStarted(5000) &&
             WaitUntil([&] { return QFile::exists(runtime + "/" + Socket) || FProcess.state() != QProcess::Running; },
                       10000) &&
             FProcess.state() == QProcess::Running;
    }
    ~Weston()
    {
        FProcess.terminate();
        if (!FProcess.waitForFinished(3000))
            FProcess.kill();
        FProcess.waitForFinished(3000);
    }
    // The X display XWayland listens on (":N"), once Weston has said it.
    QString XDisplay()
    {
        QString display;
        WaitUntil(
            [&] {
                QFile log(FLog);
                log.open(QIODevice::ReadOnly);
                const QString text = QString::fromLocal8Bit(log.readAll());
                const int at = text.indexOf("xserver listening on display ");
                if (at >= 0)
                    display = text.mid(at + 29).section('\n', 0, 0).trimmed();
                return !display.isEmpty();
            },
            5000);
        return display;
    }
    QString Log() const
    {
        QFile log(FLog);
        log.open(QIODevice::ReadOnly);
        return QString::fromLocal8Bit(log.readAll());
    }

    bool Up = false;

private:
    QString FLog;
    QProcess FProcess;
};

// Where a 16 x 16 patch of `picture` taken at `from` shows on `screen`, if anywhere.
std::optional<QPoint> Find(const QImage& screen, const QImage& picture, QPoint from)
{
    const QImage patch = picture.copy(QRect(from, QSize(16, 16)));
    for (int y = 0; y + 16 <= screen.height(); ++y)
        for (int x = 0; x + 16 <= screen.width(); ++x) {
            bool same = true;
            for (int py = 0; py < 16 && same; ++py)
                for (int px = 0; px < 16 && same; ++px)
                    same = screen.pixel(x + px, y + py) == patch.pixel(px, py);
            if (same)
                return QPoint(x, y) - from;
        }
    return std::nullopt;
}

class OnWayland : public ::testing::Test {
protected:
    QString Runtime() const { return QString::fromStdString(FRuntime.path().string()); }
    // The program's environment on the Wayland session: no platform chosen by the user.
    QProcessEnvironment Session(const QString& xDisplay) const
    {
        QProcessEnvironment environment = CopyEnvironment(Runtime(), "");
        environment.remove("QT_QPA_PLATFORM");
        environment.insert("WAYLAND_DISPLAY", Weston::Socket);
        if (xDisplay.isEmpty())
            environment.remove("DISPLAY");
        else
            environment.insert("DISPLAY", xDisplay);
        return environment;
    }
    TempDir FRuntime;
};

} // namespace

// With XWayland the program runs on X11, where it places and drags its windows by position (as
// GNOME's and KDE's window managers honour). Weston's own window manager places X11 windows itself
// and ignores later moves, so only the platform is checked here, not the places.
TEST_F(OnWayland, WithXWaylandBothWindowsAreX11Windows)
{
    Weston weston(Runtime(), true);
    if (!weston.Up)
        GTEST_SKIP() << "Weston cannot start here: " << weston.Log().toStdString();
    const QString display = weston.XDisplay();
    ASSERT_FALSE(display.isEmpty()) << weston.Log().toStdString();
    const QByteArray ownDisplay = qgetenv("DISPLAY");
    qputenv("DISPLAY", display.toLocal8Bit()); // xdotool looks at XWayland
    auto copy = StartCopy(Session(display));
    const auto main = WaitForWindow("DuoDeck", {413, 284});
    const auto list = WaitForWindow("DuoDeck Playlists", {402, 249});
    qputenv("DISPLAY", ownDisplay);
    EXPECT_TRUE(main && list) << copy->readAllStandardError().constData();
    EXPECT_FALSE(copy->readAllStandardError().contains("Wayland"));
}

TEST_F(OnWayland, WithoutXWaylandTheProgramShowsBothWindowsSaysSoOnceAndClosesCleanly)
{
    Weston weston(Runtime(), false);
    if (!weston.Up)
        GTEST_SKIP() << "Weston cannot start here: " << weston.Log().toStdString();
    QProcessEnvironment session = Session("");
    // Under AddressSanitizer: Qt's Wayland client leaves libwayland's allocations behind at exit.
    session.insert("ASAN_OPTIONS", session.value("ASAN_OPTIONS") + ":detect_leaks=0");
    auto copy = StartCopy(session);
    QByteArray console;
    ASSERT_TRUE(WaitUntil(
        [&] {
            console += copy->readAllStandardError();
            return console.contains("cannot be kept together");
        },
        10000))
        << console.constData();

    // Both skins are on the screen, wherever the compositor put them.
    const QImage mainSkin = artwork::Load(artwork::SkinMain).convertToFormat(QImage::Format_RGB32);
    const QImage listSkin = artwork::Load(artwork::SkinList).convertToFormat(QImage::Format_RGB32);
    std::optional<QPoint> mainAt, listAt;
    WaitUntil(
        [&] {
            QProcess shooter;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("XDG_RUNTIME_DIR", Runtime());
            environment.insert("WAYLAND_DISPLAY", Weston::Socket);
            shooter.setProcessEnvironment(environment);
            shooter.setWorkingDirectory(Runtime());
            shooter.start("weston-screenshooter", {});
            shooter.waitForFinished(5000);
            for (const QString& name : QDir(Runtime()).entryList({"wayland-screenshot*.png"})) {
                const QImage screen = QImage(Runtime() + "/" + name).convertToFormat(QImage::Format_RGB32);
                QFile::remove(Runtime() + "/" + name);
                mainAt = Find(screen, mainSkin, {160, 40});
                // The compositor may lay the main window over part of it: any corner will do.
                for (const QPoint corner : {QPoint(20, 5), QPoint(360, 5), QPoint(20, 215), QPoint(360, 215)})
                    if (!listAt)
                        listAt = Find(screen, listSkin, corner);
            }
            return mainAt && listAt;
        },
        10000);
    EXPECT_TRUE(mainAt) << "the main window is not on the screen";
    EXPECT_TRUE(listAt) << "the playlist window is not on the screen";

    // A session's end (SIGTERM) closes it as its Close button does.
    ASSERT_EQ(copy->state(), QProcess::Running) << copy->readAllStandardError().constData();
    copy->terminate();
    ASSERT_TRUE(WaitUntil([&] { return copy->state() == QProcess::NotRunning; }, 5000))
        << "still running 5 s after SIGTERM";
    EXPECT_EQ(copy->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(copy->exitCode(), 0);
    console += copy->readAllStandardError();
    EXPECT_EQ(console.count("cannot be kept together"), 1) << console.constData();
}
