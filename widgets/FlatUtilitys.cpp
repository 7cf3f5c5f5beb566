#include "widgets/FlatUtilitys.h"

#include "widgets/HSLUtils.h"

#include <QPainter>
#include <QWidget>
#include <algorithm>

namespace {
int gParentDepth = 0; // UI thread only
}

TColor AdvancedColor(TColor base, TColor fallback, int amount, bool darken)
{
    if (amount == 0)
        return fallback;
    int h, s, l;
    RGBToHSL(ColorToRGB(base), h, s, l);
    l += 10;
    if (darken)
        l = std::max(l - amount, 0);
    else
        l = std::min(l + amount, 100);
    return HSLToRGB(h, s, l);
}

bool PaintingParentBackground()
{
    return gParentDepth > 0;
}

void PaintParentBackground(QWidget* control, QPainter& canvas)
{
    QWidget* parent = control->parentWidget();
    if (!parent)
        return;
    canvas.save();
    canvas.translate(-control->x(), -control->y());
    canvas.setClipRect(parent->rect(), Qt::IntersectClip);
    ++gParentDepth;
    // render() maps the source region's top-left to the painter's origin + offset, so the offset
    // puts the parent's own coordinates back in place under the translation above.
    parent->render(&canvas, control->pos(), QRegion(control->geometry()),
                   QWidget::DrawWindowBackground | QWidget::DrawChildren);
    --gParentDepth;
    canvas.restore();
}
