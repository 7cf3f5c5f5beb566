#include "assets/Skin.h"

#include "platform/kernel/Exceptions.h"

#include <QGuiApplication>

namespace artwork {

QImage Load(const char* path)
{
    QImage image(QString::fromLatin1(path));
    if (image.isNull())
        throw Exception(std::string("Missing picture ") + path);
    return image;
}

QImage LoadForScreen(const char* path)
{
    if (qGuiApp && qGuiApp->devicePixelRatio() > 1.0) {
        QString sharp = QString::fromLatin1(path);
        sharp.insert(sharp.lastIndexOf('.'), "@2x");
        QImage image(sharp);
        if (!image.isNull()) {
            image.setDevicePixelRatio(2);
            return image;
        }
    }
    return Load(path);
}

} // namespace artwork

std::vector<QRect> SkinRuns(const QImage& skin)
{
    std::vector<QRect> runs;
    const int width = skin.width();
    const int height = skin.height();
    if (height <= 0 || width <= 0)
        return runs;
    const QImage pixels = skin.convertToFormat(QImage::Format_ARGB32);
    const QRgb transparent = pixels.pixel(0, 0);
    for (int y = 0; y < height; ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(pixels.constScanLine(y));
        int x = 0;
        while (x < width) {
            while (x < width && row[x] == transparent)
                ++x;
            if (x == width)
                break;
            const int start = x;
            while (x < width && row[x] != transparent)
                ++x;
            runs.emplace_back(QPoint(start, y), QPoint(x - 1, y)); // right edge x excluded
        }
    }
    return runs;
}

std::optional<QRegion> CreateSkinRegion(const QImage& skin)
{
    const std::vector<QRect> runs = SkinRuns(skin);
    if (runs.empty())
        return std::nullopt;
    QRegion region(runs.front());
    for (std::size_t i = 1; i < runs.size(); ++i)
        region = region.united(runs[i]);
    return region;
}
