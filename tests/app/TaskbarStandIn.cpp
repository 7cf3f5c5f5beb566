#include "tests/app/TaskbarStandIn.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace apptest {

namespace {

// ICCCM 4.1.3.1: WM_STATE holds the state and an icon window, and its type is WM_STATE itself.
void Change(const QString& windowId, long state)
{
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return;
    const Window window = windowId.toULong();
    const Atom wmState = XInternAtom(display, "WM_STATE", False);
    long data[2] = {state, None};
    if (state == IconicState)
        XUnmapWindow(display, window);
    else
        XMapWindow(display, window);
    XChangeProperty(display, window, wmState, wmState, 32, PropModeReplace, reinterpret_cast<unsigned char*>(data), 2);
    XSync(display, False);
    XCloseDisplay(display);
}

} // namespace

void IconifyAsAWindowManagerDoes(const QString& windowId)
{
    Change(windowId, IconicState);
}

void RestoreAsATaskbarDoes(const QString& windowId)
{
    Change(windowId, NormalState);
}

} // namespace apptest
