// A picture on a form, sized to its picture: the skins of the two windows. It repaints only the
// exposed part, as a copy of opaque pixels: the level displays over the skin repaint twenty times a
// second each, and a whole blended skin per repaint cost more than the rest of the window. UI thread.
#pragma once

#include <QImage>
#include <QWidget>

class TImage : public QWidget {
    Q_OBJECT
public:
    explicit TImage(QWidget* owner = nullptr);

    // Sets the picture and sizes the widget to its logical size (a picture of ratio 2 shows its
    // pixels on a screen of ratio 2). Transparency is dropped: the window's shape, not the picture's
    // alpha, decides what shows.
    void SetPicture(const QImage& picture);
    const QImage& Picture() const { return FPicture; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage FPicture;
};
