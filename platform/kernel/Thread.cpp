#include "platform/kernel/Thread.h"

#include "platform/kernel/Realtime.h"

#include <cstdio>
#include <exception>

TThread::TThread(bool createSuspended)
{
    if (!createSuspended)
        Start();
}

TThread::~TThread()
{
    // A derived class should have stopped the body already; this catches the case where it did not
    // start the thread at all.
    Terminate();
    if (FThread.joinable())
        FThread.join();
}

void TThread::Start()
{
    std::lock_guard<std::mutex> g(FLock);
    if (!FStarted) {
        FStarted = true;
        FThread = std::thread([this] {
            realtime::NameThisThread("duodeck-refill");
            Run();
        });
    }
}

bool TThread::Suspended() const
{
    std::lock_guard<std::mutex> g(FLock);
    return !FStarted;
}

void TThread::Run()
{
    try {
        Execute();
    } catch (const std::exception& e) {
        std::lock_guard<std::mutex> g(FLock);
        FFatal = e.what();
    } catch (...) {
        std::lock_guard<std::mutex> g(FLock);
        FFatal = "unknown exception";
    }
    FFinished.store(true, std::memory_order_release);
}

void TThread::WaitFor()
{
    std::thread t;
    {
        std::lock_guard<std::mutex> g(FLock);
        if (!FThread.joinable() || FThread.get_id() == std::this_thread::get_id())
            return;
        t = std::move(FThread);
    }
    t.join();
}

void TThread::TerminateAndWait()
{
    Terminate();
    Start();
    WaitFor();
}

std::string TThread::FatalMessage() const
{
    std::lock_guard<std::mutex> g(FLock);
    return FFatal;
}
