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
    canvas.translate(-control->x(), -control->y()); // from here on, parent coordinates
    canvas.setClipRect(parent->rect(), Qt::IntersectClip);
    ++gParentDepth;
    // render() maps the top-left of its source region to the offset it is given.
    const QRect area = control->geometry();
    parent->render(&canvas, area.topLeft(), QRegion(area), QWidget::DrawWindowBackground);
    // The parent's children stacked below the control are part of what it covers (the window's
    // skin picture, for one). The control itself is not: rendering it from here would recurse.
    for (QObject* child : parent->children()) {
        if (child == control)
            break;
        auto* sibling = qobject_cast<QWidget*>(child);
        if (!sibling || sibling->isWindow() || !sibling->isVisible())
            continue;
        const QRect under = sibling->geometry() & area;
        if (under.isEmpty())
            continue;
        sibling->render(&canvas, under.topLeft(), QRegion(under.translated(-sibling->pos())));
    }
    --gParentDepth;
    canvas.restore();
}
