// Window shapes from skin pictures, and the shipped skins themselves.
#include "assets/Skin.h"
#include "platform/kernel/Exceptions.h"

#include <gtest/gtest.h>

#include <set>

namespace {

// A picture from rows of characters: '.' is the colour `background`, any other letter `ink`.
QImage Picture(const std::vector<std::string>& rows, QRgb background, QRgb ink)
{
    QImage image(static_cast<int>(rows.front().size()), static_cast<int>(rows.size()), QImage::Format_RGB888);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, rows[y][x] == '.' ? background : ink);
    return image;
}

const QRgb White = qRgb(255, 255, 255);
const QRgb Black = qRgb(0, 0, 0);

} // namespace

TEST(SkinRegion, RunsFollowTheOpaquePixelsOfEachRow)
{
    const QImage image = Picture({"......",  //
                                  ".xx.xx",  // two runs, the second up to the last column
                                  "xxxxxx",  // the whole row
                                  "......"}, // nothing
                                 White, qRgb(254, 254, 254));
    const std::vector<QRect> runs = SkinRuns(image);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0], QRect(1, 1, 2, 1));
    EXPECT_EQ(runs[1], QRect(4, 1, 2, 1));
    EXPECT_EQ(runs[1].x() + runs[1].width(), image.width()); // ends at x = W
    EXPECT_EQ(runs[2], QRect(0, 2, 6, 1));

    const auto region = CreateSkinRegion(image);
    ASSERT_TRUE(region.has_value());
    QRegion expected;
    for (const QRect& r : runs)
        expected += r;
    EXPECT_EQ(*region, expected);
    EXPECT_TRUE(region->contains(QPoint(5, 1)));
    EXPECT_FALSE(region->contains(QPoint(3, 1)));
    EXPECT_FALSE(region->contains(QPoint(0, 0)));
}

TEST(SkinRegion, PixelZeroZeroChoosesTheTransparentColour)
{
    // Black at (0, 0): black is transparent, and white, like every other colour, is opaque.
    const QImage image = Picture({"..x", "x.."}, Black, White);
    const auto region = CreateSkinRegion(image);
    ASSERT_TRUE(region.has_value());
    EXPECT_EQ(*region, QRegion(2, 0, 1, 1) + QRegion(0, 1, 1, 1));

    QImage mixed = Picture({"...", "..."}, Black, White);
    mixed.setPixel(1, 1, qRgb(0, 0, 1)); // one step from black is not black
    EXPECT_EQ(CreateSkinRegion(mixed), QRegion(1, 1, 1, 1));
}

TEST(SkinRegion, NoRegionWithoutOpaquePixels)
{
    EXPECT_FALSE(CreateSkinRegion(QImage()).has_value());
    EXPECT_FALSE(CreateSkinRegion(QImage(5, 0, QImage::Format_RGB32)).has_value());
    EXPECT_FALSE(CreateSkinRegion(Picture({"....", "...."}, White, White)).has_value());
    // A one-pixel picture is its own transparent colour.
    EXPECT_FALSE(CreateSkinRegion(Picture({"x"}, White, Black)).has_value());
}

TEST(ShippedSkins, SameSizeAndShapeDifferentPictures)
{
    const QImage main = artwork::Load(artwork::SkinMain);
    const QImage list = artwork::Load(artwork::SkinList);
    for (const QImage* skin : {&main, &list}) {
        SCOPED_TRACE(skin == &main ? "main" : "list");
        EXPECT_EQ(skin->size(), QSize(396, 238));
        EXPECT_FALSE(skin->hasAlphaChannel());
        EXPECT_EQ(skin->pixel(0, 0), White);
        const std::vector<QRect> runs = SkinRuns(*skin);
        ASSERT_EQ(runs.size(), 226u);
        std::set<int> rows;
        QRect bounds;
        for (const QRect& r : runs) {
            rows.insert(r.y());
            bounds |= r;
        }
        EXPECT_EQ(rows.size(), 226u); // one run per row
        EXPECT_EQ(bounds, QRect(QPoint(6, 5), QPoint(389, 230)));
    }
    EXPECT_EQ(SkinRuns(main), SkinRuns(list));
    EXPECT_NE(main, list);
}

TEST(ShippedPictures, AllLoadAtTheirDrawnSizes)
{
    EXPECT_EQ(artwork::Load(artwork::KnobVolume).size(), QSize(15, 10));
    EXPECT_EQ(artwork::Load(artwork::KnobFrequency).size(), QSize(15, 10));
    EXPECT_EQ(artwork::Load(artwork::KnobPosition).size(), QSize(14, 10));
    EXPECT_EQ(artwork::Load(artwork::KnobCrossfader).size(), QSize(9, 20));
    for (const auto& looks : {artwork::BtnPlay, artwork::BtnPause, artwork::BtnStop, artwork::BtnAdd, artwork::BtnMin,
                              artwork::BtnClose, artwork::BtnSave, artwork::BtnHelp}) {
        const QImage normal = artwork::Load(looks.Normal);
        EXPECT_EQ(artwork::Load(looks.Hover).size(), normal.size()) << looks.Normal;
        EXPECT_EQ(artwork::Load(looks.Down).size(), normal.size()) << looks.Normal;
        // Buttons are shown with transparency keyed on the bottom-left pixel: it must be see-through.
        EXPECT_EQ(qAlpha(normal.pixel(0, normal.height() - 1)), 0) << looks.Normal;
    }
    for (const char* path : {artwork::LoopOff, artwork::LoopOn, artwork::LoopDown, artwork::RecordIdle,
                             artwork::RecordActive, artwork::RecPauseRunning, artwork::RecPausePaused})
        EXPECT_FALSE(artwork::Load(path).isNull()) << path;
    EXPECT_THROW(artwork::Load(":/pictures/none.png"), Exception);
}
