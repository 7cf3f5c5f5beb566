#include "widgets/PaintBox.h"

TPaintBox::TPaintBox(QWidget* owner) : QWidget(owner) {}

void TPaintBox::paintEvent(QPaintEvent*)
{
    if (!OnPaint)
        return;
    QPainter canvas(this);
    canvas.setPen(Pen);
    OnPaint(canvas);
}
