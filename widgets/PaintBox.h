// A paint box: a transparent rectangle of a skin that its owner draws into with a pen of its own
// (the level displays of the main window). It paints nothing itself: each paint calls OnPaint with a
// painter set up with Pen, so the skin shows through wherever OnPaint draws nothing. UI thread only.
#pragma once

#include <QPainter>
#include <QPen>
#include <QWidget>

#include <functional>

class TPaintBox : public QWidget {
    Q_OBJECT
public:
    explicit TPaintBox(QWidget* owner = nullptr);

    QPen Pen;
    std::function<void(QPainter& canvas)> OnPaint;

protected:
    void paintEvent(QPaintEvent* event) override;
    // The box takes the mouse presses on it and does nothing with them: passed on, they would reach
    // the window's surface, which takes a press as the start of a drag of the window.
    void mousePressEvent(QMouseEvent*) override {}
    void mouseDoubleClickEvent(QMouseEvent*) override {}
    void mouseMoveEvent(QMouseEvent*) override {}
    void mouseReleaseEvent(QMouseEvent*) override {}
};
