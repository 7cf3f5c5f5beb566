// Helpers of the flat widgets: a colour derived from another by a lightness step, and painting a
// parent's background under a see-through control. UI thread only.
#pragma once

#include "widgets/Graphics.h"

class QPainter;
class QWidget;

// `amount` 0 gives `fallback`. Otherwise `base` goes to HSL, its lightness is raised by 10, then
// lowered by `amount` (not below 0) or raised by it (not above 100), and comes back as RGB.
TColor AdvancedColor(TColor base, TColor fallback, int amount, bool darken);

// Paints the part of `control`'s parent that lies under `control` into `canvas`, with `canvas`'s
// origin at the control's top-left: the parent's background and itself, then its children stacked
// below `control`. Flat list boxes among them draw nothing while this runs.
void PaintParentBackground(QWidget* control, QPainter& canvas);

// True while PaintParentBackground is rendering a parent (a control then draws nothing of its own).
bool PaintingParentBackground();
