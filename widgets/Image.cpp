#include "widgets/Image.h"

#include <QPaintEvent>
#include <QPainter>

#include <algorithm>

namespace {
// Qt's raster engine splits a copy of more than about 96 rows across its thread pool. For a patch of
// skin the hand-off costs more than the copy, and it woke two threads at each level display refresh.
constexpr int BandRows = 64;
} // namespace

TImage::TImage(QWidget* owner) : QWidget(owner)
{
    setAttribute(Qt::WA_OpaquePaintEvent); // every exposed pixel is painted: no background fill first
}

void TImage::SetPicture(const QImage& picture)
{
    FPicture = picture.convertToFormat(QImage::Format_RGB32);
    resize(FPicture.deviceIndependentSize().toSize());
    update();
}

void TImage::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    for (const QRect& r : event->region())
        for (int top = r.top(); top <= r.bottom(); top += BandRows) {
            const QRect band(r.left(), top, r.width(), std::min(BandRows, r.bottom() + 1 - top));
            // The source rectangle is in the picture's own pixels: logical ones times its ratio.
            const qreal ratio = FPicture.devicePixelRatio();
            painter.drawImage(QRectF(band), FPicture,
                              QRectF(band.x() * ratio, band.y() * ratio, band.width() * ratio, band.height() * ratio));
        }
}
