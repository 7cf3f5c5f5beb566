#include "platform/kernel/Realtime.h"

#include <dbus/dbus.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <semaphore>
#include <thread>

namespace realtime {

namespace {

// Thread ids the kernel refused, waiting for the helper (0: a free slot). More render threads than
// this at once do not exist; a request that finds no slot is dropped.
std::array<std::atomic<pid_t>, 16> Pending{};
std::counting_semaphore<> Wake{0};
std::atomic<bool> HelperRuns{false};
std::atomic<int> KernelError{0};

// RealtimeKit lets a thread run this long (µs) without blocking when its service does not say.
constexpr long long DefaultRtTimeUs = 200000;

// RLIMIT_RTPRIO caps what an unprivileged thread may take; root is not capped.
int PriorityAllowed()
{
    rlimit limit{};
    if (geteuid() != 0 && getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur > 0 && limit.rlim_cur < rlim_t(Priority))
        return int(limit.rlim_cur);
    return Priority;
}

// One of RealtimeKit's numeric properties; false when the service does not give it.
bool Property(DBusConnection* bus, const char* name, long long& value)
{
    DBusMessage* call = dbus_message_new_method_call("org.freedesktop.RealtimeKit1", "/org/freedesktop/RealtimeKit1",
                                                     "org.freedesktop.DBus.Properties", "Get");
    if (!call)
        return false;
    const char* interface = "org.freedesktop.RealtimeKit1";
    dbus_message_append_args(call, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, 1000, nullptr);
    dbus_message_unref(call);
    if (!reply)
        return false;
    bool ok = false;
    DBusMessageIter it, variant;
    if (dbus_message_iter_init(reply, &it) && dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_VARIANT) {
        dbus_message_iter_recurse(&it, &variant);
        const int type = dbus_message_iter_get_arg_type(&variant);
        if (type == DBUS_TYPE_INT32) {
            dbus_int32_t v = 0;
            dbus_message_iter_get_basic(&variant, &v);
            value = v;
            ok = true;
        } else if (type == DBUS_TYPE_INT64) {
            dbus_int64_t v = 0;
            dbus_message_iter_get_basic(&variant, &v);
            value = v;
            ok = true;
        }
    }
    dbus_message_unref(reply);
    return ok;
}

// Asks RealtimeKit to make thread `tid` real-time; false with `why` when it will not.
bool AskRealtimeKit(pid_t tid, std::string& why)
{
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* bus = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (!bus) {
        why = std::string("no system bus: ") + (error.message ? error.message : "");
        dbus_error_free(&error);
        return false;
    }
    dbus_connection_set_exit_on_disconnect(bus, FALSE);
    long long maxPriority = Priority, rtTimeUs = DefaultRtTimeUs;
    Property(bus, "MaxRealtimePriority", maxPriority);
    Property(bus, "RTTimeUSecMax", rtTimeUs);
    // RealtimeKit serves only a process whose real-time threads cannot hang the machine: one with a
    // CPU-time limit between blocking calls no longer than its own.
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) == 0 &&
        (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > rlim_t(rtTimeUs))) {
        limit.rlim_cur = limit.rlim_max = rlim_t(rtTimeUs);
        setrlimit(RLIMIT_RTTIME, &limit);
    }
    bool ok = false;
    if (DBusMessage* call =
            dbus_message_new_method_call("org.freedesktop.RealtimeKit1", "/org/freedesktop/RealtimeKit1",
                                         "org.freedesktop.RealtimeKit1", "MakeThreadRealtime")) {
        const dbus_uint64_t thread = dbus_uint64_t(tid);
        const dbus_uint32_t priority = dbus_uint32_t(std::min<long long>(Priority, std::max(1LL, maxPriority)));
        dbus_message_append_args(call, DBUS_TYPE_UINT64, &thread, DBUS_TYPE_UINT32, &priority, DBUS_TYPE_INVALID);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, 2000, &error);
        dbus_message_unref(call);
        if (reply) {
            ok = dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
            dbus_message_unref(reply);
        } else {
            why = std::string("RealtimeKit: ") + (error.message ? error.message : "no answer");
            dbus_error_free(&error);
        }
    }
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
    return ok;
}

void Helper()
{
    bool told = false;
    for (;;) {
        Wake.acquire();
        for (std::atomic<pid_t>& slot : Pending) {
            const pid_t tid = slot.exchange(0, std::memory_order_acq_rel);
            if (tid == 0)
                continue;
            std::string why;
            if (AskRealtimeKit(tid, why) || told)
                continue;
            told = true;
            std::fprintf(stderr,
                         "DuoDeck: the sound may drop out while the machine is busy: real-time scheduling was "
                         "refused (%s; %s). To allow it, install the RealtimeKit service (Debian package rtkit) or "
                         "give the user a real-time limit (\"@audio - rtprio %d\" in /etc/security/limits.d/, and "
                         "the user in group audio)\n",
                         std::strerror(KernelError.load(std::memory_order_relaxed)), why.c_str(), Priority);
        }
    }
}

} // namespace

void Prepare()
{
    static std::once_flag once;
    std::call_once(once, [] {
        dbus_threads_init_default();
        std::thread(Helper).detach();
        HelperRuns.store(true, std::memory_order_release);
    });
}

void RequestForThisThread()
{
    sched_param param{};
    param.sched_priority = PriorityAllowed();
    if (sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0)
        return;
    KernelError.store(errno, std::memory_order_relaxed);
    if (!HelperRuns.load(std::memory_order_acquire))
        return;
    const pid_t tid = gettid();
    for (std::atomic<pid_t>& slot : Pending) {
        pid_t free = 0;
        if (slot.compare_exchange_strong(free, tid, std::memory_order_acq_rel)) {
            Wake.release();
            return;
        }
    }
}

void NameThisThread(const char* name)
{
    pthread_setname_np(pthread_self(), name);
}

std::string Describe(pid_t tid)
{
    const int policy = sched_getscheduler(tid);
    if (policy < 0)
        return "unknown";
    sched_param param{};
    sched_getparam(tid, &param);
    std::string text;
    switch (policy & ~SCHED_RESET_ON_FORK) {
    case SCHED_FIFO:
        text = "SCHED_FIFO " + std::to_string(param.sched_priority);
        break;
    case SCHED_RR:
        text = "SCHED_RR " + std::to_string(param.sched_priority);
        break;
    case SCHED_BATCH:
        text = "SCHED_BATCH";
        break;
    case SCHED_IDLE:
        text = "SCHED_IDLE";
        break;
    default:
        text = "SCHED_OTHER";
    }
    if (policy & SCHED_RESET_ON_FORK)
        text += " +reset-on-fork";
    return text;
}

int RealtimeThreads()
{
    int n = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
        const int policy = sched_getscheduler(std::atoi(entry.path().filename().c_str())) & ~SCHED_RESET_ON_FORK;
        n += policy == SCHED_FIFO || policy == SCHED_RR;
    }
    return n;
}

} // namespace realtime
