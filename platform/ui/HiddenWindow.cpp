#include "platform/ui/HiddenWindow.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <sys/eventfd.h>
#include <unistd.h>

#include <stdexcept>

THiddenWindow::THiddenWindow(WndProc proc, QObject* parent) : QObject(parent), FProc(std::move(proc))
{
    FWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FWakeFd < 0)
        throw std::runtime_error("Cannot create the message queue of a hidden window.");
    FNotifier = new QSocketNotifier(FWakeFd, QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [this] { DeliverPosted(); });
}

THiddenWindow::~THiddenWindow()
{
    delete FNotifier;
    ::close(FWakeFd);
}

void THiddenWindow::PostMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    {
        std::lock_guard<std::mutex> g(FLock);
        FQueue.push_back({message, wParam, lParam});
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(FWakeFd, &one, sizeof one);
}

void THiddenWindow::SendMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (FProc)
        FProc(message, wParam, lParam);
}

void THiddenWindow::DeliverPosted()
{
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(FWakeFd, &count, sizeof count);
    for (;;) {
        Message m;
        {
            std::lock_guard<std::mutex> g(FLock);
            if (FQueue.empty())
                return;
            m = FQueue.front();
            FQueue.pop_front();
        }
        SendMessage(m.message, m.wParam, m.lParam);
    }
}

void ProcessMessages()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}
