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
};
