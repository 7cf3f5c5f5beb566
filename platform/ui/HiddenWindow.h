// Hidden windows that receive posted messages: the update and device threads post, and the
// window procedure runs later on the thread that created the window (the UI thread), through
// its event loop. PostMessage may be called from any thread while the window exists.
// Messages travel through a queue under a plain mutex and an eventfd that wakes the window's
// event loop, so nothing the poster allocates is freed on the other thread behind a lock that
// the thread checkers cannot see.
#pragma once

#include <QObject>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

class QSocketNotifier;

using UINT = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;

constexpr UINT WM_USER = 0x0400;

class THiddenWindow : public QObject {
    Q_OBJECT
public:
    using WndProc = std::function<void(UINT message, WPARAM wParam, LPARAM lParam)>;

    explicit THiddenWindow(WndProc proc, QObject* parent = nullptr);
    ~THiddenWindow() override;

    // Queues the message; the window procedure sees it on the window's thread, in posting order.
    // Messages still queued when the window is destroyed are dropped.
    void PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    // Runs the window procedure now, on the calling thread.
    void SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    // Delivers the queued messages now (window thread only).
    void DeliverPosted();

private:
    struct Message {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };

    WndProc FProc;
    int FWakeFd = -1;
    QSocketNotifier* FNotifier = nullptr;
    std::mutex FLock; // guards FQueue
    std::deque<Message> FQueue;
};

// Delivers every message queued for windows of the calling thread, and Qt's posted events
// (tests, and code that must drain notifications before going on).
void ProcessMessages();
