#include "widgets/TFlatListBoxUnit.h"

#include "platform/kernel/TimeScale.h"
#include "widgets/FlatUtilitys.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QTimer>
#include <QWheelEvent>
#include <algorithm>

namespace {

constexpr int WheelNotch = 120;

// One timer for all list boxes, owned by whichever exist; the last one destroyed frees it.
QTimer* gRepeatTimer = nullptr;
int gListBoxes = 0;
TFlatListBox* gRepeatOwner = nullptr; // the list box that started the running auto-repeat
int gRepeatInterval = TFlatListBox::RepeatDelayMs;

void SetRepeatInterval(int ms)
{
    gRepeatInterval = ms;
    gRepeatTimer->setInterval(timescale::TimerInterval(ms));
}

void FillRect(QPainter& p, const QRect& r, TColor color)
{
    p.fillRect(r, ToQColor(color));
}

// A one-pixel frame on the inside of `r`.
void FrameRect(QPainter& p, const QRect& r, TColor color)
{
    if (r.isEmpty())
        return;
    const QColor c = ToQColor(color);
    p.fillRect(QRect(r.left(), r.top(), r.width(), 1), c);
    p.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), c);
    p.fillRect(QRect(r.left(), r.top(), 1, r.height()), c);
    p.fillRect(QRect(r.right(), r.top(), 1, r.height()), c);
}

// Blanks and control characters, as the playlist files may carry them around names.
QString TrimBlanks(const QString& s)
{
    qsizetype first = 0, last = s.size();
    while (first < last && s[first].unicode() <= ' ')
        ++first;
    while (last > first && s[last - 1].unicode() <= ' ')
        --last;
    return s.mid(first, last - first);
}

} // namespace

TFlatListBox::TFlatListBox(QWidget* owner) : QWidget(owner)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::TabFocus); // a press on a row or strip takes the focus explicitly
    setMouseTracking(true);       // OnMouseMove reports hovering too
    FItems.OnChange = [this] { ItemsChanged(); };
    if (!gRepeatTimer) {
        gRepeatTimer = new QTimer;
        SetRepeatInterval(RepeatDelayMs);
        QObject::connect(gRepeatTimer, &QTimer::timeout, &TFlatListBox::RepeatTimerTimer);
    }
    ++gListBoxes;
    TakeParentColor();
    resize(99, 137);
    UpdateRows();
}

TFlatListBox::~TFlatListBox()
{
    FItems.OnChange = nullptr;
    if (gRepeatOwner == this) {
        gRepeatTimer->stop();
        gRepeatOwner = nullptr;
    }
    if (--gListBoxes == 0) {
        delete gRepeatTimer;
        gRepeatTimer = nullptr;
    }
}

QTimer* TFlatListBox::RepeatTimer()
{
    return gRepeatTimer;
}

int TFlatListBox::RepeatInterval()
{
    return gRepeatInterval;
}

// ---- layout ----

int TFlatListBox::RowsHeight(int rows) const
{
    return (FItemHeight + 2) * rows + (FScrollBars ? 24 : 4);
}

void TFlatListBox::UpdateRows()
{
    const int fixed = FScrollBars ? 24 : 4;
    FVisibleRows = std::max(0, (height() - fixed) / (FItemHeight + 2));
    FRows.clear();
    const int top = FScrollBars ? StripHeight + 2 : 3;
    for (int r = 0; r < FVisibleRows; ++r)
        FRows.emplace_back(3, top + r * (FItemHeight + 2), width() - 6, FItemHeight);
    update();
}

void TFlatListBox::SetHeight(int h)
{
    if (h != height())
        resize(width(), h);
    UpdateRows(); // a hidden widget gets its resize event only when shown
}

void TFlatListBox::Resized()
{
    UpdateRows();
    if (!FLoading && height() != RowsHeight(FVisibleRows))
        SetHeight(RowsHeight(FVisibleRows));
}

void TFlatListBox::resizeEvent(QResizeEvent*)
{
    Resized();
}

void TFlatListBox::SetBounds(int left, int top, int width, int height)
{
    setGeometry(left, top, width, height);
    Resized();
}

void TFlatListBox::Loaded()
{
    FLoading = false;
    UpdateRows();
}

void TFlatListBox::SetItemHeight(int value)
{
    FItemHeight = std::max(1, value);
    if (!FLoading)
        SetHeight(RowsHeight(FVisibleRows));
    UpdateRows();
}

void TFlatListBox::SetScrollBars(bool value)
{
    if (value == FScrollBars)
        return;
    FScrollBars = value;
    if (!FLoading)
        SetHeight(height() + (value ? 20 : -20));
    UpdateRows();
}

// ---- entries and selection ----

void TFlatListBox::SetItems(QStringList& value)
{
    for (QString& s : value)
        s = TrimBlanks(s);
    FItems.Assign(value);
}

void TFlatListBox::ItemsChanged()
{
    if (!isEnabled())
        return;
    FSelection.clear();
    update();
}

void TFlatListBox::SetSorted(bool value)
{
    if (value == FItems.Sorted())
        return;
    FItems.SetSorted(value);
    FSelection.clear();
    update();
}

bool TFlatListBox::Selected(int index) const
{
    return FSelection.contains(index);
}

void TFlatListBox::SetSelected(int index, bool value)
{
    if (!FMultiSelect)
        FSelection.clear();
    if (value && index >= 0)
        FSelection.insert(index);
    else if (!value)
        FSelection.erase(index);
    update();
}

// ---- colours ----

void TFlatListBox::TakeParentColor()
{
    const QWidget* source = parentWidget() ? parentWidget() : this;
    FColor = ColorFromQColor(source->palette().color(QPalette::Window));
    UpdateAdvColors();
    update();
}

void TFlatListBox::UpdateAdvColors()
{
    if (FUseAdvColors)
        FColorBorder = AdvancedColor(FColor, FColorBorder, FAdvColorBorder, true);
}

void TFlatListBox::SetColor(TColor value)
{
    FColor = value;
    FParentColor = false;
    update();
}

void TFlatListBox::SetParentColor(bool value)
{
    FParentColor = value;
    if (value)
        TakeParentColor();
}

void TFlatListBox::SetColorArrow(TColor value)
{
    FColorArrow = value;
    update();
}

void TFlatListBox::SetColorBorder(TColor value)
{
    FColorBorder = value;
    update();
}

void TFlatListBox::SetColorItemsRect(TColor value)
{
    FColorItemsRect = value;
    update();
}

void TFlatListBox::SetColorItemsSelect(TColor value)
{
    FColorItemsSelect = value;
    update();
}

void TFlatListBox::SetTransparentMode(TTransparentMode value)
{
    FTransparentMode = value;
    update();
}

void TFlatListBox::SetUseAdvColors(bool value)
{
    if (value == FUseAdvColors)
        return;
    FUseAdvColors = value;
    SetParentColor(value);
    UpdateAdvColors();
    update();
}

void TFlatListBox::SetAdvColorBorder(TAdvColors value)
{
    FAdvColorBorder = std::clamp(value, 0, 100);
    UpdateAdvColors();
    update();
}

void TFlatListBox::changeEvent(QEvent* event)
{
    switch (event->type()) {
    case QEvent::EnabledChange:
        update();
        break;
    case QEvent::PaletteChange:
    case QEvent::ParentChange:
        if (FParentColor)
            TakeParentColor();
        break;
    default:
        break;
    }
    QWidget::changeEvent(event);
}

void TFlatListBox::moveEvent(QMoveEvent*)
{
    if (FTransparentMode != tmNone)
        update();
}

void TFlatListBox::focusInEvent(QFocusEvent*)
{
    if (FTransparentMode != tmNone)
        update();
}

void TFlatListBox::focusOutEvent(QFocusEvent*)
{
    if (FTransparentMode != tmNone)
        update();
}

// ---- mouse ----

void TFlatListBox::MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, QPoint pos)
{
    if (button == Qt::LeftButton)
        FClicked = true;
    if (FItems.Count() > 0 && button == Qt::LeftButton) {
        for (int r = 0; r < int(FRows.size()); ++r) {
            if (!FRows[size_t(r)].contains(pos))
                continue;
            // Rows past the last entry are hit too: they count as selected although nothing shows there.
            const int i = FTopIndex + r;
            if (!FMultiSelect) {
                FSelection = {i};
            } else if (!FSelection.insert(i).second) {
                FSelection.erase(i); // toggled off
            }
            setFocus(Qt::MouseFocusReason);
            update();
            return; // a press on a row is not reported through OnMouseDown
        }
    }
    if (FScrollBars) {
        if (TopStrip().contains(pos)) {
            FTopIndex = std::max(0, FTopIndex - 1);
            StartRepeat(false);
        } else if (BottomStrip().contains(pos)) {
            if (FItems.Count() >= FTopIndex + FVisibleRows + 1)
                ++FTopIndex;
            StartRepeat(true);
        }
    }
    if (OnMouseDown)
        OnMouseDown(this, button, shift, pos.x(), pos.y());
}

void TFlatListBox::MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, QPoint pos)
{
    if (button == Qt::LeftButton && FClicked) {
        FClicked = false;
        if (rect().contains(pos) && OnClick)
            OnClick(this);
    }
    gRepeatTimer->stop();
    SetRepeatInterval(RepeatDelayMs);
    if (OnMouseUp)
        OnMouseUp(this, button, shift, pos.x(), pos.y());
}

void TFlatListBox::StartRepeat(bool down)
{
    setFocus(Qt::MouseFocusReason);
    update();
    FScrollDown = down;
    gRepeatTimer->stop();
    gRepeatOwner = this;
    gRepeatTimer->start();
}

void TFlatListBox::RepeatTimerTimer()
{
    if (!gRepeatTimer)
        return;
    SetRepeatInterval(RepeatRateMs);
    if (gRepeatOwner)
        gRepeatOwner->RepeatStep();
    else
        gRepeatTimer->stop();
}

void TFlatListBox::RepeatStep()
{
    if (FScrollDown) {
        if (FItems.Count() < FTopIndex + FVisibleRows + 1)
            gRepeatTimer->stop();
        else
            ++FTopIndex;
    } else {
        if (FTopIndex - 1 < 0) {
            FTopIndex = 0;
            gRepeatTimer->stop();
        } else {
            --FTopIndex;
        }
    }
    update();
}

void TFlatListBox::mousePressEvent(QMouseEvent* event)
{
    MouseDown(event->button(), event->modifiers(), event->position().toPoint());
}

void TFlatListBox::mouseReleaseEvent(QMouseEvent* event)
{
    MouseUp(event->button(), event->modifiers(), event->position().toPoint());
}

void TFlatListBox::mouseMoveEvent(QMouseEvent* event)
{
    if (OnMouseMove) {
        const QPoint pos = event->position().toPoint();
        OnMouseMove(this, event->modifiers(), pos.x(), pos.y());
    }
}

void TFlatListBox::contextMenuEvent(QContextMenuEvent* event)
{
    if (!FPopupMenu) {
        event->ignore();
        return;
    }
    // The menu takes the mouse, so the release that ends an auto-repeat started by the same press
    // (a right press on a strip) goes to the menu: the repeat ends here instead.
    gRepeatTimer->stop();
    SetRepeatInterval(RepeatDelayMs);
    FPopupMenu->popup(event->globalPos());
    event->accept();
}

// ---- wheel and keys ----

bool TFlatListBox::SelectOnly(int index)
{
    if (FItems.Count() == 0)
        return false;
    index = std::clamp(index, 0, FItems.Count() - 1);
    for (int i = 0; i < FItems.Count(); ++i)
        if (i != index && Selected(i))
            SetSelected(i, false);
    SetSelected(index, true);
    if (index < FTopIndex)
        FTopIndex = index;
    else if (FVisibleRows > 0 && index >= FTopIndex + FVisibleRows)
        FTopIndex = index - FVisibleRows + 1;
    update();
    return true;
}

void TFlatListBox::ScrollWheelNotch(bool down, int lines)
{
    if (down) {
        if (FItems.Count() >= FTopIndex + FVisibleRows + lines)
            FTopIndex += lines;
        else
            FTopIndex = std::max(0, FItems.Count() - FVisibleRows);
    } else {
        FTopIndex = std::max(0, FTopIndex - lines);
    }
}

void TFlatListBox::MouseWheel(int delta)
{
    if (delta == 0)
        return;
    if ((FWheelRest < 0 && delta > 0) || (FWheelRest > 0 && delta < 0))
        FWheelRest = 0; // a turn the other way drops what was left of the last one
    FWheelRest += delta;
    int lines = QApplication::wheelScrollLines();
    if (lines <= 0)
        lines = FVisibleRows;
    for (; FWheelRest <= -WheelNotch; FWheelRest += WheelNotch)
        ScrollWheelNotch(true, lines);
    for (; FWheelRest >= WheelNotch; FWheelRest -= WheelNotch)
        ScrollWheelNotch(false, lines);
    update();
}

void TFlatListBox::wheelEvent(QWheelEvent* event)
{
    const int delta = event->angleDelta().y();
    if (delta == 0) {
        event->ignore();
        return;
    }
    MouseWheel(delta);
    event->accept();
}

bool TFlatListBox::KeyDown(int key)
{
    const int count = FItems.Count();
    bool handled = true;
    switch (key) {
    case Qt::Key_PageUp:
        FTopIndex = std::max(0, FTopIndex - FVisibleRows);
        break;
    case Qt::Key_PageDown:
        if (count >= 2 * FVisibleRows + FTopIndex)
            FTopIndex += FVisibleRows;
        else
            FTopIndex = std::max(0, count - FVisibleRows);
        break;
    case Qt::Key_Up:
        FTopIndex = std::max(0, FTopIndex - 1);
        break;
    case Qt::Key_Down:
        if (count >= FTopIndex + FVisibleRows + 1)
            ++FTopIndex;
        break;
    default:
        handled = false;
    }
    update();
    return handled;
}

void TFlatListBox::keyPressEvent(QKeyEvent* event)
{
    if (!KeyDown(event->key()))
        QWidget::keyPressEvent(event);
}

// ---- painting ----

void TFlatListBox::DrawArrow(QPainter& p, int cx, int baseY, int apexY, bool active) const
{
    auto triangle = [&](int dx, int dy, TColor color) {
        const QColor c = ToQColor(color);
        p.setPen(c);
        p.setBrush(c);
        const QPoint points[3] = {{cx - 2 + dx, baseY + dy}, {cx + 2 + dx, baseY + dy}, {cx + dx, apexY + dy}};
        p.drawPolygon(points, 3);
    };
    if (active) {
        triangle(0, 0, FColorArrow);
    } else {
        triangle(1, 1, clWhite);
        triangle(0, 0, clGray);
    }
}

void TFlatListBox::Paint(QPainter& p)
{
    const QRect client = rect();
    p.setFont(font());

    const bool seeThrough = FTransparentMode == tmAlways || (FTransparentMode == tmNotFocused && !hasFocus());
    FillRect(p, client, FColorItemsRect);
    if (seeThrough)
        PaintParentBackground(this, p);
    FrameRect(p, client, FColorBorder);

    if (FScrollBars) {
        const QRect top = TopStrip(), bottom = BottomStrip();
        FillRect(p, top, FColor);
        FrameRect(p, top, FColorBorder);
        FillRect(p, bottom, FColor);
        FrameRect(p, bottom, FColorBorder);
        const int cx = client.width() / 2;
        const int end = client.height(); // the bottom edge, one past the last pixel row
        DrawArrow(p, cx, 6, 4, UpArrowActive());
        DrawArrow(p, cx, end - 7, end - 5, DownArrowActive());
    }

    const QColor text = palette().color(QPalette::Active, QPalette::WindowText);
    const int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;
    p.setBrush(Qt::NoBrush);
    for (int r = 0; r < FVisibleRows; ++r) {
        const int i = FTopIndex + r;
        if (i > FItems.Count() - 1)
            break;
        const QRect row = FRows[size_t(r)];
        if (Selected(i)) {
            FillRect(p, row, FColorItemsSelect);
            FrameRect(p, row, FColorBorder);
        }
        const QRect textRect = row.adjusted(3, 0, -3, 0);
        const QString& s = FItems[i];
        if (isEnabled()) {
            p.setPen(text);
            p.drawText(textRect, flags, s);
        } else {
            p.setPen(ToQColor(clBtnHighlight));
            p.drawText(textRect.translated(1, 1), flags, s);
            p.setPen(ToQColor(clBtnShadow));
            p.drawText(textRect, flags, s);
        }
    }
}

void TFlatListBox::paintEvent(QPaintEvent*)
{
    // Inside a parent-background render of any list box, list boxes stay out of the picture.
    if (PaintingParentBackground())
        return;
    const qreal ratio = devicePixelRatioF();
    QPixmap buffer(size() * ratio);
    buffer.setDevicePixelRatio(ratio);
    {
        QPainter p(&buffer);
        Paint(p);
    }
    QPainter(this).drawPixmap(0, 0, buffer);
}
