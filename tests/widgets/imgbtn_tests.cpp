#include "tests/widgets/Send.h"
#include "widgets/ImgBtn.h"

#include <QPainter>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

QPixmap Solid(QColor c, QSize size = QSize(20, 10))
{
    QPixmap p(size);
    p.fill(c);
    return p;
}

QColor Shown(const TImgBtn& b)
{
    return b.Picture().toImage().pixelColor(0, 0);
}

const QColor Normal(200, 0, 0), Up(0, 200, 0), Down(0, 0, 200);

// A shown button with three distinct looks that logs its notifications in order.
struct Fixture {
    TImgBtn btn;
    std::vector<std::string> log;
    Fixture()
    {
        btn.resize(20, 10);
        btn.SetPic(Solid(Normal));
        btn.SetPicUp(Solid(Up));
        btn.SetPicDown(Solid(Down));
        btn.OnClick = [this](QObject* sender) {
            EXPECT_EQ(sender, &btn);
            log.push_back("click");
        };
        btn.OnMouseEnter = [this](const TMouseMsg&) { log.push_back("enter"); };
        btn.OnMouseLeave = [this](const TMouseMsg&) { log.push_back("leave"); };
        btn.OnMouseDown = [this](const TMouseMsg& m) {
            EXPECT_EQ(m.Kind, TMouseMsg::mkDown);
            log.push_back("down");
        };
        btn.OnMouseUp = [this](const TMouseMsg&) { log.push_back("up"); };
        btn.show();
    }
};

using Log = std::vector<std::string>;

} // namespace

TEST(ImgBtn, LookCycleAndDraggingOffAndBackStillClicksOnce)
{
    Fixture f;
    EXPECT_EQ(Shown(f.btn), Normal);
    send::Enter(f.btn);
    EXPECT_EQ(Shown(f.btn), Up);
    send::Press(f.btn, {5, 5});
    EXPECT_TRUE(f.btn.Pressed());
    EXPECT_EQ(Shown(f.btn), Down);

    send::Drag(f.btn, {40, 5}); // off the button while holding
    EXPECT_FALSE(f.btn.MouseInside());
    EXPECT_EQ(Shown(f.btn), Normal);
    send::Drag(f.btn, {6, 6}); // and back
    EXPECT_EQ(Shown(f.btn), Down);

    send::Release(f.btn, {6, 6});
    EXPECT_FALSE(f.btn.Pressed());
    EXPECT_EQ(Shown(f.btn), Up);
    send::Leave(f.btn);
    EXPECT_EQ(Shown(f.btn), Normal);
    EXPECT_EQ(f.log, (Log{"enter", "down", "leave", "enter", "click", "up", "leave"}));
}

TEST(ImgBtn, ReleaseOutsideGivesNoClickAndKeepsTheNormalLook)
{
    Fixture f;
    send::Enter(f.btn);
    send::Press(f.btn, {5, 5});
    send::Drag(f.btn, {30, 30});
    send::Release(f.btn, {30, 30});
    EXPECT_FALSE(f.btn.Pressed());
    EXPECT_EQ(Shown(f.btn), Normal);
    send::Leave(f.btn); // the window system reports the leave only after the release
    EXPECT_EQ(f.log, (Log{"enter", "down", "leave", "up"}));

    // Right-button presses are not the button's business and never click.
    send::Enter(f.btn);
    send::Press(f.btn, {5, 5}, Qt::RightButton);
    EXPECT_FALSE(f.btn.Pressed());
    send::Release(f.btn, {5, 5}, Qt::RightButton);
    EXPECT_EQ(f.log.back(), "enter");
}

TEST(ImgBtn, UnsupportedIsAPlainImageThatStillClicks)
{
    Fixture f;
    f.btn.SetSupported(false);
    send::Enter(f.btn);
    send::Press(f.btn, {5, 5});
    EXPECT_EQ(Shown(f.btn), Normal);
    send::Release(f.btn, {5, 5});
    send::Leave(f.btn);
    EXPECT_EQ(Shown(f.btn), Normal);
    EXPECT_FALSE(f.btn.Pressed());
    EXPECT_EQ(f.log, (Log{"click"}));
}

TEST(ImgBtn, StoredPicturesAreCopiesShownAtTheNextTransition)
{
    Fixture f;
    send::Enter(f.btn);
    QPixmap mine = Solid(Qt::yellow);
    f.btn.SetPicUp(mine); // hovering: nothing changes yet
    EXPECT_EQ(Shown(f.btn), Up);
    QPainter(&mine).fillRect(mine.rect(), Qt::black); // the caller's pixmap, not the button's copy
    EXPECT_EQ(f.btn.PicUp().toImage().pixelColor(0, 0), QColor(Qt::yellow));

    // A click handler that swaps every picture (as pause does) sees its new hover look at once.
    const QColor pauseUp(10, 20, 30);
    f.btn.OnClick = [&](QObject*) {
        EXPECT_EQ(Shown(f.btn), Down);
        f.btn.SetPic(Solid(Qt::magenta));
        EXPECT_EQ(Shown(f.btn), QColor(Qt::magenta)); // Pic shows at once
        f.btn.SetPicUp(Solid(pauseUp));
    };
    send::Press(f.btn, {5, 5});
    send::Release(f.btn, {5, 5});
    EXPECT_EQ(Shown(f.btn), pauseUp);
    send::Leave(f.btn);
    EXPECT_EQ(Shown(f.btn), QColor(Qt::magenta));
}

TEST(ImgBtn, TransparentPaintsTheBottomLeftColourSeeThroughAndStretchScales)
{
    QWidget parent;
    parent.setAutoFillBackground(true);
    QPalette pal = parent.palette();
    pal.setColor(QPalette::Window, Qt::blue);
    parent.setPalette(pal);
    parent.resize(40, 40);
    TImgBtn btn(&parent);
    btn.setGeometry(0, 0, 20, 20);
    QImage image(10, 10, QImage::Format_RGB32);
    image.fill(Qt::white);              // the key colour, taken from the bottom-left pixel
    image.setPixelColor(2, 2, Qt::red); // one opaque pixel
    btn.SetPic(QPixmap::fromImage(image));
    btn.SetTransparent(true);
    parent.show();

    QImage shot = parent.grab().toImage();
    EXPECT_EQ(shot.pixelColor(5, 5), QColor(Qt::blue));
    EXPECT_EQ(shot.pixelColor(2, 2), QColor(Qt::red));

    btn.SetStretch(true); // the 10 x 10 picture now covers 20 x 20: pixel (2, 2) becomes 4..5
    shot = parent.grab().toImage();
    EXPECT_EQ(shot.pixelColor(5, 5), QColor(Qt::red));
    EXPECT_EQ(shot.pixelColor(15, 15), QColor(Qt::blue));

    image.setPixelColor(2, 2, Qt::green); // a new picture gets its own cut-out
    btn.SetPic(QPixmap::fromImage(image));
    shot = parent.grab().toImage();
    EXPECT_EQ(shot.pixelColor(5, 5), QColor(Qt::green));
    EXPECT_EQ(shot.pixelColor(15, 15), QColor(Qt::blue));
}
