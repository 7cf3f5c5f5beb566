// The real executable on a real X server, driven only through the pointer and the keyboard: two
// playlists read from its folder, Play both, the crossfader dragged, a recording taken and saved
// through the save dialog, Close writing the lists back; then a second copy meeting the first.
// Skips without an X display (ctest runs it under xvfb-run).
#include "decode/MxAudioFileRead.h"
#include "tests/app/Processes.h"
#include "tests/support/Fixtures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QThread>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>

using apptest::WaitUntil;
using testsupport::TempDir;

namespace {

// Design geometry of the two windows on the screen (no window manager under Xvfb moves them).
const QPoint MainAt(205, 128);
const QPoint ListAt(205, 128 + 228);

QString Xdo(const QStringList& arguments)
{
    return apptest::Run("xdotool", arguments);
}

bool Visible(const QString& title)
{
    return !Xdo({"search", "--onlyvisible", "--name", "^" + title + "$"}).trimmed().isEmpty();
}

void MoveTo(QPoint p)
{
    Xdo({"mousemove", QString::number(p.x()), QString::number(p.y())});
}

void Click(QPoint p)
{
    MoveTo(p);
    Xdo({"click", "1"});
}

// Press on `from`, move `dx` pixels to the right one pixel at a time, release.
void DragRight(QPoint from, int dx)
{
    MoveTo(from);
    Xdo({"mousedown", "1"});
    for (int i = 1; i <= dx; ++i)
        MoveTo(from + QPoint(i, 0));
    Xdo({"mouseup", "1"});
}

std::string Text(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

class EndToEndOnX : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "no X display (run under xvfb-run)";
        if (Xdo({"getdisplaygeometry"}).isEmpty())
            GTEST_SKIP() << "xdotool cannot reach the X display";
        // Xvfb resets when its last client leaves, and a client connecting meanwhile is refused:
        // one client stays connected for the whole test.
        FKeeper.setStandardOutputFile(QProcess::nullDevice());
        FKeeper.start("xprop", {"-root", "-spy"});
        FKeeper.waitForStarted(5000);
        // The program reads its lists from, and records beside, its own executable.
        const QString exe = DUODECK_EXE;
        ASSERT_TRUE(QFile::copy(exe, Folder() + "/duodeck"));
        ASSERT_TRUE(QFile::copy(QFileInfo(exe).dir().filePath("help.html"), Folder() + "/help.html"));
        std::filesystem::create_directory(FRuntime.file("runtime"));
        std::filesystem::permissions(FRuntime.file("runtime"), std::filesystem::perms::owner_all);
    }

    void TearDown() override
    {
        FKeeper.kill();
        FKeeper.waitForFinished(5000);
    }

    QString Folder() const { return QString::fromStdString(FFolder.path().string()); }

    // A copy of the program started from the scratch folder, which is also its working folder.
    std::unique_ptr<QProcess, void (*)(QProcess*)> Start()
    {
        std::unique_ptr<QProcess, void (*)(QProcess*)> process(new QProcess, [](QProcess* p) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
            delete p;
        });
        process->setProcessEnvironment(
            apptest::CopyEnvironment(QString::fromStdString(FRuntime.file("runtime").string()), "xcb"));
        process->setWorkingDirectory(Folder());
        process->start(Folder() + "/duodeck", {});
        process->waitForStarted(10000);
        return process;
    }

    static bool Ended(QProcess& p) { return p.state() == QProcess::NotRunning; }

    TempDir FFolder;
    TempDir FRuntime;
    QProcess FKeeper;
};

} // namespace

TEST_F(EndToEndOnX, RecordsTheMixThroughTheWindowsAndKeepsThePlaylists)
{
    const int rate = 44100;
    testsupport::WriteMp3S16(FFolder.file("left.mp3"), rate, 2, testsupport::SineS16(rate * 20, rate, 2, 440, 10000));
    testsupport::WriteWavS16(FFolder.file("right.wav"), rate, 2, testsupport::SineS16(rate * 20, rate, 2, 1000, 10000));
    // Bare line feeds on the way in: CRLF on the way out shows that Close wrote them.
    const std::map<std::string, std::string> lists = {{"FileListLeft.ini", FFolder.file("left.mp3").string()},
                                                      {"Listbox1.ini", "left.mp3"},
                                                      {"FileListRight.ini", FFolder.file("right.wav").string()},
                                                      {"Listbox2.ini", "right.wav"}};
    for (const auto& [file, line] : lists) {
        const std::string text = line + "\n";
        testsupport::WriteBytes(FFolder.file(file), std::vector<uint8_t>(text.begin(), text.end()));
    }
    // The original crossfader's ratio, with the songs as they are.
    const std::string settings = "[Mixer]\nCrossfader=original\nAutoGain=false\n";
    testsupport::WriteBytes(FFolder.file("Settings.ini"), std::vector<uint8_t>(settings.begin(), settings.end()));

    auto copy = Start();
    ASSERT_TRUE(WaitUntil([] { return Visible("DuoDeck") && Visible("DuoDeck Playlists"); }, 20000))
        << copy->readAllStandardError().constData();
    // The windows map before their first paint and before the lists are filled.
    QThread::msleep(500);

    // One entry in each box, Play both, then the crossfader 4 px right of its centre (192): the
    // right deck stays at full volume, the left volume knob goes to 2 * (4 + 32) = 72.
    Click(ListAt + QPoint(16 + 40, 32 + 6));
    Click(ListAt + QPoint(200 + 40, 32 + 6));
    Click(MainAt + QPoint(168 + 4, 118 + 4));
    const int fader = 4;
    DragRight(MainAt + QPoint(192 + 4, 88 + 10), fader);
    const int leftVolume = (32 - 2 * (fader + 32)) * 4000 / 152; // hundredths of a dB: -1052

    QThread::msleep(300);
    const QPoint record = MainAt + QPoint(40 + 30, 188 + 12);
    Click(record);
    QElapsedTimer recorded;
    recorded.start();
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(FFolder.file("tem.Mp3")); }, 5000));
    const QString shot = QString(SCREENSHOT_DIR) + "/duodeck_endtoend.png";
    EXPECT_EQ(QProcess::execute("import", {"-window", "root", shot}), 0);
    const QImage screen(shot);
    ASSERT_FALSE(screen.isNull());
    QThread::msleep(static_cast<unsigned long>(std::max<qint64>(0, 3500 - recorded.elapsed())));
    Click(record);
    const double seconds = recorded.elapsed() / 1000.0;

    // Save: the dialog opens on the working folder with the name field focused.
    Click(MainAt + QPoint(168 + 30, 188 + 12));
    ASSERT_TRUE(WaitUntil([] { return Visible("Save As"); }, 10000));
    QThread::msleep(300);
    Xdo({"type", "--delay", "30", "mix"});
    Xdo({"key", "Return"});
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(FFolder.file("mix.mp3")); }, 10000));
    EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists(FFolder.file("tem.Mp3")); }, 5000));

    // Close ends the program normally and writes the four lists back with CRLF.
    Click(MainAt + QPoint(368 + 7, 11 + 7));
    ASSERT_TRUE(WaitUntil([&] { return Ended(*copy); }, 10000));
    EXPECT_EQ(copy->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(copy->exitCode(), 0) << copy->readAllStandardError().constData();
    for (const auto& [file, line] : lists)
        EXPECT_EQ(Text(testsupport::ReadBytes(FFolder.file(file))), line + "\r\n") << file;

    // The recording: 48 kHz stereo, from click to click.
    TMxAudioFileReader mix(FFolder.file("mix.mp3").string());
    EXPECT_EQ(mix.Format().nSamplesPerSec, 48000u);
    EXPECT_EQ(mix.Format().nChannels, 2);
    EXPECT_GE(mix.Duration() / 1e7, seconds - 0.2);
    EXPECT_LE(mix.Duration() / 1e7, seconds + 0.2);
    std::vector<int16_t> pcm(static_cast<size_t>(mix.Duration() / 1e7 * 48000 * 2) + 4096);
    pcm.resize(mix.Read(pcm.data(), static_cast<uint32_t>(pcm.size() * 2) & ~3u) / 2);
    ASSERT_GT(pcm.size(), 48000u * 2);
    // Past the encoder's start, both tones at the ratio the crossfader gave, on both channels.
    const std::vector<int16_t> body(pcm.begin() + 48000 * 2 / 4, pcm.end());
    for (int channel = 0; channel < 2; ++channel) {
        const double left = testsupport::ToneLevel(body, 2, channel, 48000, 440),
                     right = testsupport::ToneLevel(body, 2, channel, 48000, 1000);
        EXPECT_NEAR(right, 10000, 1500) << channel;
        EXPECT_NEAR(left / right, std::pow(10.0, leftVolume / 2000.0), 0.05) << channel;
    }

    // A second copy started while the first runs (and reads the lists just written) ends at once
    // with success and leaves the first running.
    auto first = Start();
    ASSERT_TRUE(WaitUntil([] { return Visible("DuoDeck") && Visible("DuoDeck Playlists"); }, 20000));
    auto second = Start();
    ASSERT_TRUE(WaitUntil([&] { return Ended(*second); }, 20000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0) << second->readAllStandardError().constData();
    QThread::msleep(500);
    EXPECT_FALSE(Ended(*first));
    Click(MainAt + QPoint(368 + 7, 11 + 7));
    EXPECT_TRUE(WaitUntil([&] { return Ended(*first); }, 10000));
    EXPECT_EQ(first->exitCode(), 0);
    for (const auto& [file, line] : lists)
        EXPECT_EQ(Text(testsupport::ReadBytes(FFolder.file(file))), line + "\r\n") << file;
}
