// Synthetic input for widget tests: events delivered straight to one widget, as the window system
// would after its own routing (no grabs, no enter/leave synthesis).
#pragma once

#include <QApplication>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QWheelEvent>
#include <QWidget>

namespace send {

inline void Mouse(QWidget& w, QEvent::Type type, QPoint pos, Qt::MouseButton button, Qt::MouseButtons held)
{
    QMouseEvent e(type, QPointF(pos), w.mapToGlobal(QPointF(pos)), button, held, Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}
inline void Press(QWidget& w, QPoint pos, Qt::MouseButton b = Qt::LeftButton)
{
    Mouse(w, QEvent::MouseButtonPress, pos, b, b);
}
inline void Release(QWidget& w, QPoint pos, Qt::MouseButton b = Qt::LeftButton)
{
    Mouse(w, QEvent::MouseButtonRelease, pos, b, Qt::NoButton);
}
inline void Click(QWidget& w, QPoint pos)
{
    Press(w, pos);
    Release(w, pos);
}
// A move with the left button held (the only moves a widget without mouse tracking receives).
inline void Drag(QWidget& w, QPoint pos)
{
    Mouse(w, QEvent::MouseMove, pos, Qt::NoButton, Qt::LeftButton);
}
inline void Enter(QWidget& w)
{
    QEnterEvent e(QPointF(1, 1), QPointF(1, 1), w.mapToGlobal(QPointF(1, 1)));
    QApplication::sendEvent(&w, &e);
}
inline void Leave(QWidget& w)
{
    QEvent e(QEvent::Leave);
    QApplication::sendEvent(&w, &e);
}
inline void Wheel(QWidget& w, int delta)
{
    QWheelEvent e(QPointF(5, 20), w.mapToGlobal(QPointF(5, 20)), QPoint(), QPoint(0, delta), Qt::NoButton,
                  Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&w, &e);
}

} // namespace send
