#include "widgets/ImgBtn.h"

#include <QBitmap>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>

namespace {
TMouseMsg MsgOf(TMouseMsg::TKind kind, const QMouseEvent* e)
{
    TMouseMsg m;
    m.Kind = kind;
    m.Button = e->button();
    m.Buttons = e->buttons();
    m.Shift = e->modifiers();
    m.Pos = e->position().toPoint();
    return m;
}
} // namespace

TImgBtn::TImgBtn(QWidget* owner) : QWidget(owner)
{
    resize(105, 105);
}

void TImgBtn::Show(const QPixmap& picture)
{
    FPicture = picture;
    update();
}

void TImgBtn::SetPicture(const QPixmap& value)
{
    Show(value);
}

void TImgBtn::SetStretch(bool value)
{
    FStretch = value;
    update();
}

void TImgBtn::SetTransparent(bool value)
{
    FTransparent = value;
    update();
}

void TImgBtn::SetPic(const QPixmap& value)
{
    Show(value);
    FPic = value;
}

void TImgBtn::MouseEnter(const TMouseMsg& msg)
{
    if (!FSupported)
        return;
    FMouseInside = true;
    Show(FPressed ? FPicDown : FPicUp);
    if (OnMouseEnter)
        OnMouseEnter(msg);
}

void TImgBtn::MouseLeave(const TMouseMsg& msg)
{
    if (!FSupported)
        return;
    FMouseInside = false;
    Show(FPic);
    if (OnMouseLeave)
        OnMouseLeave(msg);
}

void TImgBtn::MouseDown(const TMouseMsg& msg)
{
    if (msg.Button != Qt::LeftButton)
        return;
    FClicked = true; // the image control's own click tracking
    if (!FSupported)
        return;
    FPressed = true;
    if (FMouseInside)
        Show(FPicDown);
    if (OnMouseDown)
        OnMouseDown(msg);
}

void TImgBtn::MouseUp(const TMouseMsg& msg)
{
    if (msg.Button != Qt::LeftButton)
        return;
    if (FClicked) {
        FClicked = false;
        if (rect().contains(msg.Pos) && OnClick)
            OnClick(this);
    }
    if (!FSupported)
        return;
    FPressed = false;
    if (FMouseInside)
        Show(FPicUp);
    if (OnMouseUp)
        OnMouseUp(msg);
}

void TImgBtn::enterEvent(QEnterEvent* event)
{
    if (!FMouseInside) {
        TMouseMsg m;
        m.Kind = TMouseMsg::mkEnter;
        m.Pos = event->position().toPoint();
        MouseEnter(m);
    }
    QWidget::enterEvent(event);
}

void TImgBtn::leaveEvent(QEvent* event)
{
    if (FMouseInside) {
        TMouseMsg m;
        m.Kind = TMouseMsg::mkLeave;
        MouseLeave(m);
    }
    QWidget::leaveEvent(event);
}

void TImgBtn::mousePressEvent(QMouseEvent* event)
{
    MouseDown(MsgOf(TMouseMsg::mkDown, event));
}

void TImgBtn::mouseMoveEvent(QMouseEvent* event)
{
    // While a button is held Qt grabs the mouse and holds back enter and leave until the release;
    // the pointer crossing the edge is seen here instead.
    const bool inside = rect().contains(event->position().toPoint());
    if (inside && !FMouseInside)
        MouseEnter(MsgOf(TMouseMsg::mkEnter, event));
    else if (!inside && FMouseInside)
        MouseLeave(MsgOf(TMouseMsg::mkLeave, event));
    QWidget::mouseMoveEvent(event);
}

void TImgBtn::mouseReleaseEvent(QMouseEvent* event)
{
    MouseUp(MsgOf(TMouseMsg::mkUp, event));
}

void TImgBtn::paintEvent(QPaintEvent*)
{
    if (FPicture.isNull())
        return;
    const QPixmap* picture = &FPicture;
    if (FTransparent) {
        if (FMaskedKey != FPicture.cacheKey()) {
            const QImage image = FPicture.toImage();
            FMasked = FPicture;
            FMasked.setMask(
                QBitmap::fromImage(image.createMaskFromColor(image.pixel(0, image.height() - 1), Qt::MaskInColor)));
            FMaskedKey = FPicture.cacheKey();
        }
        picture = &FMasked;
    }
    QPainter painter(this);
    if (FStretch)
        painter.drawPixmap(rect(), *picture);
    else
        painter.drawPixmap(0, 0, *picture);
}
