#include "platform/kernel/TimeScale.h"
#include "tests/support/Pointer.h"
#include "tests/widgets/Send.h"
#include "widgets/TFlatListBoxUnit.h"

#include <QLabel>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <memory>

namespace {

// A list box set up as the playlist window sets up its boxes: 180 x 195 with scroll strips.
struct Playlist {
    QWidget parent;
    TFlatListBox box{&parent};

    explicit Playlist(int entries = 0)
    {
        parent.resize(400, 260);
        box.BeginLoad();
        box.SetBounds(16, 32, 180, 195);
        box.SetScrollBars(true);
        box.SetColor(clYellow);
        box.SetColorArrow(clLime);
        box.SetColorBorder(RGB(255, 128, 0));
        box.SetColorItemsRect(clOlive);
        box.SetColorItemsSelect(clLime);
        box.Loaded();
        for (int i = 0; i < entries; ++i)
            box.Items().Add(QString("Song %1.mp3").arg(i));
        parent.show();
    }
    QPoint Row(int r) const { return box.Rows().at(size_t(r)).center(); }
    QPoint Bottom() const { return box.BottomStrip().center(); }
    QPoint Top() const { return box.TopStrip().center(); }
    QImage Shot() { return box.grab().toImage(); }
};

QColor Q(TColor c)
{
    return ToQColor(c);
}

} // namespace

TEST(FlatListBox, RowsLayOutAndTheHeightSnapsToWholeRows)
{
    TFlatListBox plain; // a new box: 99 x 137, no strips
    ASSERT_EQ(plain.VisibleRows(), 7);
    EXPECT_EQ(plain.Rows().back(), QRect(3, 3 + 6 * 19, 93, 17));

    Playlist p;
    TFlatListBox& box = p.box;
    EXPECT_EQ(box.height(), 195);
    ASSERT_EQ(box.VisibleRows(), 9);
    EXPECT_EQ(box.Rows().front(), QRect(3, 13, 174, 17));
    EXPECT_EQ(box.Rows().back(), QRect(3, 13 + 8 * 19, 174, 17));

    box.resize(180, 212); // short of a whole row more: back to 195
    EXPECT_EQ(box.height(), 195);
    box.resize(180, 214);
    EXPECT_EQ(box.VisibleRows(), 10);
    box.SetScrollBars(false); // 20 pixels shorter, rows from the top border
    EXPECT_EQ(box.height(), 194);
    EXPECT_EQ(box.VisibleRows(), 10);
    EXPECT_EQ(box.Rows().front().top(), 3);
    box.SetItemHeight(20); // same row count, taller rows
    EXPECT_EQ(box.height(), 22 * 10 + 4);
    box.SetItemHeight(-5);
    EXPECT_EQ(box.height(), 3 * 10 + 4);

    plain.SetScrollBars(true); // too small for any row: none, never a negative count
    plain.SetBounds(0, 0, 50, 5);
    EXPECT_EQ(plain.VisibleRows(), 0);
    EXPECT_EQ(plain.height(), 24);
}

TEST(FlatListBox, KeysScrollTheViewOnly)
{
    Playlist three(3);
    QTest::keyClick(&three.box, Qt::Key_PageDown);
    EXPECT_EQ(three.box.TopIndex(), 0);

    Playlist p(30);
    TFlatListBox& box = p.box;
    box.SetSelected(4, true);
    const std::pair<Qt::Key, int> steps[] = {
        {Qt::Key_PageDown, 9}, {Qt::Key_PageDown, 18}, {Qt::Key_PageDown, 21}, // the last page ends at the last entry
        {Qt::Key_Down, 21},    {Qt::Key_Up, 20},       {Qt::Key_PageUp, 11},
        {Qt::Key_PageUp, 2},   {Qt::Key_PageUp, 0},    {Qt::Key_Up, 0},
    };
    for (auto [key, top] : steps) {
        QTest::keyClick(&box, key);
        EXPECT_EQ(box.TopIndex(), top) << key;
    }
    EXPECT_TRUE(box.Selected(4));
    EXPECT_FALSE(box.KeyDown(Qt::Key_Delete)); // left to the window's own shortcut
}

TEST(FlatListBox, WheelScrollsWholeNotches)
{
    const int oldLines = QApplication::wheelScrollLines();
    QApplication::setWheelScrollLines(3);
    Playlist p(20);
    const std::pair<int, int> steps[] = {
        {-120, 3},  {-240, 9}, // two notches in one message
        {-120, 11},            // held at the last entry in the last row
        {120, 8},   {105, 8},  // a fine-grained wheel: nothing until a whole notch is turned
        {-60, 8},   {15, 8},   // turning back drops the part-notch
        {105, 5},   {600, 0},
    };
    for (auto [delta, top] : steps) {
        send::Wheel(p.box, delta);
        EXPECT_EQ(p.box.TopIndex(), top) << delta;
    }
    QApplication::setWheelScrollLines(oldLines);
}

TEST(FlatListBox, ClicksSelectOneOrToggle)
{
    Playlist p(3);
    TFlatListBox& box = p.box;
    int clicks = 0, downs = 0;
    box.OnClick = [&](QObject*) { ++clicks; };
    box.OnMouseDown = [&](QObject*, Qt::MouseButton, Qt::KeyboardModifiers, int, int) { ++downs; };
    auto selection = [&] { return QString("%1%2%3").arg(box.Selected(0)).arg(box.Selected(1)).arg(box.Selected(2)); };

    send::Click(box, p.Row(1));
    send::Click(box, p.Row(1)); // again: stays selected
    EXPECT_EQ(selection(), "010");
    send::Click(box, p.Row(2));
    EXPECT_EQ(selection(), "001");
    EXPECT_EQ(clicks, 3);
    EXPECT_EQ(downs, 0); // presses on rows are not reported

    box.SetMultiSelect(true); // keeps the selection
    send::Click(box, p.Row(0));
    send::Click(box, p.Row(2));
    EXPECT_EQ(selection(), "100");
    send::Click(box, p.Row(0));
    EXPECT_EQ(selection(), "000");

    box.SetMultiSelect(false);
    send::Click(box, p.Row(1));
    send::Click(box, p.Row(5)); // below the last entry: no entry stays selected
    EXPECT_EQ(selection(), "000");

    send::Press(box, p.Row(1)); // released off the control: selected, but no click
    send::Release(box, {300, 10});
    EXPECT_EQ(selection(), "010");
    EXPECT_EQ(clicks, 8);
    send::Click(box, {1, 100}); // the border beside the rows
    EXPECT_EQ(downs, 1);
    EXPECT_EQ(clicks, 9);
}

TEST(FlatListBox, TheWheelAndPageDownReachTheLastOfALongListAndItCanBeSelected)
{
    const int oldLines = QApplication::wheelScrollLines();
    QApplication::setWheelScrollLines(3);
    Playlist p(2000);
    TFlatListBox& box = p.box;
    const int lastTop = 2000 - 9;
    for (int i = 0; i < 700; ++i)
        send::Wheel(box, -120);
    EXPECT_EQ(box.TopIndex(), lastTop);
    send::Wheel(box, 120 * 700);
    QApplication::setWheelScrollLines(oldLines);
    ASSERT_EQ(box.TopIndex(), 0);
    for (int i = 0; i < 250; ++i)
        QTest::keyClick(&box, Qt::Key_PageDown);
    ASSERT_EQ(box.TopIndex(), lastTop);

    box.SetSelected(3, true);
    send::Click(box, p.Row(8));
    EXPECT_TRUE(box.Selected(1999));
    EXPECT_FALSE(box.Selected(3));
    EXPECT_EQ(p.Shot().pixelColor(170, p.Row(8).y()), Q(clLime));

    box.SetMultiSelect(true); // toggling works as far down too
    send::Click(box, p.Row(7));
    send::Click(box, p.Row(8));
    EXPECT_TRUE(box.Selected(1998));
    EXPECT_FALSE(box.Selected(1999));
    box.SetSelected(-1, true);
    EXPECT_FALSE(box.Selected(-1));
}

TEST(FlatListBox, ChangingTheEntriesClearsTheSelection)
{
    Playlist p(12);
    TFlatListBox& box = p.box;
    box.SetSelected(0, true);
    box.Items().Add("one more.wav");
    EXPECT_FALSE(box.Selected(0));

    box.KeyDown(Qt::Key_PageDown);
    box.SetSelected(1, true);
    box.Items().Clear(); // the view is not scrolled back
    EXPECT_FALSE(box.Selected(1));
    EXPECT_EQ(box.TopIndex(), 4);

    QStringList names{"  b.mp3 ", "\ta.wav", "c.mp3"};
    box.SetItems(names);
    EXPECT_EQ(names, (QStringList{"b.mp3", "a.wav", "c.mp3"})); // trimmed in the given list itself
    EXPECT_EQ(box.Items().List(), names);

    QStringList many;
    for (int i = 0; i < 2000; ++i)
        many << QString(" %1 ").arg(i);
    box.SetItems(many); // any length
    ASSERT_EQ(box.Items().Count(), 2000);
    EXPECT_EQ(box.Items()[1999], "1999");
    box.SetItems(names);

    box.SetSelected(2, true);
    box.SetSorted(true);
    EXPECT_EQ(box.Items().List(), (QStringList{"a.wav", "b.mp3", "c.mp3"}));
    EXPECT_FALSE(box.Selected(2));
    box.Items().Add("B.mp3");
    EXPECT_EQ(box.Items()[2], "B.mp3");
}

TEST(FlatListBox, HoldingAStripRepeatsAfter600ThenEvery100)
{
    Playlist p(12);
    TFlatListBox& box = p.box;
    QTimer* timer = TFlatListBox::RepeatTimer();
    ASSERT_NE(timer, nullptr);

    send::Press(box, p.Bottom());
    EXPECT_EQ(box.TopIndex(), 1); // one row at once
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(TFlatListBox::RepeatInterval(), 600);
    EXPECT_EQ(timer->interval(), timescale::TimerInterval(600));
    TFlatListBox::RepeatTimerTimer();
    EXPECT_EQ(TFlatListBox::RepeatInterval(), 100);
    TFlatListBox::RepeatTimerTimer();
    TFlatListBox::RepeatTimerTimer();
    EXPECT_EQ(box.TopIndex(), 3); // the last entry in the last row
    EXPECT_FALSE(timer->isActive());
    send::Release(box, p.Bottom());
    EXPECT_EQ(TFlatListBox::RepeatInterval(), 600);

    send::Press(box, p.Top(), Qt::RightButton); // any button works on the strips
    EXPECT_EQ(box.TopIndex(), 2);
    TFlatListBox::RepeatTimerTimer();
    TFlatListBox::RepeatTimerTimer();
    EXPECT_EQ(box.TopIndex(), 0);
    EXPECT_TRUE(timer->isActive());
    TFlatListBox::RepeatTimerTimer();
    EXPECT_FALSE(timer->isActive());
    send::Release(box, p.Top(), Qt::RightButton);
}

TEST(FlatListBox, AutoRepeatRunsOnItsTimerUntilTheEnd)
{
    timescale::Scope fast(20);
    Playlist p(40);
    send::Press(p.box, p.Bottom());
    QTRY_COMPARE_WITH_TIMEOUT(p.box.TopIndex(), 31, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!TFlatListBox::RepeatTimer()->isActive(), 10000);
    send::Release(p.box, p.Bottom());
}

TEST(FlatListBox, ARightPressOnAStripThatOpensTheMenuLeavesNoRepeatRunning)
{
    timescale::Scope fast(20);
    Playlist p(40);
    QMenu menu(&p.parent);
    menu.addAction("Delete");
    p.box.SetPopupMenu(&menu);
    testsupport::Pointer pointer(&p.parent);
    const QPoint strip = p.box.mapTo(&p.parent, p.Bottom());
    pointer.Press(strip, Qt::RightButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return menu.isVisible(); }, 2000));
    pointer.Release(strip, Qt::RightButton);               // the menu's now
    EXPECT_EQ(p.box.TopIndex(), 1);                        // the press scrolled one row
    QTest::qWait(timescale::TimerInterval(600 + 3 * 100)); // a repeat would have gone on
    EXPECT_EQ(p.box.TopIndex(), 1);
    EXPECT_FALSE(TFlatListBox::RepeatTimer()->isActive());
    menu.close();
}

TEST(FlatListBox, TheSharedRepeatTimerOutlivesAllButTheLastListBox)
{
    auto a = std::make_unique<Playlist>(20);
    auto b = std::make_unique<Playlist>(20);
    send::Press(a->box, a->Bottom());
    a.reset(); // destroyed while repeating: the timer stops and forgets it
    ASSERT_NE(TFlatListBox::RepeatTimer(), nullptr);
    EXPECT_FALSE(TFlatListBox::RepeatTimer()->isActive());
    TFlatListBox::RepeatTimerTimer();

    send::Press(b->box, b->Bottom());
    TFlatListBox::RepeatTimerTimer();
    EXPECT_EQ(b->box.TopIndex(), 2);
    send::Release(b->box, b->Bottom());
    b.reset();
    EXPECT_EQ(TFlatListBox::RepeatTimer(), nullptr);
    Playlist c(20); // a later list box makes a new one
    EXPECT_NE(TFlatListBox::RepeatTimer(), nullptr);
}

TEST(FlatListBox, PaintsFrameStripsRowsAndArrows)
{
    Playlist p(12);
    TFlatListBox& box = p.box;
    box.SetSelected(2, true);
    QImage shot = p.Shot();
    if (const QByteArray dir = qgetenv("DUODECK_SNAPSHOT_DIR"); !dir.isEmpty())
        shot.save(QString::fromLocal8Bit(dir) + "/flatlistbox.png");

    const QColor border = Q(RGB(255, 128, 0));
    EXPECT_EQ(shot.pixelColor(0, 100), border);
    EXPECT_EQ(shot.pixelColor(179, 194), border);
    EXPECT_EQ(shot.pixelColor(10, 5), Q(clYellow));   // top strip
    EXPECT_EQ(shot.pixelColor(10, 10), border);       // its frame
    EXPECT_EQ(shot.pixelColor(10, 189), Q(clYellow)); // bottom strip
    EXPECT_EQ(shot.pixelColor(170, 105), Q(clOlive)); // an unselected row
    const QRect sel = box.Rows()[2];
    EXPECT_EQ(shot.pixelColor(170, sel.center().y()), Q(clLime));
    EXPECT_EQ(shot.pixelColor(sel.topLeft()), border);
    EXPECT_EQ(shot.pixelColor(sel.bottomRight()), border);

    // At the top the up arrow is embossed (grey over a white shadow), the down arrow active.
    const int cx = 90;
    EXPECT_EQ(shot.pixelColor(cx, 5), Q(clGray));
    EXPECT_EQ(shot.pixelColor(cx + 3, 7), Q(clWhite));
    EXPECT_EQ(shot.pixelColor(cx, 189), Q(clLime));

    box.KeyDown(Qt::Key_PageDown); // at the end: the other way round
    shot = p.Shot();
    EXPECT_EQ(shot.pixelColor(cx, 5), Q(clLime));
    EXPECT_EQ(shot.pixelColor(cx + 3, 7), Q(clYellow));
    EXPECT_EQ(shot.pixelColor(cx, 189), Q(clGray));

    box.setEnabled(false); // disabled: embossed however far it could scroll
    shot = p.Shot();
    EXPECT_EQ(shot.pixelColor(cx, 5), Q(clGray));
    EXPECT_EQ(shot.pixelColor(cx + 3, 7), Q(clWhite));
    // and its text is drawn in the button shadow colour over a highlight
    int shadow = 0;
    for (int x = 3; x < 60; ++x)
        shadow += shot.pixelColor(x, box.Rows()[0].center().y()) == Q(clBtnShadow);
    EXPECT_GT(shadow, 0);
}

TEST(FlatListBox, SeeThroughModesShowTheParentAndItsSkinUnderneath)
{
    Playlist p;
    QImage skin(400, 260, QImage::Format_RGB32);
    skin.fill(Qt::blue);
    for (int y = 50; y < 60; ++y) // a red patch under the first row (list box at 16, 32)
        for (int x = 20; x < 30; ++x)
            skin.setPixelColor(x, y, Qt::red);
    QLabel image(&p.parent);
    image.setPixmap(QPixmap::fromImage(skin));
    image.setGeometry(0, 0, 400, 260);
    image.lower(); // under the list box, as the window's skin is
    image.show();
    const QPoint patch(8, 22), plain(100, 100);

    EXPECT_EQ(p.Shot().pixelColor(patch), Q(clOlive));
    p.box.SetTransparentMode(tmAlways);
    QImage shot = p.Shot();
    EXPECT_EQ(shot.pixelColor(patch), QColor(Qt::red));
    EXPECT_EQ(shot.pixelColor(plain), QColor(Qt::blue));
    EXPECT_EQ(shot.pixelColor(0, 100), Q(RGB(255, 128, 0)));
    EXPECT_EQ(shot.pixelColor(10, 5), Q(clYellow)); // the strips stay opaque
    // The same in a picture of the whole window, where the list box paints as a child.
    const QImage window = p.parent.grab().toImage();
    EXPECT_EQ(window.pixelColor(p.box.pos() + patch), QColor(Qt::red));
    EXPECT_EQ(window.pixelColor(p.box.pos() + plain), QColor(Qt::blue));

    p.box.SetTransparentMode(tmNotFocused);
    EXPECT_EQ(p.Shot().pixelColor(patch), QColor(Qt::red));
    p.parent.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&p.parent));
    send::Click(p.box, p.Row(0)); // a press on a row takes the focus
    ASSERT_TRUE(p.box.hasFocus());
    EXPECT_EQ(p.Shot().pixelColor(patch), Q(clOlive));
}
