// Mouse gestures sent straight to a widget, as the window system would deliver them: a press,
// moves with the button held, a release. Coordinates are the widget's own.
#pragma once

#include <QCoreApplication>
#include <QMouseEvent>
#include <QWidget>

inline void Mouse(QWidget* w, QEvent::Type type, QPoint p)
{
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent e(type, QPointF(p), QPointF(w->mapToGlobal(p)), button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &e);
}
