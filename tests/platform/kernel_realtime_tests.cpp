// Real-time scheduling of render threads: granted by the kernel where allowed and not inherited by
// a child; refused, it says so once on the console.
#include "platform/kernel/Realtime.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

TEST(RealtimeThread, TheKernelGrantsItWhereAllowedAndAChildStartsAtNormalPriority)
{
    rlimit limit{};
    getrlimit(RLIMIT_RTPRIO, &limit);
    if (geteuid() != 0 && limit.rlim_cur < rlim_t(realtime::Priority))
        GTEST_SKIP() << "neither root nor an RLIMIT_RTPRIO of " << realtime::Priority << " here";
    std::string policy;
    int childStatus = -1;
    std::thread([&] {
        realtime::RequestForThisThread();
        policy = realtime::Describe(gettid());
        const pid_t child = fork();
        if (child == 0)
            _exit((sched_getscheduler(0) & ~SCHED_RESET_ON_FORK) == SCHED_OTHER ? 0 : 1);
        waitpid(child, &childStatus, 0);
    }).join();
    EXPECT_EQ(policy, "SCHED_FIFO " + std::to_string(realtime::Priority) + " +reset-on-fork");
    EXPECT_EQ(realtime::Describe(gettid()), "SCHED_OTHER");
    EXPECT_TRUE(WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0) << "the child kept real-time scheduling";
}

// In a child process without the right and without a system bus: two render threads ask, the
// console gets one line, and the threads run on at normal priority. Exits 0 when so.
[[noreturn]] static void AskWithoutTheRight()
{
    const rlimit none{0, 0};
    setrlimit(RLIMIT_RTPRIO, &none);
    if (geteuid() == 0 && setresuid(65534, 65534, 65534) != 0)
        std::_Exit(90);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/duodeck-test-bus", 1);
    char path[] = "/tmp/duodeck-realtime-XXXXXX";
    dup2(mkstemp(path), STDERR_FILENO);
    realtime::Prepare();
    std::string policies;
    for (int i = 0; i < 2; ++i)
        std::thread([&] {
            realtime::RequestForThisThread();
            policies += realtime::Describe(gettid()) + ";";
        }).join();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    FILE* in = std::fopen(path, "r");
    int lines = 0, said = 0;
    char text[1024];
    while (in && std::fgets(text, sizeof text, in)) {
        ++lines;
        said += std::string(text).find("the sound may drop out") != std::string::npos;
    }
    unlink(path);
    std::_Exit(policies == "SCHED_OTHER;SCHED_OTHER;" && lines == 1 && said == 1 ? 0 : 10 + lines);
}

TEST(RealtimeThread, RefusedEverywhereItSaysSoOnce)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(AskWithoutTheRight(), testing::ExitedWithCode(0), "");
}
