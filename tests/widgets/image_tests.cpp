#include "widgets/Image.h"

#include <QPainter>
#include <gtest/gtest.h>

namespace {

// A picture of distinct pixels, with alpha that the image drops.
QImage Pattern(QSize size)
{
    QImage image(size, QImage::Format_ARGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y, qRgba(x * 3 % 256, y * 5 % 256, (x + y) % 256, y % 2 ? 255 : 40));
    return image;
}

} // namespace

TEST(Image, SizesToItsPictureAndRepaintsExposedPartsPixelExact)
{
    const QImage picture = Pattern(QSize(150, 240)); // taller than several copy bands
    const QImage opaque = picture.convertToFormat(QImage::Format_RGB32);
    TImage image;
    image.SetPicture(picture);
    EXPECT_EQ(image.size(), QSize(150, 240));

    QImage whole(image.size(), QImage::Format_RGB32);
    whole.fill(Qt::black);
    image.render(&whole);
    EXPECT_EQ(whole, opaque);

    // A region of two rectangles, one of them crossing band edges: only they are painted.
    QImage part(image.size(), QImage::Format_RGB32);
    part.fill(Qt::black);
    const QRegion exposed = QRegion(10, 60, 30, 140) + QRegion(100, 5, 20, 20);
    image.render(&part, exposed.boundingRect().topLeft(), exposed); // the region keeps its place
    for (int y = 0; y < part.height(); ++y)
        for (int x = 0; x < part.width(); ++x)
            ASSERT_EQ(part.pixel(x, y), exposed.contains(QPoint(x, y)) ? opaque.pixel(x, y) : qRgb(0, 0, 0))
                << x << "," << y;
}
