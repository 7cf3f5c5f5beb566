// Real-time scheduling of render threads: granted by the kernel where allowed and not inherited by
// a child; asked of RealtimeKit (a stand-in on a private bus) where the kernel refuses; refused
// everywhere, it says so once on the console.
#include "platform/kernel/Realtime.h"
#include "tests/support/Fixtures.h"

#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

namespace {

// RealtimeKit's interface on a private bus of its own, served by a thread of this process: it reports
// its limits and makes a thread SCHED_RR with reset-on-fork, as the service does.
class StandInRealtimeKit {
public:
    StandInRealtimeKit()
    {
        const std::string address = "unix:path=" + FDir.file("bus").string();
        const std::string listen = "--address=" + address;
        const char* argv[] = {"dbus-daemon", "--session", listen.c_str(), "--nofork", "--nopidfile", nullptr};
        if (posix_spawnp(&FDaemon, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
            return;
        for (int i = 0; i < 500 && !std::filesystem::exists(FDir.file("bus")); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        FBus = dbus_connection_open_private(address.c_str(), nullptr);
        if (!FBus || !dbus_bus_register(FBus, nullptr) ||
            dbus_bus_request_name(FBus, "org.freedesktop.RealtimeKit1", 0, nullptr) !=
                DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER)
            return;
        dbus_connection_add_filter(FBus, &StandInRealtimeKit::Handle, this, nullptr);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        FThread = std::thread([this] {
            while (!FStop.load() && dbus_connection_read_write_dispatch(FBus, 50)) {
            }
        });
    }
    ~StandInRealtimeKit()
    {
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        FStop.store(true);
        if (FThread.joinable())
            FThread.join();
        if (FBus) {
            dbus_connection_close(FBus);
            dbus_connection_unref(FBus);
        }
        if (FDaemon > 0) {
            kill(FDaemon, SIGTERM);
            waitpid(FDaemon, nullptr, 0);
        }
    }
    bool Serving() const { return FThread.joinable(); }
    unsigned Calls() const { return FCalls.load(); }

private:
    static DBusHandlerResult Handle(DBusConnection* bus, DBusMessage* message, void* user)
    {
        auto* self = static_cast<StandInRealtimeKit*>(user);
        DBusMessage* reply = nullptr;
        if (dbus_message_is_method_call(message, "org.freedesktop.RealtimeKit1", "MakeThreadRealtime")) {
            dbus_uint64_t thread = 0;
            dbus_uint32_t priority = 0;
            sched_param param{};
            rlimit rtTime{};
            getrlimit(RLIMIT_RTTIME, &rtTime);
            // As the service: only for a process that limits its real-time threads' CPU time.
            if (dbus_message_get_args(message, nullptr, DBUS_TYPE_UINT64, &thread, DBUS_TYPE_UINT32, &priority,
                                      DBUS_TYPE_INVALID) &&
                rtTime.rlim_max <= 200000 && (param.sched_priority = int(priority)) <= 20 &&
                sched_setscheduler(pid_t(thread), SCHED_RR | SCHED_RESET_ON_FORK, &param) == 0) {
                self->FCalls.fetch_add(1);
                reply = dbus_message_new_method_return(message);
            } else {
                reply = dbus_message_new_error(message, "org.freedesktop.DBus.Error.AccessDenied", "refused");
            }
        } else if (dbus_message_is_method_call(message, "org.freedesktop.DBus.Properties", "Get")) {
            const char *interface = nullptr, *name = nullptr;
            dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &name,
                                  DBUS_TYPE_INVALID);
            reply = dbus_message_new_method_return(message);
            DBusMessageIter it, variant;
            dbus_message_iter_init_append(reply, &it);
            if (name && std::string(name) == "RTTimeUSecMax") {
                const dbus_int64_t v = 200000;
                dbus_message_iter_open_container(&it, DBUS_TYPE_VARIANT, "x", &variant);
                dbus_message_iter_append_basic(&variant, DBUS_TYPE_INT64, &v);
            } else {
                const dbus_int32_t v = 20;
                dbus_message_iter_open_container(&it, DBUS_TYPE_VARIANT, "i", &variant);
                dbus_message_iter_append_basic(&variant, DBUS_TYPE_INT32, &v);
            }
            dbus_message_iter_close_container(&it, &variant);
        } else {
            return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
        }
        dbus_connection_send(bus, reply, nullptr);
        dbus_message_unref(reply);
        return DBUS_HANDLER_RESULT_HANDLED;
    }

    testsupport::TempDir FDir;
    pid_t FDaemon = -1;
    DBusConnection* FBus = nullptr;
    std::thread FThread;
    std::atomic<bool> FStop{false};
    std::atomic<unsigned> FCalls{0};
};

// Takes CAP_SYS_NICE from the calling thread (capabilities are a thread's own), so that the kernel
// refuses it real-time scheduling as it does an ordinary user's.
bool DropNiceCapability()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    data[0].effective &= ~(1u << CAP_SYS_NICE);
    data[0].permitted &= ~(1u << CAP_SYS_NICE);
    return syscall(SYS_capset, &header, data) == 0;
}

} // namespace

// The kernel refuses (no RLIMIT_RTPRIO, no CAP_SYS_NICE): the helper asks RealtimeKit, which makes
// the thread real-time, and nothing is said on the console.
TEST(RealtimeThread, RefusedByTheKernelItIsAskedOfRealtimeKit)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the stand-in service needs root to change another thread's scheduling";
    rlimit rtPrio{}, rtTime{};
    getrlimit(RLIMIT_RTPRIO, &rtPrio);
    getrlimit(RLIMIT_RTTIME, &rtTime);
    {
        StandInRealtimeKit service;
        ASSERT_TRUE(service.Serving()) << "no private bus (Debian package dbus)";
        const rlimit none{0, 0};
        setrlimit(RLIMIT_RTPRIO, &none);
        realtime::Prepare();
        testing::internal::CaptureStderr();
        std::string policy;
        std::thread([&] {
            ASSERT_TRUE(DropNiceCapability());
            realtime::RequestForThisThread();
            for (int i = 0; i < 200 && (policy = realtime::Describe(gettid())) == "SCHED_OTHER"; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }).join();
        EXPECT_EQ(policy, "SCHED_RR " + std::to_string(realtime::Priority) + " +reset-on-fork");
        EXPECT_EQ(service.Calls(), 1u);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
    setrlimit(RLIMIT_RTPRIO, &rtPrio);
    setrlimit(RLIMIT_RTTIME, &rtTime);
}
