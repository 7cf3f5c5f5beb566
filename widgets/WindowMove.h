// Moving a skinned window where the program cannot place its own windows: on a Wayland session
// without XWayland a client has no global positions, so a drag is handed to the compositor, which
// moves that one window. UI thread only.
#pragma once

class QWidget;

// True when the compositor took over the drag of `widget`'s window (the caller then does not move it
// itself); false where the program places its windows by position (X11).
bool CompositorMoves(QWidget* widget);
