#include "widgets/WindowMove.h"

#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

bool CompositorMoves(QWidget* widget)
{
    if (!QGuiApplication::platformName().startsWith("wayland"))
        return false;
    QWindow* window = widget->window()->windowHandle();
    return window && window->startSystemMove();
}
