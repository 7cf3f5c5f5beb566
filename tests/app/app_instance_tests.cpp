// One copy at a time: the guard itself, and real duodeck processes meeting it.
#include "platform/kernel/SingleInstance.h"
#include "tests/app/Processes.h"
#include "tests/support/Fixtures.h"

#include <QLocalSocket>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <string>

#include <sys/stat.h>

using apptest::CopyEnvironment;
using apptest::StartCopy;
using apptest::WaitUntil;
using testsupport::TempDir;

namespace {

const QString GuardName = "RunOnlyOnce_MyProject";

QString Folder(const TempDir& dir)
{
    return QString::fromStdString(dir.path().string());
}

// Whether a process holds the lock of the guard's file, read from /proc/locks: looking takes no lock.
// (A probe that took the lock itself could hold it just when the copy looks, which then runs as a
// second copy and never holds the guard.)
bool GuardHeld(const TempDir& runtime)
{
    struct stat file {};
    if (::stat(TSingleInstance(GuardName, Folder(runtime)).LockPath().toLocal8Bit().constData(), &file) != 0)
        return false;
    const std::string inode = ":" + std::to_string(file.st_ino) + " ";
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);)
        if (line.find(inode) != std::string::npos)
            return true;
    return false;
}

} // namespace

TEST(SingleInstance, OneHolderAtATimeAndOnlyTheActivateMessageCounts)
{
    TempDir runtime;
    auto first = std::make_unique<TSingleInstance>(GuardName, Folder(runtime));
    ASSERT_TRUE(first->Acquire());
    QSignalSpy requests(first.get(), &TSingleInstance::ActivationRequested);

    TSingleInstance second(GuardName, Folder(runtime));
    EXPECT_FALSE(second.Acquire());

    // Anything but the activation message is ignored.
    QLocalSocket stranger;
    stranger.connectToServer(first->SocketPath());
    ASSERT_TRUE(stranger.waitForConnected(2000));
    stranger.write("show yourself\n");
    stranger.flush();
    EXPECT_FALSE(requests.wait(300));

    EXPECT_TRUE(second.RequestActivation(2000));
    EXPECT_TRUE(WaitUntil([&] { return requests.count() == 1; }, 5000));

    // Once the first lets go, the next one in becomes the first.
    first.reset();
    TSingleInstance third(GuardName, Folder(runtime));
    EXPECT_TRUE(third.Acquire());
}

TEST(SingleInstance, RequestWithNobodyListeningGivesUp)
{
    TempDir runtime;
    TSingleInstance lone(GuardName, Folder(runtime));
    EXPECT_FALSE(lone.RequestActivation(200));
}

TEST(SecondCopy, HandsOverToTheFirstAndExitsWithoutAWindow)
{
    TempDir runtime;
    TSingleInstance first(GuardName, Folder(runtime));
    ASSERT_TRUE(first.Acquire());
    QSignalSpy requests(&first, &TSingleInstance::ActivationRequested);

    auto copy = StartCopy(CopyEnvironment(Folder(runtime), "offscreen"));
    ASSERT_TRUE(WaitUntil([&] { return copy->state() == QProcess::NotRunning; }, 20000))
        << "the second copy kept running";
    EXPECT_EQ(copy->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(copy->exitCode(), 0) << copy->readAllStandardError().constData();
    EXPECT_TRUE(WaitUntil([&] { return requests.count() == 1; }, 5000));
}

TEST(SecondCopy, ACrashedFirstCopyLeavesNoStaleGuard)
{
    TempDir runtime;
    auto crashed = StartCopy(CopyEnvironment(Folder(runtime), "offscreen"));
    // The copy is up once it holds the guard.
    ASSERT_TRUE(WaitUntil([&] { return GuardHeld(runtime); }, 20000)) << crashed->readAllStandardError().constData();
    ::kill(static_cast<pid_t>(crashed->processId()), SIGKILL);
    ASSERT_TRUE(crashed->waitForFinished(5000));

    // Its lock went with it; its socket file is still there and is replaced.
    TSingleInstance next(GuardName, Folder(runtime));
    ASSERT_TRUE(next.Acquire());
    QSignalSpy requests(&next, &TSingleInstance::ActivationRequested);
    auto copy = StartCopy(CopyEnvironment(Folder(runtime), "offscreen"));
    ASSERT_TRUE(WaitUntil([&] { return copy->state() == QProcess::NotRunning; }, 20000));
    EXPECT_EQ(copy->exitCode(), 0);
    EXPECT_TRUE(WaitUntil([&] { return requests.count() == 1; }, 5000));
}

TEST(Start, WithoutADisplayItSaysSoAndFails)
{
    TempDir runtime;
    QProcessEnvironment environment = CopyEnvironment(Folder(runtime), "");
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        environment.remove(name);
    auto copy = StartCopy(environment);
    ASSERT_TRUE(copy->waitForFinished(20000));
    EXPECT_EQ(copy->exitStatus(), QProcess::NormalExit); // no abort
    EXPECT_EQ(copy->exitCode(), 1);
    EXPECT_TRUE(copy->readAllStandardError().contains("needs a graphical display"));
}
