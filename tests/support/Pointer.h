// The pointer as the window system drives it: events handed to a window, not to a widget. Qt then
// finds the widget under the pointer (or the one holding the mouse since the press), passes what a
// widget ignores on to its parent, makes a second press soon after a click a double click, and
// opens context menus on a right press. Coordinates are the window's own as it stood when the
// Pointer was made: they name a place on the screen, which a window moved meanwhile has moved away
// from. Needs Qt6::Test.
#pragma once

#include <QGuiApplication>
#include <QStyleHints>
#include <QTest>
#include <QWidget>
#include <QWindow>

namespace testsupport {

class Pointer {
public:
    explicit Pointer(QWidget* window)
        : FWindow(window->window()->windowHandle()), FOrigin(FWindow->mapToGlobal(QPoint(0, 0)))
    {
        Pause();
    }

    void Press(QPoint p, Qt::MouseButton button = Qt::LeftButton)
    {
        FHeld |= button;
        Send(p, button, QEvent::MouseButtonPress);
    }
    void Release(QPoint p, Qt::MouseButton button = Qt::LeftButton)
    {
        FHeld &= ~button;
        Send(p, button, QEvent::MouseButtonRelease);
    }
    void Move(QPoint p) { Send(p, Qt::NoButton, QEvent::MouseMove); }
    // The next press is a press of its own, not the second one of a double click.
    void Pause() { QTest::lastMouseTimestamp += QGuiApplication::styleHints()->mouseDoubleClickInterval() + 1; }

private:
    // Events 10 ms apart, on the clock QTest's own gestures use.
    void Send(QPoint p, Qt::MouseButton button, QEvent::Type type)
    {
        QTest::lastMouseTimestamp += 10;
        const QPoint screen = FOrigin + p;
        qt_handleMouseEvent(FWindow, FWindow->mapFromGlobal(screen), screen, FHeld, button, type, Qt::NoModifier,
                            QTest::lastMouseTimestamp);
    }

    QWindow* FWindow;
    QPoint FOrigin;
    Qt::MouseButtons FHeld;
};

} // namespace testsupport
