#include "platform/kernel/Kernel.h"
#include "platform/kernel/KeptFile.h"
#include "platform/kernel/Thread.h"
#include "platform/kernel/TimeScale.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

TEST(NamedMutex, SecondCreateOfANameReturnsTheSameMutexAndSaysSo)
{
    HANDLE a = CreateMutexA(nullptr, 0, "KernelTest.Same");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE b = CreateMutexA(nullptr, 1, "KernelTest.Same");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

    // Same object: owning it through one handle makes another thread time out on the other handle.
    ASSERT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0); // recursive for the owner
    DWORD other = 0;
    std::thread([&] { other = WaitForSingleObject(b, 20); }).join();
    EXPECT_EQ(other, WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(a));
    EXPECT_TRUE(ReleaseMutex(b));
    EXPECT_FALSE(ReleaseMutex(a));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    std::thread([&] {
        other = WaitForSingleObject(b, 20);
        ReleaseMutex(b);
    }).join();
    EXPECT_EQ(other, WAIT_OBJECT_0);

    CloseHandle(a);
    CloseHandle(b);
    // With its last handle closed the name is free again.
    HANDLE c = CreateMutexA(nullptr, 0, "KernelTest.Same");
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    CloseHandle(c);
}

TEST(NamedMutex, OwnerThreadEndingAbandonsIt)
{
    HANDLE m = CreateMutexA(nullptr, 0, nullptr);
    std::thread([&] { EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0); }).join();
    EXPECT_EQ(WaitForSingleObject(m, 100), WAIT_ABANDONED);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0); // the next wait is a plain one
    ReleaseMutex(m);
    ReleaseMutex(m);
    CloseHandle(m);
}

TEST(NamedMutex, OpenFindsOnlyExistingNames)
{
    EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, 0, "KernelTest.None"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    HANDLE m = CreateMutexA(nullptr, 0, "KernelTest.Open");
    HANDLE o = OpenMutexA(MUTEX_ALL_ACCESS, 0, "KernelTest.Open");
    ASSERT_NE(o, nullptr);
    CloseHandle(m);
    // The object lives on through the opened handle.
    EXPECT_EQ(WaitForSingleObject(o, 0), WAIT_OBJECT_0);
    ReleaseMutex(o);
    CloseHandle(o);
}

TEST(Event, AutoResetWakesOneWaitAndTimedWaitsFollowTheScale)
{
    HANDLE e = CreateEventA(nullptr, 0, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    SetEvent(e);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT); // reset by the wait

    timescale::Scope fast(100);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(e, 2000), WAIT_TIMEOUT); // 2 s of program time, 20 ms real
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    CloseHandle(e);

    HANDLE manual = CreateEventA(nullptr, 1, 1, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    ResetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    CloseHandle(manual);
}

TEST(TickCount, FollowsTheScaleAndWraps)
{
    timescale::Scope fast(50);
    const DWORD t0 = GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // ~1000 ms of program time
    const DWORD dt = GetTickCount() - t0;
    EXPECT_GE(dt, 900u);
    EXPECT_LT(dt, 5000u);

    // One second of program time before the wrap, then two seconds on (40 ms real at scale 50).
    SetTickCountOffset(0xFFFFFFFFu - 1000u - GetTickCount());
    const DWORD before = GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    const DWORD after = GetTickCount();
    SetTickCountOffset(0);
    EXPECT_GT(before, 0xFFFFFFFFu - 2000u);
    EXPECT_LT(after, before);          // wrapped
    EXPECT_LT(after - before, 60000u); // unsigned difference still right
}

namespace {
class CountingThread : public TThread {
public:
    CountingThread() : TThread(true) {}
    ~CountingThread() override { TerminateAndWait(); }
    std::atomic<int> loops{0};
    bool fail = false;

protected:
    void Execute() override
    {
        if (fail)
            throw std::runtime_error("body failed");
        while (!Terminated()) {
            ++loops;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};
} // namespace

TEST(Thread, SuspendedUntilStartedAndStopsOnTerminate)
{
    CountingThread t;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(t.Suspended());
    EXPECT_EQ(t.loops.load(), 0);
    t.Start();
    while (t.loops.load() == 0)
        std::this_thread::yield();
    t.TerminateAndWait();
    EXPECT_TRUE(t.Finished());

    CountingThread never; // destroyed without ever starting: must not hang
}

TEST(Thread, ExceptionInTheBodyIsKeptNotThrown)
{
    CountingThread t;
    t.fail = true;
    t.Start();
    t.WaitFor();
    EXPECT_EQ(t.FatalMessage(), "body failed");
}

TEST(Files, ExistsDeleteAndCopy)
{
    testsupport::TempDir dir;
    const std::string a = dir.file("a.bin").string(), b = dir.file("b.bin").string();
    EXPECT_FALSE(FileExists(a));
    EXPECT_FALSE(FileExists(dir.path().string())); // a folder is not a file
    testsupport::WriteBytes(a, {1, 2, 3});
    EXPECT_TRUE(FileExists(a));
    EXPECT_TRUE(CopyFile(a, b, true));
    EXPECT_EQ(testsupport::ReadBytes(b), (std::vector<uint8_t>{1, 2, 3}));
    testsupport::WriteBytes(a, {4});
    EXPECT_FALSE(CopyFile(a, b, true)); // exists
    EXPECT_TRUE(CopyFile(a, b, false));
    EXPECT_EQ(testsupport::ReadBytes(b), (std::vector<uint8_t>{4}));
    EXPECT_FALSE(CopyFile(dir.file("missing").string(), b, false));
    EXPECT_EQ(testsupport::ReadBytes(b), (std::vector<uint8_t>{4})); // a failed copy leaves the target
    EXPECT_FALSE(CopyFile(a, dir.file("no/such/folder/x").string(), false));
    EXPECT_TRUE(DeleteFile(a));
    EXPECT_FALSE(DeleteFile(a));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1); // no stray part files
}

// A link is read through only where the link and the file it ends at are both the user's own; any
// other link reads as nothing, with the reason, and a dangling link as a missing file.
TEST(Files, AKeptFileIsReadThroughALinkOnlyWhenTheLinkAndItsTargetAreTheUsers)
{
    testsupport::TempDir dir;
    testsupport::WriteBytes(dir.file("ours"), {'o'});
    std::filesystem::create_symlink("ours", dir.file("relative")); // relative to the link's folder
    std::filesystem::create_symlink(dir.file("relative"), dir.file("chained"));
    std::filesystem::create_symlink("gone", dir.file("dangling"));
    std::string problem;
    EXPECT_EQ(ReadKeptFile(dir.file("chained").string(), problem), "o");
    EXPECT_EQ(ReadKeptFile(dir.file("dangling").string(), problem), std::nullopt);
    EXPECT_EQ(problem, "");

    if (::geteuid() != 0)
        GTEST_SKIP() << "files of another user need root to make";
    testsupport::WriteBytes(dir.file("theirs"), {'t'});
    ASSERT_EQ(::chown(dir.file("theirs").c_str(), 65534, 65534), 0);
    std::filesystem::create_symlink(dir.file("theirs"), dir.file("to-theirs"));
    std::filesystem::create_symlink(dir.file("ours"), dir.file("planted"));
    ASSERT_EQ(::lchown(dir.file("planted").c_str(), 65534, 65534), 0);
    EXPECT_EQ(ReadKeptFile(dir.file("to-theirs").string(), problem), std::nullopt);
    EXPECT_EQ(problem, "a symbolic link to another user's file");
    EXPECT_EQ(ReadKeptFile(dir.file("planted").string(), problem), std::nullopt);
    EXPECT_EQ(problem, "a symbolic link made by another user");
}
