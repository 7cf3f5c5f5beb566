// A thread object in the old platform's manner: created suspended or running, a body `Execute`,
// a terminate flag the body polls, and a wait for the end. The body runs inside a catch-all:
// nothing escapes the thread; the failure is kept in FatalMessage().
// Owner thread: construct, Start, Terminate, WaitFor. A derived class must call TerminateAndWait()
// in its own destructor, before its members are destroyed under a running body.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

class TThread {
public:
    explicit TThread(bool createSuspended);
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts a suspended thread; does nothing for a started one.
    void Start();
    void Terminate() { FTerminated.store(true, std::memory_order_release); }
    bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
    // Waits until the body has returned; a never-started thread has nothing to wait for.
    void WaitFor();
    // Sets the terminate flag, starts the thread if suspended (so the body sees the flag), waits.
    void TerminateAndWait();
    bool Finished() const { return FFinished.load(std::memory_order_acquire); }
    bool Suspended() const;
    // The message of an exception that ended the body, or empty.
    std::string FatalMessage() const;

protected:
    virtual void Execute() = 0;

private:
    void Run();

    std::thread FThread;
    mutable std::mutex FLock; // guards FThread, FStarted and FFatal
    bool FStarted = false;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::string FFatal;
};
