#include "platform/ui/HiddenWindow.h"

#include <QCoreApplication>

namespace {

const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct MessageEvent : QEvent {
    MessageEvent(UINT m, WPARAM w, LPARAM l) : QEvent(kMessageEvent), message(m), wParam(w), lParam(l) {}
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

} // namespace

THiddenWindow::THiddenWindow(WndProc proc, QObject* parent) : QObject(parent), FProc(std::move(proc)) {}

THiddenWindow::~THiddenWindow() = default;

void THiddenWindow::PostMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    QCoreApplication::postEvent(this, new MessageEvent(message, wParam, lParam));
}

void THiddenWindow::SendMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (FProc)
        FProc(message, wParam, lParam);
}

bool THiddenWindow::event(QEvent* e)
{
    if (e->type() == kMessageEvent) {
        auto* m = static_cast<MessageEvent*>(e);
        SendMessage(m->message, m->wParam, m->lParam);
        return true;
    }
    return QObject::event(e);
}

void ProcessMessages()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}
