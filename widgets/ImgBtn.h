// The skin's push button: an image control showing its normal, hover or pressed picture according
// to the pointer and the left button, with click and four mouse notifications. UI thread only.
// Input handling (the Mouse* methods) only changes state and the shown picture; painting reads them.
#pragma once

#include "widgets/WidgetEvents.h"

#include <QPixmap>
#include <QPoint>
#include <QWidget>
#include <functional>

// The mouse message that triggered a notification.
struct TMouseMsg {
    enum TKind { mkEnter, mkLeave, mkDown, mkUp };
    TKind Kind = mkEnter;
    Qt::MouseButton Button = Qt::NoButton; // the button pressed or released
    Qt::MouseButtons Buttons;              // buttons held after the event
    Qt::KeyboardModifiers Shift;
    QPoint Pos; // client coordinates; (0, 0) for enter and leave from the window system
};

using TOnMouseEvent = std::function<void(const TMouseMsg& Msg)>;

class TImgBtn : public QWidget {
    Q_OBJECT
public:
    explicit TImgBtn(QWidget* owner = nullptr);

    // The picture shown now. Pictures are values: setting one stores a copy, never the caller's.
    const QPixmap& Picture() const { return FPicture; }
    void SetPicture(const QPixmap& value);
    bool Stretch() const { return FStretch; }
    void SetStretch(bool value);
    // The bottom-left pixel's colour is see-through.
    bool Transparent() const { return FTransparent; }
    void SetTransparent(bool value);

    const QPixmap& Pic() const { return FPic; }
    // Shows the picture as well as storing it.
    void SetPic(const QPixmap& value);
    const QPixmap& PicDown() const { return FPicDown; }
    // Stores only; the shown picture changes at the next enter, press or release.
    void SetPicDown(const QPixmap& value) { FPicDown = value; }
    const QPixmap& PicUp() const { return FPicUp; }
    void SetPicUp(const QPixmap& value) { FPicUp = value; }

    // False: a plain image that still clicks, but no picture switching and no mouse notifications.
    bool Supported() const { return FSupported; }
    void SetSupported(bool value) { FSupported = value; }

    bool MouseInside() const { return FMouseInside; }
    bool Pressed() const { return FPressed; }

    TNotifyEvent OnClick;
    TOnMouseEvent OnMouseDown;
    TOnMouseEvent OnMouseEnter;
    TOnMouseEvent OnMouseLeave;
    TOnMouseEvent OnMouseUp;

    // Input handling, called by the Qt event handlers below.
    void MouseEnter(const TMouseMsg& msg);
    void MouseLeave(const TMouseMsg& msg);
    void MouseDown(const TMouseMsg& msg);
    void MouseUp(const TMouseMsg& msg);

protected:
    void paintEvent(QPaintEvent*) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void Show(const QPixmap& picture);

    QPixmap FPicture;
    QPixmap FPic, FPicDown, FPicUp;
    bool FStretch = false;
    bool FTransparent = false;
    bool FSupported = true;
    bool FMouseInside = false;
    bool FPressed = false;
    bool FClicked = false; // a left press started on the button and has not been released
    QPixmap FMasked;       // FPicture with its key colour cut out, made when first painted
    qint64 FMaskedKey = 0; // cacheKey() of the picture FMasked was made from
};
