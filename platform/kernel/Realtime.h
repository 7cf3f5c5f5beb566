// Real-time scheduling for the threads that feed a sound device, so that other programs' load does
// not make the sound drop out. A render thread calls RequestForThisThread once, at its first render.
// The kernel is asked directly (SCHED_FIFO, where RLIMIT_RTPRIO or root allows it); failing that, a
// helper thread asks RealtimeKit over the system bus; failing that too, one console line says the
// sound may drop out under load and how to allow real-time scheduling. Forked children start at
// normal priority (SCHED_RESET_ON_FORK).
#pragma once

#include <sys/types.h>

#include <string>

namespace realtime {

// The priority asked for: modest, below the sound servers' own threads (PulseAudio's 5, PipeWire's
// 20 and up), above every normal thread.
constexpr int Priority = 4;

// Any thread but a render thread: starts the helper that asks RealtimeKit on a render thread's
// behalf. Idempotent; RequestForThisThread without it only tries the kernel.
void Prepare();

// Render thread: one system call; no lock, no allocation, no output. A refusal hands the thread's
// id to the helper, which may take a D-Bus round trip to answer.
void RequestForThisThread();

// Names the calling thread as `ps` and `top` show it (at most 15 characters kept).
void NameThisThread(const char* name);

// The scheduling policy and priority of thread `tid` of this process, as "SCHED_FIFO 4",
// "SCHED_OTHER" and the like, "+reset-on-fork" when set. For tests and benchmarks.
std::string Describe(pid_t tid);

// Threads of this process whose policy is SCHED_FIFO or SCHED_RR. For tests and benchmarks.
int RealtimeThreads();

} // namespace realtime
