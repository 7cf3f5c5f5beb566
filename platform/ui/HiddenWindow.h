// Hidden windows that receive posted messages: the update and device threads post, and the
// window procedure runs later on the thread that created the window (the UI thread), through
// its event loop. PostMessage may be called from any thread while the window exists.
#pragma once

#include <QEvent>
#include <QObject>

#include <cstdint>
#include <functional>

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

    // Queues the message; the window procedure sees it on the window's thread. Messages still
    // queued when the window is destroyed are dropped.
    void PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    // Runs the window procedure now, on the calling thread.
    void SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

protected:
    bool event(QEvent* e) override;

private:
    WndProc FProc;
};

// Delivers every message queued for windows of the calling thread (tests, and code that must
// drain notifications before going on).
void ProcessMessages();
