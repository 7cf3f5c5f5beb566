// Xvfb runs no window manager. These do to a window of the program (an X window id, in decimal)
// what a window manager does when it iconifies it on the program's request, and what it does when
// the window's taskbar entry restores it. Qt learns the window's new state from its WM_STATE
// property. Each returns once the X server has done it.
#pragma once

#include <QString>

namespace apptest {

void IconifyAsAWindowManagerDoes(const QString& windowId);
void RestoreAsATaskbarDoes(const QString& windowId);

} // namespace apptest
