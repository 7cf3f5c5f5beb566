#include "widgets/Graphics.h"

#include <QGuiApplication>
#include <QPalette>

namespace {

// Old colour index → palette role. Indexes without a counterpart fall back to the window colour.
QPalette::ColorRole RoleOf(int index, QPalette::ColorGroup& group)
{
    group = QPalette::Active;
    switch (index) {
    case 5: // window background
        return QPalette::Base;
    case 7: // menu text
    case 8: // window text
        return QPalette::WindowText;
    case 13:
        return QPalette::Highlight;
    case 14:
        return QPalette::HighlightedText;
    case 16: // button shadow
        return QPalette::Dark;
    case 17: // grey text
        group = QPalette::Disabled;
        return QPalette::Text;
    case 18:
        return QPalette::ButtonText;
    case 20: // button highlight
        return QPalette::Light;
    case 21:
        return QPalette::Shadow;
    case 22:
        return QPalette::Midlight;
    case 23:
        return QPalette::ToolTipText;
    case 24:
        return QPalette::ToolTipBase;
    case 15: // button face
        return QPalette::Button;
    default:
        return QPalette::Window;
    }
}

} // namespace

TColor ColorToRGB(TColor color)
{
    if (!(color & clSystemColor))
        return color & 0xFFFFFF;
    QPalette::ColorGroup group;
    const QPalette::ColorRole role = RoleOf(int(color & 0xFF), group);
    const QPalette palette = qGuiApp ? QGuiApplication::palette() : QPalette(Qt::lightGray);
    return ColorFromQColor(palette.color(group, role));
}

QColor ToQColor(TColor color)
{
    const TColor rgb = ColorToRGB(color);
    return QColor(GetRValue(rgb), GetGValue(rgb), GetBValue(rgb));
}

TColor ColorFromQColor(const QColor& color)
{
    const QColor c = color.toRgb();
    return RGB(c.red(), c.green(), c.blue());
}
