// Draws every picture of the program's look into one folder: the two window skins, the knobs and
// the three looks of each button; and, given a second folder, the program's icon at the usual sizes
// and as a scalable picture. Run by the `redraw_artwork` target; the results are committed,
// so a build never depends on the fonts of the machine it runs on.
// The geometry below follows the control positions of the main window and the playlist window.
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRandomGenerator>
#include <QRegion>

#include <cmath>
#include <cstdio>
#include <functional>
#include <numbers>
#include <tuple>
#include <vector>

namespace {

QString OutDir;
// Every picture is drawn twice: at 1 and, for screens at a device pixel ratio of 2, at 2 ("@2x").
// All coordinates below are logical pixels; a canvas of ratio 2 maps them to twice the pixels.
int Scale = 1;

// A blank picture of `w` x `h` logical pixels at the current scale.
QImage Canvas(int w, int h, const QColor& fill)
{
    QImage image(w * Scale, h * Scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(Scale);
    image.fill(fill);
    return image;
}

void Save(const QImage& image, const QString& name)
{
    const QString path = OutDir + "/" + name + (Scale == 1 ? "" : QString("@%1x").arg(Scale)) + ".png";
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
}

QFont Font(int pixelSize, bool bold = true, bool condensed = false)
{
    QFont font(condensed ? "DejaVu Sans Condensed" : "DejaVu Sans");
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    font.setHintingPreference(QFont::PreferFullHinting);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

// Palette of the panel.
const QColor Ink("#b9c0ca");      // engraved labels
const QColor InkDim("#6d747f");   // tick marks, minor text
const QColor DeckA("#ff9a1f");    // left deck accent
const QColor DeckB("#27c4ff");    // right deck accent
const QColor WellFill("#0c0e11"); // recessed areas
const QColor WellDark("#030405");
const QColor WellLight("#3b414b");

// ---- the skin shape -------------------------------------------------------------------------------

constexpr int SkinW = 396, SkinH = 238;
constexpr int ShapeTop = 5, ShapeBottom = 230, ShapeLeft = 6, ShapeRight = 389;
constexpr int CornerRadius = 11;

// Columns cut off each side of row y by the rounded corners: one run per row, no anti-aliased edge.
int CornerInset(int y)
{
    const int d = std::min(y - ShapeTop, ShapeBottom - y);
    if (d >= CornerRadius)
        return 0;
    const double r = CornerRadius;
    const double dy = r - d - 0.5;
    return static_cast<int>(std::lround(r - std::sqrt(r * r - dy * dy)));
}

QRegion ShapeRegion()
{
    QRegion region;
    for (int y = ShapeTop; y <= ShapeBottom; ++y) {
        const int inset = CornerInset(y);
        region += QRect(QPoint(ShapeLeft + inset, y), QPoint(ShapeRight - inset, y));
    }
    return region;
}

// A recessed rectangle: dark fill, shadow at top and left, light edge at bottom and right.
void Well(QPainter& p, const QRect& r, const QColor& fill = WellFill)
{
    p.fillRect(r, fill);
    p.setPen(WellDark);
    p.drawLine(r.topLeft(), r.topRight());
    p.drawLine(r.topLeft(), r.bottomLeft());
    p.setPen(WellLight);
    p.drawLine(r.bottomLeft() + QPoint(1, 0), r.bottomRight());
    p.drawLine(r.topRight() + QPoint(0, 1), r.bottomRight());
}

void Text(QPainter& p, const QRect& r, const QString& text, const QColor& colour, const QFont& font,
          int flags = Qt::AlignCenter)
{
    p.setFont(font);
    p.setPen(QColor(0, 0, 0, 170)); // engraving shadow
    p.drawText(r.translated(0, 1), flags, text);
    p.setPen(colour);
    p.drawText(r, flags, text);
}

// Text read from bottom to top, centred on `centre`.
void VerticalText(QPainter& p, QPoint centre, const QString& text, const QColor& colour, const QFont& font)
{
    p.save();
    p.translate(centre);
    p.rotate(-90);
    Text(p, QRect(-60, -6, 120, 12), text, colour, font);
    p.restore();
}

// A fader slot: a narrow groove from a to b with tick marks beside it, the first tick in `accent`.
// Vertical slots carry ticks on both sides between rows firstTick and lastTick; horizontal slots
// carry them on one side, `tickOffset` rows below (or above, when negative) the groove.
void VerticalSlot(QPainter& p, int x, int top, int bottom, int firstTick, int lastTick, int ticks, const QColor& accent)
{
    p.setRenderHint(QPainter::Antialiasing, false);
    Well(p, QRect(x - 2, top - 1, 5, bottom - top + 3), QColor("#050607"));
    for (int i = 0; i < ticks; ++i) {
        const int y = firstTick + (lastTick - firstTick) * i / (ticks - 1);
        const bool major = i == 0 || i == ticks - 1 || i == (ticks - 1) / 2;
        p.setPen(i == 0 ? accent : InkDim);
        p.drawLine(x - (major ? 7 : 5), y, x - 4, y);
        p.drawLine(x + 4, y, x + (major ? 7 : 5), y);
    }
}

void HorizontalSlot(QPainter& p, int y, int left, int right, int firstTick, int lastTick, int ticks, int tickOffset,
                    const QColor& first, const QColor& last)
{
    p.setRenderHint(QPainter::Antialiasing, false);
    Well(p, QRect(left - 1, y - 2, right - left + 3, 5), QColor("#050607"));
    for (int i = 0; i < ticks; ++i) {
        const int x = firstTick + (lastTick - firstTick) * i / (ticks - 1);
        const bool major = i == 0 || i == ticks - 1 || i == (ticks - 1) / 2;
        p.setPen(i == 0 ? first : i == ticks - 1 ? last : InkDim);
        const int from = y + tickOffset;
        const int to = from + (tickOffset > 0 ? (major ? 1 : 0) : -(major ? 2 : 1));
        p.drawLine(x, from, x, to);
    }
}

// The level display frame: a screen with a faint grid under the paint box.
void Screen(QPainter& p, const QRect& box, const QColor& accent)
{
    p.setRenderHint(QPainter::Antialiasing, false);
    Well(p, box.adjusted(-2, -2, 2, 2), QColor("#060a08"));
    p.fillRect(box, QColor("#071009"));
    QColor grid = accent;
    grid.setAlpha(28);
    p.setPen(grid);
    for (int y = box.top() + 13; y < box.bottom(); y += 13)
        p.drawLine(box.left(), y, box.right(), y);
    for (int x = box.left() + 15; x < box.right(); x += 15)
        p.drawLine(x, box.top(), x, box.bottom());
    QColor mid = accent;
    mid.setAlpha(60);
    p.setPen(mid);
    const int centre = box.top() + box.height() / 2;
    p.drawLine(box.left(), centre, box.right(), centre);
}

// White is the transparent colour: nothing inside the shape may be pure white, nothing outside
// may be anything else.
QImage FinishSkin(const QImage& painted)
{
    const QRegion shape = ShapeRegion();
    QImage out = painted.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < out.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            if (!shape.contains(QPoint(x / Scale, y / Scale)))
                row[x] = qRgb(255, 255, 255);
            else if ((row[x] & 0xFFFFFF) == 0xFFFFFF)
                row[x] = qRgb(254, 254, 254);
        }
    }
    return out.convertToFormat(QImage::Format_RGB888);
}

// The panel body: brushed dark metal with a bevelled rim, `tint` colouring it faintly.
QImage SkinBase(const QColor& top, const QColor& bottom, quint32 seed)
{
    QImage image = Canvas(SkinW, SkinH, Qt::white);
    QPainter p(&image);
    const QRegion shape = ShapeRegion();
    p.setClipRegion(shape);
    QLinearGradient g(0, ShapeTop, 0, ShapeBottom);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.fillRect(image.rect(), g);
    QRandomGenerator random(seed);
    for (int y = ShapeTop; y <= ShapeBottom; ++y) {
        const int alpha = static_cast<int>(random.bounded(14));
        p.setPen(random.bounded(2) ? QColor(255, 255, 255, alpha) : QColor(0, 0, 0, alpha + 6));
        p.drawLine(ShapeLeft, y, ShapeRight, y);
    }
    // Rim: the outermost pixel of every row and column of the shape.
    for (int y = ShapeTop; y <= ShapeBottom; ++y) {
        const int inset = CornerInset(y);
        const bool upper = y < (ShapeTop + ShapeBottom) / 2;
        p.setPen(upper ? QColor("#5d6570") : QColor("#3c424b"));
        p.drawPoint(ShapeLeft + inset, y);
        p.setPen(upper ? QColor("#2c3138") : QColor("#0e1013"));
        p.drawPoint(ShapeRight - inset, y);
    }
    const int topInset = CornerInset(ShapeTop);
    p.setPen(QColor("#6a727e"));
    p.drawLine(ShapeLeft + topInset, ShapeTop, ShapeRight - topInset, ShapeTop);
    p.setPen(QColor("#0a0b0d"));
    p.drawLine(ShapeLeft + topInset, ShapeBottom, ShapeRight - topInset, ShapeBottom);
    // Inner line one pixel in, giving the rim some depth.
    QPainterPath inner;
    inner.addRoundedRect(
        QRectF(ShapeLeft + 2.5, ShapeTop + 2.5, ShapeRight - ShapeLeft - 5, ShapeBottom - ShapeTop - 5),
        CornerRadius - 2, CornerRadius - 2);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(QColor(0, 0, 0, 90), 1));
    p.drawPath(inner);
    p.end();
    return image;
}

void Screw(QPainter& p, QPoint c)
{
    p.setRenderHint(QPainter::Antialiasing, true);
    QRadialGradient g(c + QPointF(-1, -1), 3.5);
    g.setColorAt(0, QColor("#9aa2ad"));
    g.setColorAt(1, QColor("#3a3f47"));
    p.setBrush(g);
    p.setPen(QColor("#15171a"));
    p.drawEllipse(QPointF(c) + QPointF(0.5, 0.5), 2.6, 2.6);
    p.setPen(QColor("#1d2024"));
    p.drawLine(QPointF(c.x() - 1.2, c.y() + 1.8), QPointF(c.x() + 2.2, c.y() - 0.8));
    p.setBrush(Qt::NoBrush);
}

void DrawMainSkin()
{
    QImage image = SkinBase(QColor("#2d3139"), QColor("#15171b"), 7);
    QPainter p(&image);
    p.setClipRegion(ShapeRegion());
    p.setRenderHint(QPainter::TextAntialiasing, true);

    // Top transport strips, deck A left and deck B right, and the window buttons.
    for (const auto& [x, accent] : {std::pair{71, DeckA}, std::pair{239, DeckB}}) {
        Well(p, QRect(x, 13, 88, 19));
        p.setPen(accent);
        p.drawLine(x + 2, 30, x + 86, 30);
    }
    Well(p, QRect(352, 9, 33, 19));
    Text(p, QRect(160, 8, 76, 22), "DUODECK", Ink, Font(13));
    p.setPen(DeckA);
    p.drawLine(168, 28, 196, 28);
    p.setPen(DeckB);
    p.drawLine(199, 28, 227, 28);

    // Volume and pitch faders: knobs 10 high with Top 32..152, so their centres travel rows 37..157.
    VerticalSlot(p, 28, 35, 159, 37, 157, 11, DeckA);
    VerticalSlot(p, 52, 35, 159, 37, 157, 11, DeckA);
    VerticalSlot(p, 340, 35, 159, 37, 157, 11, DeckB);
    VerticalSlot(p, 364, 35, 159, 37, 157, 11, DeckB);
    VerticalText(p, QPoint(14, 97), "VOLUME", Ink, Font(8));
    VerticalText(p, QPoint(41, 97), "PITCH", Ink, Font(7, true, true));
    VerticalText(p, QPoint(353, 97), "PITCH", Ink, Font(7, true, true));
    VerticalText(p, QPoint(381, 97), "VOLUME", Ink, Font(8));

    // Deck titles, each with its Sync button (24 x 10, at (125, 37) and (249, 37)) on the title row,
    // the tempo readout (75 x 10 at (74, 50) and (249, 50)) under it, and the level displays (the
    // paint boxes at (74, 64) and (249, 64), 75 x 105). The title row keeps room for one more
    // small switch between the title and the Sync button.
    Text(p, QRect(74, 36, 48, 12), "DECK A", DeckA, Font(9), Qt::AlignLeft | Qt::AlignVCenter);
    Text(p, QRect(276, 36, 48, 12), "DECK B", DeckB, Font(9), Qt::AlignRight | Qt::AlignVCenter);
    Well(p, QRect(73, 49, 77, 12), QColor("#07090b"));
    Well(p, QRect(248, 49, 77, 12), QColor("#07090b"));
    Screen(p, QRect(74, 64, 75, 105), DeckA);
    Screen(p, QRect(249, 64, 75, 105), DeckB);

    // Crossfader: knob 9 x 20 at Top 88 with Left 156..235, centre 192, so its centre travels
    // columns 160..239 along row 98.
    Text(p, QRect(156, 70, 88, 11), "CROSSFADER", Ink, Font(7, true, true));
    HorizontalSlot(p, 98, 158, 241, 160, 239, 9, -11, DeckA, DeckB);

    // Transport for both decks.
    Well(p, QRect(160, 112, 75, 20));
    Text(p, QRect(156, 133, 83, 11), "BOTH DECKS", Ink, Font(7, true, true));
    Screw(p, QPoint(197, 157));

    // Song position tracks: knobs 14 x 10 at Top 172, left Left 24..152, right 232..362.
    HorizontalSlot(p, 177, 29, 161, 31, 159, 9, 6, DeckA, InkDim);
    HorizontalSlot(p, 177, 237, 371, 239, 369, 9, 6, DeckB, InkDim);
    Text(p, QRect(167, 171, 64, 12), "POSITION", InkDim, Font(7, true, true));

    // Recorder buttons (Record, Pause, Save, Help at x 40, 104, 168, 232; 60 x 25, top 188).
    Well(p, QRect(36, 186, 260, 30));
    Text(p, QRect(300, 187, 84, 12), "MIX RECORDER", Ink, Font(8, true, true));
    Text(p, QRect(300, 200, 84, 12), "MP3 128 kbit/s", InkDim, Font(7, false, true));
    Screw(p, QPoint(18, 219));
    Screw(p, QPoint(377, 219));
    Screw(p, QPoint(18, 17));
    p.end();
    Save(FinishSkin(image), "skin_main");
}

void DrawListSkin()
{
    QImage image = SkinBase(QColor("#262b36"), QColor("#12141a"), 11);
    QPainter p(&image);
    p.setClipRegion(ShapeRegion());
    // Wells behind the two list boxes at (16, 32) and (200, 32), 180 x 195.
    Well(p, QRect(14, 30, 184, 199));
    Well(p, QRect(198, 30, 184, 199));
    p.setPen(DeckA);
    p.drawLine(16, 27, 60, 27);
    p.setPen(DeckB);
    p.drawLine(200, 27, 244, 27);
    Text(p, QRect(16, 12, 180, 14), "DECK A  PLAYLIST", DeckA, Font(9), Qt::AlignLeft | Qt::AlignVCenter);
    Text(p, QRect(200, 12, 180, 14), "DECK B  PLAYLIST", DeckB, Font(9), Qt::AlignLeft | Qt::AlignVCenter);
    Text(p, QRect(100, 12, 96, 14), "Del: remove", InkDim, Font(7, false, true), Qt::AlignRight | Qt::AlignVCenter);
    Text(p, QRect(284, 12, 96, 14), "right-click: menu", InkDim, Font(7, false, true),
         Qt::AlignRight | Qt::AlignVCenter);
    p.end();
    Save(FinishSkin(image), "skin_list");
}

// ---- knobs ----------------------------------------------------------------------------------------

QImage Transparent(int w, int h)
{
    return Canvas(w, h, Qt::transparent);
}

// A fader cap: light metal with a coloured index line across the middle.
void DrawKnob(const QString& name, int w, int h, const QColor& index, bool indexVertical)
{
    QImage image = Transparent(w, h);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    QLinearGradient g(0, 0, indexVertical ? w : 0, indexVertical ? 0 : h);
    g.setColorAt(0, QColor("#eef0f3"));
    g.setColorAt(0.45, QColor("#b4bac3"));
    g.setColorAt(1, QColor("#6e747e"));
    p.setBrush(g);
    p.setPen(QPen(QColor("#15171a"), 1));
    p.drawRoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), 2, 2);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(index);
    if (indexVertical) {
        p.drawLine(w / 2, 2, w / 2, h - 3);
    } else {
        p.drawLine(2, h / 2 - 1, w - 3, h / 2 - 1);
        p.setPen(QColor(0, 0, 0, 110));
        p.drawLine(2, h / 2, w - 3, h / 2);
    }
    p.end();
    Save(image, name);
}

// ---- buttons --------------------------------------------------------------------------------------

enum class Look { Normal, Hover, Down };

using IconPainter = std::function<void(QPainter&, const QRectF&, const QColor&)>;

// A small icon with no plate: its colour carries the state.
void SmallButton(const QString& name, int w, int h, const IconPainter& icon, const QColor& normal, const QColor& hover,
                 const QColor& down)
{
    for (const auto& [look, suffix, colour] :
         {std::tuple{Look::Normal, "normal", normal}, std::tuple{Look::Hover, "hover", hover},
          std::tuple{Look::Down, "down", down}}) {
        QImage image = Transparent(w, h);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing, true);
        icon(p, QRectF(0, 0, w, h), colour);
        p.end();
        Save(image, QString("btn_%1_%2").arg(name, suffix));
    }
}

void Triangle(QPainter& p, const QRectF& r, const QColor& c)
{
    QPainterPath path;
    // Column 0 stays empty: the bottom-left pixel is the see-through colour of a transparent button.
    path.moveTo(r.left() + 1, r.top() + 0.5);
    path.lineTo(r.right() - 0.3, r.center().y());
    path.lineTo(r.left() + 1, r.bottom() - 0.5);
    path.closeSubpath();
    p.fillPath(path, c);
}

void PauseBars(QPainter& p, const QRectF& r, const QColor& c)
{
    const double bw = r.width() * 0.32;
    p.fillRect(QRectF(r.left() + 1, r.top() + 1, bw, r.height() - 2), c);
    p.fillRect(QRectF(r.right() - 1 - bw, r.top() + 1, bw, r.height() - 2), c);
}

void Square(QPainter& p, const QRectF& r, const QColor& c)
{
    p.fillRect(r.adjusted(1, 1, -1, -1), c);
}

void Plus(QPainter& p, const QRectF& r, const QColor& c)
{
    const double t = 2;
    p.fillRect(QRectF(r.center().x() - t / 2, r.top() + 1, t, r.height() - 2), c);
    p.fillRect(QRectF(r.left() + 1, r.center().y() - t / 2, r.width() - 2, t), c);
}

void LoopArrow(QPainter& p, const QRectF& r, const QColor& c)
{
    p.setPen(QPen(c, 1.6, Qt::SolidLine, Qt::FlatCap));
    const QRectF ring = r.adjusted(1.5, 1.5, -1.5, -1.5);
    p.drawArc(ring, 100 * 16, 290 * 16);
    QPainterPath head;
    head.moveTo(r.center().x() - 0.5, r.top());
    head.lineTo(r.center().x() + 3, r.top() + 1.8);
    head.lineTo(r.center().x() - 0.5, r.top() + 4.2);
    head.closeSubpath();
    p.fillPath(head, c);
}

// A padlock: the key kept while the tempo changes.
void Padlock(QPainter& p, const QRectF& r, const QColor& c)
{
    p.setPen(QPen(c, 1.3, Qt::SolidLine, Qt::FlatCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(r.left() + 2.6, r.top() + 0.8, r.width() - 5.2, 6.4), 0, 180 * 16);
    p.drawLine(QPointF(r.left() + 2.6, r.top() + 4), QPointF(r.left() + 2.6, r.top() + 5));
    p.drawLine(QPointF(r.right() - 2.6, r.top() + 4), QPointF(r.right() - 2.6, r.top() + 5));
    p.fillRect(QRectF(r.left() + 1.5, r.top() + 4.8, r.width() - 3, r.height() - 5.3), c);
}

// A round window button with a symbol.
void RoundButton(const QString& name, const std::function<void(QPainter&, const QColor&)>& symbol,
                 const QColor& hoverFill)
{
    for (const auto& [look, suffix] :
         {std::pair{Look::Normal, "normal"}, std::pair{Look::Hover, "hover"}, std::pair{Look::Down, "down"}}) {
        QImage image = Transparent(14, 14);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing, true);
        QRadialGradient g(QPointF(5, 4), 9);
        const QColor base = look == Look::Normal ? QColor("#4a505a") : hoverFill;
        g.setColorAt(0, look == Look::Down ? base.darker(150) : base.lighter(130));
        g.setColorAt(1, look == Look::Down ? base.darker(220) : base.darker(160));
        p.setBrush(g);
        p.setPen(QPen(QColor("#0b0c0e"), 1));
        p.drawEllipse(QRectF(0.5, 0.5, 13, 13));
        symbol(p, look == Look::Normal ? Ink : QColor("#ffffff"));
        p.end();
        Save(image, QString("btn_%1_%2").arg(name, suffix));
    }
}

// A labelled plate button of the recorder row, 60 x 25.
QImage PlateButton(const QString& label, Look look, const QColor& accent, bool lit,
                   const std::function<void(QPainter&, QPointF, const QColor&)>& glyph = {})
{
    QImage image = Transparent(60, 25);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    QColor top = lit ? accent.darker(170) : QColor("#454b55");
    QColor bottom = lit ? accent.darker(320) : QColor("#23272d");
    if (look == Look::Hover) {
        top = top.lighter(125);
        bottom = bottom.lighter(125);
    } else if (look == Look::Down) {
        std::swap(top, bottom);
        bottom = bottom.darker(130);
    }
    QLinearGradient g(0, 0, 0, 25);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.setBrush(g);
    p.setPen(QPen(look == Look::Hover ? accent : QColor("#0b0c0e"), 1));
    p.drawRoundedRect(QRectF(0.5, 0.5, 59, 24), 4, 4);
    if (look != Look::Down) {
        p.setPen(QPen(QColor(255, 255, 255, 45), 1));
        p.drawLine(QPointF(4, 1.5), QPointF(56, 1.5));
    }
    const double shift = look == Look::Down ? 1 : 0;
    const QColor ink = lit || look == Look::Hover ? QColor("#ffffff") : Ink;
    double textLeft = 0;
    if (glyph) {
        glyph(p, QPointF(10 + shift, 12.5 + shift), lit ? accent.lighter(130) : accent);
        textLeft = 15;
    }
    p.setFont(glyph ? Font(9, true, true) : Font(10));
    p.setPen(QColor(0, 0, 0, 160));
    p.drawText(QRectF(textLeft + shift, 1 + shift, 60 - textLeft, 25), Qt::AlignCenter, label);
    p.setPen(ink);
    p.drawText(QRectF(textLeft + shift, shift, 60 - textLeft, 25), Qt::AlignCenter, label);
    p.end();
    return image;
}

void Dot(QPainter& p, QPointF c, const QColor& colour)
{
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(c, 3.5, 3.5);
}

void Bars(QPainter& p, QPointF c, const QColor& colour)
{
    p.fillRect(QRectF(c.x() - 3.5, c.y() - 4, 2.5, 8), colour);
    p.fillRect(QRectF(c.x() + 1, c.y() - 4, 2.5, 8), colour);
}

void DrawButtons()
{
    const QColor idle("#8e97a3");
    SmallButton("play", 8, 8, Triangle, idle, QColor("#6dff8a"), QColor("#2b9c44"));
    SmallButton("pause", 12, 12, PauseBars, idle, QColor("#ffd23f"), QColor("#a8861c"));
    SmallButton("stop", 10, 10, Square, idle, QColor("#ff5a4d"), QColor("#a3281f"));
    SmallButton("add", 10, 10, Plus, idle, QColor("#ffffff"), QColor("#7b838e"));
    // Loop: the off look, the on look (also the hover look of the off state) and the pressed look.
    const auto switchLooks = [](const char* name, auto symbol, const QColor& off, const QColor& on,
                                const QColor& down) {
        for (const auto& [suffix, colour] : {std::pair{"off", off}, std::pair{"on", on}, std::pair{"down", down}}) {
            QImage image = Transparent(10, 10);
            QPainter p(&image);
            p.setRenderHint(QPainter::Antialiasing, true);
            symbol(p, QRectF(0, 0, 10, 10), colour);
            p.end();
            Save(image, QString("btn_%1_%2").arg(name, suffix));
        }
    };
    switchLooks("loop", LoopArrow, idle, DeckA, DeckA.darker(170));
    // Keylock, in the deck's tempo readout: off, on (also the hover look of off) and pressed.
    switchLooks("keylock", Padlock, idle.darker(130), QColor("#ffffff"), idle.darker(200));

    RoundButton(
        "min",
        [](QPainter& p, const QColor& c) {
            p.setRenderHint(QPainter::Antialiasing, false);
            p.fillRect(QRect(4, 8, 6, 2), c);
        },
        QColor("#5d6f86"));
    RoundButton(
        "close",
        [](QPainter& p, const QColor& c) {
            p.setPen(QPen(c, 1.7, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(4.6, 4.6), QPointF(9.4, 9.4));
            p.drawLine(QPointF(9.4, 4.6), QPointF(4.6, 9.4));
        },
        QColor("#c0392b"));

    // Sync: a small plate with its name, lit white under the pointer.
    for (const auto& [look, suffix] :
         {std::pair{Look::Normal, "normal"}, std::pair{Look::Hover, "hover"}, std::pair{Look::Down, "down"}}) {
        QImage image = Transparent(24, 10);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing, true);
        QLinearGradient g(0, 0, 0, 10);
        g.setColorAt(0, look == Look::Down ? QColor("#1c1f24") : QColor("#4a505a"));
        g.setColorAt(1, look == Look::Down ? QColor("#363b43") : QColor("#262a30"));
        p.setBrush(g);
        p.setPen(QPen(look == Look::Hover ? QColor("#ffffff") : QColor("#0b0c0e"), 1));
        p.drawRoundedRect(QRectF(0.5, 0.5, 23, 9), 2, 2);
        p.setFont(Font(7, true, true));
        p.setPen(look == Look::Normal ? Ink : QColor("#ffffff"));
        p.drawText(QRectF(0, look == Look::Down ? 1 : 0, 24, 10), Qt::AlignCenter, "SYNC");
        p.end();
        Save(image, QString("btn_sync_%1").arg(suffix));
    }

    const QColor rec("#ff3b30"), amber("#ffb020"), steel("#9fb3c8");
    for (const auto& [look, suffix] :
         {std::pair{Look::Normal, "normal"}, std::pair{Look::Hover, "hover"}, std::pair{Look::Down, "down"}}) {
        Save(PlateButton("SAVE", look, steel, false), QString("btn_save_%1").arg(suffix));
        Save(PlateButton("HELP", look, steel, false), QString("btn_help_%1").arg(suffix));
    }
    Save(PlateButton("REC", Look::Normal, rec, false, Dot), "btn_record_idle");
    Save(PlateButton("REC", Look::Normal, rec, true, Dot), "btn_record_active");
    Save(PlateButton("PAUSE", Look::Normal, amber, false, Bars), "btn_recpause_running");
    Save(PlateButton("PAUSED", Look::Normal, amber, true, Bars), "btn_recpause_paused");
}

} // namespace

// ---- the program's icon ----------------------------------------------------------------------------

// The icon on a 256-unit canvas: a dark panel with the two decks' platters in their accents and a
// crossfader between them. One list of shapes feeds both the bitmaps and the scalable picture.
struct IconShape {
    enum Kind { RoundRect, Circle } What;
    QRectF Box; // for a circle, its bounding square
    double Radius;
    QColor Fill;
};

std::vector<IconShape> IconShapes()
{
    const auto disc = [](double cx, double cy, double r, const QColor& c) {
        return IconShape{IconShape::Circle, QRectF(cx - r, cy - r, 2 * r, 2 * r), 0, c};
    };
    return {
        {IconShape::RoundRect, QRectF(8, 40, 240, 176), 28, QColor("#23272e")},
        {IconShape::RoundRect, QRectF(16, 48, 224, 160), 22, QColor("#15171b")},
        disc(76, 118, 50, DeckA),
        disc(76, 118, 40, QColor("#1d2126")),
        disc(76, 118, 9, DeckA),
        disc(180, 118, 50, DeckB),
        disc(180, 118, 40, QColor("#1d2126")),
        disc(180, 118, 9, DeckB),
        {IconShape::RoundRect, QRectF(84, 182, 88, 8), 4, QColor("#0c0e11")},
        {IconShape::RoundRect, QRectF(118, 174, 20, 24), 4, Ink},
    };
}

void DrawIcons(const QString& folder)
{
    QDir().mkpath(folder);
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.scale(size / 256.0, size / 256.0);
        p.setPen(Qt::NoPen);
        for (const IconShape& shape : IconShapes()) {
            p.setBrush(shape.Fill);
            if (shape.What == IconShape::Circle)
                p.drawEllipse(shape.Box);
            else
                p.drawRoundedRect(shape.Box, shape.Radius, shape.Radius);
        }
        p.end();
        const QString path = QString("%1/duodeck-%2.png").arg(folder).arg(size);
        if (!image.save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            std::exit(1);
        }
    }
    QString svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" height=\"256\" viewBox=\"0 0 256 256\">\n";
    for (const IconShape& shape : IconShapes()) {
        const QRectF& b = shape.Box;
        if (shape.What == IconShape::Circle)
            svg += QString("  <circle cx=\"%1\" cy=\"%2\" r=\"%3\" fill=\"%4\"/>\n")
                       .arg(b.center().x())
                       .arg(b.center().y())
                       .arg(b.width() / 2)
                       .arg(shape.Fill.name());
        else
            svg += QString("  <rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" rx=\"%5\" fill=\"%6\"/>\n")
                       .arg(b.x())
                       .arg(b.y())
                       .arg(b.width())
                       .arg(b.height())
                       .arg(shape.Radius)
                       .arg(shape.Fill.name());
    }
    svg += "</svg>\n";
    QFile file(folder + "/duodeck.svg");
    if (!file.open(QIODevice::WriteOnly) || file.write(svg.toUtf8()) < 0) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
        std::exit(1);
    }
}

// The headphones switch of each deck (12 x 10 on the title row): a headband and two ear cups, grey
// while off, lit in the deck colour while on, darker while pressed.
void DrawHeadphonesSwitch()
{
    for (const auto& [name, colour] : {std::pair{"btn_cue_off", QColor("#8e97a3")}, std::pair{"btn_cue_on", DeckA},
                                       std::pair{"btn_cue_down", DeckA.darker(170)}}) {
        QImage image = Transparent(12, 10);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setPen(QPen(colour, 1.3));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(1.5, 1, 9, 10), 0, 180 * 16);
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawRoundedRect(QRectF(0.5, 5, 3, 4.5), 1, 1);
        p.drawRoundedRect(QRectF(8.5, 5, 3, 4.5), 1, 1);
        p.end();
        Save(image, name);
    }
}

// ---- the mixer strip ------------------------------------------------------------------------------

// The strip docked on top of the main window: each deck's trim and three band knobs (18 x 18) with
// a kill switch (18 x 8) under each band, the deck's gain at the outer end over its volume fader,
// and the limiter's light in the middle. The geometry follows app/MixerStrip.cpp.
constexpr int StripW = 396, StripH = 46;
constexpr int StripLeft = 6, StripRight = 389, StripRadius = 7;
constexpr int KnobSize = 18, KnobFrames = 41;
constexpr int KnobTop = 5, KillTop = 34;
// Left edges of the knobs: deck A trim, low, mid, high; deck B low, mid, high, trim.
constexpr int KnobLefts[8] = {18, 58, 86, 114, 264, 292, 320, 360};

QRegion StripShape()
{
    QRegion region;
    for (int y = 0; y < StripH; ++y) {
        const int d = std::min(y, StripH - 1 - y);
        int inset = 0;
        if (d < StripRadius) {
            const double r = StripRadius, dy = r - d - 0.5;
            inset = static_cast<int>(std::lround(r - std::sqrt(r * r - dy * dy)));
        }
        region += QRect(QPoint(StripLeft + inset, y), QPoint(StripRight - inset, y));
    }
    return region;
}

// A knob's angle in degrees from straight up, clockwise: -135 at full cut, 0 at unity, +135 at the
// top of its travel.
double KnobAngle(int frame)
{
    return -135.0 + 270.0 * frame / (KnobFrames - 1);
}

void DrawMixerSkin()
{
    QImage image = Canvas(StripW, StripH, Qt::white);
    QPainter p(&image);
    const QRegion shape = StripShape();
    p.setClipRegion(shape);
    QLinearGradient g(0, 0, 0, StripH);
    g.setColorAt(0, QColor("#30343c"));
    g.setColorAt(1, QColor("#24272d"));
    p.fillRect(image.rect(), g);
    QRandomGenerator random(13);
    for (int y = 0; y < StripH; ++y) {
        const int alpha = static_cast<int>(random.bounded(14));
        p.setPen(random.bounded(2) ? QColor(255, 255, 255, alpha) : QColor(0, 0, 0, alpha + 6));
        p.drawLine(StripLeft, y, StripRight, y);
    }
    QPainterPath rim;
    rim.addRoundedRect(QRectF(StripLeft + 0.5, 0.5, StripRight - StripLeft, StripH - 1), StripRadius, StripRadius);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(QColor("#5d6570"), 1));
    p.drawPath(rim);
    p.setRenderHint(QPainter::TextAntialiasing, true);

    const char* names[8] = {"TRIM", "LOW", "MID", "HIGH", "LOW", "MID", "HIGH", "TRIM"};
    for (int i = 0; i < 8; ++i) {
        const QColor accent = i < 4 ? DeckA : DeckB;
        const QPointF c(KnobLefts[i] + KnobSize / 2.0, KnobTop + KnobSize / 2.0);
        // Ticks round the knob: the ends and, in the deck's colour, the centre detent (unity).
        p.setRenderHint(QPainter::Antialiasing, true);
        for (int t = 0; t <= 6; ++t) {
            const double a = (-135.0 + 45.0 * t) * std::numbers::pi / 180.0;
            const QPointF dir(std::sin(a), -std::cos(a));
            p.setPen(QPen(t == 3 ? accent : InkDim, t == 3 || t == 0 || t == 6 ? 1.2 : 0.8));
            p.drawLine(c + dir * 7.6, c + dir * (t == 3 ? 9.6 : 8.8));
        }
        Text(p, QRect(KnobLefts[i] - 6, 24, KnobSize + 12, 9), names[i], i == 0 || i == 7 ? Ink : accent,
             Font(7, true, true));
        if (i != 0 && i != 7)
            Well(p, QRect(KnobLefts[i] - 1, KillTop - 1, KnobSize + 2, 10), QColor("#07090b"));
    }
    // The deck's colour under each group, and the limiter's well in the middle.
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(DeckA);
    p.drawLine(18, 44, 132, 44);
    p.setPen(DeckB);
    p.drawLine(264, 44, 378, 44);
    Well(p, QRect(180, 10, 36, 14), QColor("#07090b"));
    Text(p, QRect(160, 25, 76, 9), "LIMITER", InkDim, Font(7, true, true));
    Text(p, QRect(140, 34, 116, 9), "EQ  \u00b7  GAIN", InkDim, Font(7, false, true));
    p.end();

    QImage out = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < out.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            if (!shape.contains(QPoint(x / Scale, y / Scale)))
                row[x] = qRgb(255, 255, 255);
            else if ((row[x] & 0xFFFFFF) == 0xFFFFFF)
                row[x] = qRgb(254, 254, 254);
        }
    }
    Save(out.convertToFormat(QImage::Format_RGB888), "skin_mixer");
}

// A rotary knob as a film strip of KnobFrames frames side by side, frame i turned to KnobAngle(i):
// a dark ribbed cap with a light pointer; the gain knob's cap is lighter.
void DrawRotaryKnob(const QString& name, const QColor& capTop, const QColor& capBottom, const QColor& pointer)
{
    QImage image = Transparent(KnobSize * KnobFrames, KnobSize);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    for (int f = 0; f < KnobFrames; ++f) {
        const QPointF c(f * KnobSize + KnobSize / 2.0, KnobSize / 2.0);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, 120)); // shadow
        p.drawEllipse(c + QPointF(0.4, 0.8), 6.9, 6.9);
        QRadialGradient cap(c + QPointF(-2, -2.5), 9);
        cap.setColorAt(0, capTop);
        cap.setColorAt(1, capBottom);
        p.setBrush(cap);
        p.setPen(QPen(QColor("#0b0c0e"), 0.8));
        p.drawEllipse(c, 6.6, 6.6);
        const double a = KnobAngle(f) * std::numbers::pi / 180.0;
        const QPointF dir(std::sin(a), -std::cos(a));
        p.setPen(QPen(pointer, 1.6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(c + dir * 1.8, c + dir * 5.8);
    }
    p.end();
    Save(image, name);
}

// A band's kill switch (18 x 8): dark while off, lit red while on, darker while pressed.
void DrawKillSwitch()
{
    for (const auto& [name, fill, ink] : {std::tuple{"btn_kill_off", QColor("#2a2e35"), QColor("#8e97a3")},
                                          std::tuple{"btn_kill_on", QColor("#ff3b30"), QColor("#ffffff")},
                                          std::tuple{"btn_kill_down", QColor("#8a1f19"), QColor("#d0d4da")}}) {
        QImage image = Transparent(KnobSize, 8);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setBrush(fill);
        p.setPen(QPen(QColor("#0b0c0e"), 0.8));
        p.drawRoundedRect(QRectF(0.5, 0.5, KnobSize - 1, 7), 2, 2);
        p.setFont(Font(6, true, true));
        p.setPen(ink);
        p.drawText(QRectF(0, 0, KnobSize, 8), Qt::AlignCenter, "KILL");
        p.end();
        Save(image, name);
    }
}

// The limiter's light (34 x 12, in its well): dim while the limiter rests, lit while it works.
void DrawLimiterLight()
{
    for (const auto& [name, fill, ink] : {std::tuple{"light_limit_off", QColor("#1a1c20"), QColor("#5a616b")},
                                          std::tuple{"light_limit_on", QColor("#ffb020"), QColor("#1a1000")}}) {
        QImage image = Transparent(34, 12);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setBrush(fill);
        p.setPen(QPen(QColor("#0b0c0e"), 0.8));
        p.drawRoundedRect(QRectF(0.5, 0.5, 33, 11), 2, 2);
        p.setFont(Font(7, true, true));
        p.setPen(ink);
        p.drawText(QRectF(0, 0, 34, 12), Qt::AlignCenter, "LIMIT");
        p.end();
        Save(image, name);
    }
}

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv); // fonts need a GUI application (QT_QPA_PLATFORM=offscreen will do)
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s <output folder> [<icon folder>]\n", argv[0]);
        return 2;
    }
    OutDir = QString::fromLocal8Bit(argv[1]);
    if (argc == 3)
        DrawIcons(QString::fromLocal8Bit(argv[2]));
    QDir().mkpath(OutDir);
    for (Scale = 1; Scale <= 2; ++Scale) {
        DrawMainSkin();
        DrawListSkin();
        DrawKnob("knob_volume", 15, 10, QColor("#ffffff"), false);
        DrawKnob("knob_frequency", 15, 10, QColor("#ffb84d"), false);
        DrawKnob("knob_position", 14, 10, QColor("#ff5a1f"), true);
        DrawKnob("knob_crossfader", 9, 20, QColor("#1a1c20"), true);
        DrawButtons();
        DrawHeadphonesSwitch();
        DrawMixerSkin();
        DrawRotaryKnob("knob_eq", QColor("#5a616c"), QColor("#15171b"), QColor("#ffffff"));
        DrawRotaryKnob("knob_trim", QColor("#c9ced6"), QColor("#5d636d"), QColor("#15171a"));
        DrawKillSwitch();
        DrawLimiterLight();
    }
    return 0;
}
