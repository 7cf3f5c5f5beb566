#include "platform/kernel/TimeScale.h"
#include "tests/widgets/Send.h"
#include "widgets/TFlatListBoxUnit.h"

#include <QLabel>
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
    QPoint BottomStrip() const { return box.BottomStrip().center(); }
    QPoint TopStrip() const { return box.TopStrip().center(); }
    QImage Shot() { return box.grab().toImage(); }
};

QColor Q(TColor c)
{
    return ToQColor(c);
}

} // namespace

TEST(FlatListBox, InitialValuesAndLayoutWithoutStrips)
{
    TFlatListBox box;
    EXPECT_EQ(box.size(), QSize(99, 137));
    EXPECT_EQ(box.ItemHeight(), 17);
    EXPECT_FALSE(box.MultiSelect());
    EXPECT_FALSE(box.ScrollBars());
    EXPECT_FALSE(box.Sorted());
    EXPECT_TRUE(box.ParentColor());
    EXPECT_EQ(box.ColorArrow(), clBlack);
    EXPECT_EQ(box.ColorBorder(), 0x8396A0u);
    EXPECT_EQ(box.ColorItemsRect(), clWhite);
    EXPECT_EQ(box.ColorItemsSelect(), 0x9CDEF7u);
    EXPECT_EQ(box.TransparentMode(), tmNone);
    EXPECT_FALSE(box.UseAdvColors());
    EXPECT_EQ(box.AdvColorBorder(), 40);
    EXPECT_EQ(box.TopIndex(), 0);
    ASSERT_EQ(box.VisibleRows(), 7); // (137 - 4) / 19
    EXPECT_EQ(box.Rows().front(), QRect(3, 3, 93, 17));
    EXPECT_EQ(box.Rows().back(), QRect(3, 3 + 6 * 19, 93, 17));
}

TEST(FlatListBox, NineRowsAtHeight195AndHeightSnapsToWholeRows)
{
    Playlist p;
    TFlatListBox& box = p.box;
    EXPECT_EQ(box.height(), 195);
    ASSERT_EQ(box.VisibleRows(), 9);
    EXPECT_EQ(box.Rows().front(), QRect(3, 13, 174, 17));
    EXPECT_EQ(box.Rows().back(), QRect(3, 13 + 8 * 19, 174, 17));

    box.resize(180, 212); // not a whole row more: snaps back
    EXPECT_EQ(box.height(), 195);
    box.resize(180, 214);
    EXPECT_EQ(box.height(), 214);
    EXPECT_EQ(box.VisibleRows(), 10);

    box.SetScrollBars(false); // 20 pixels shorter, rows start at the top border
    EXPECT_EQ(box.height(), 194);
    EXPECT_EQ(box.VisibleRows(), 10);
    EXPECT_EQ(box.Rows().front().top(), 3);
    box.SetItemHeight(20); // same row count, new row height
    EXPECT_EQ(box.height(), 22 * 10 + 4);
    box.SetItemHeight(-5);
    EXPECT_EQ(box.ItemHeight(), 1);
    EXPECT_EQ(box.height(), 3 * 10 + 4);

    TFlatListBox tiny; // too small for any row: no rows, never a negative count
    tiny.SetScrollBars(true);
    tiny.SetBounds(0, 0, 50, 5);
    EXPECT_EQ(tiny.VisibleRows(), 0);
    EXPECT_EQ(tiny.height(), 24);
}

TEST(FlatListBox, KeysScrollTheViewOnly)
{
    Playlist three(3);
    QTest::keyClick(&three.box, Qt::Key_PageDown);
    EXPECT_EQ(three.box.TopIndex(), 0);

    Playlist p(30);
    TFlatListBox& box = p.box;
    box.SetSelected(4, true);
    QTest::keyClick(&box, Qt::Key_PageDown);
    EXPECT_EQ(box.TopIndex(), 9);
    QTest::keyClick(&box, Qt::Key_PageDown);
    EXPECT_EQ(box.TopIndex(), 18);
    QTest::keyClick(&box, Qt::Key_PageDown); // 30 < 2 * 9 + 18: the last page ends at the last entry
    EXPECT_EQ(box.TopIndex(), 21);
    QTest::keyClick(&box, Qt::Key_Down);
    EXPECT_EQ(box.TopIndex(), 21);
    QTest::keyClick(&box, Qt::Key_Up);
    EXPECT_EQ(box.TopIndex(), 20);
    QTest::keyClick(&box, Qt::Key_PageUp);
    QTest::keyClick(&box, Qt::Key_PageUp);
    QTest::keyClick(&box, Qt::Key_PageUp);
    EXPECT_EQ(box.TopIndex(), 0);
    QTest::keyClick(&box, Qt::Key_Up);
    EXPECT_EQ(box.TopIndex(), 0);
    EXPECT_TRUE(box.Selected(4));
    EXPECT_FALSE(box.Selected(5));
    EXPECT_FALSE(box.KeyDown(Qt::Key_Delete)); // left to the window's own shortcut
}

TEST(FlatListBox, WheelScrollsWholeNotches)
{
    const int oldLines = QApplication::wheelScrollLines();
    QApplication::setWheelScrollLines(3);
    Playlist p(20);
    TFlatListBox& box = p.box;
    send::Wheel(box, -120);
    EXPECT_EQ(box.TopIndex(), 3);
    send::Wheel(box, -240); // two notches in one message
    EXPECT_EQ(box.TopIndex(), 9);
    send::Wheel(box, -120); // clamped: the last entry in the last row
    EXPECT_EQ(box.TopIndex(), 11);
    send::Wheel(box, 120);
    EXPECT_EQ(box.TopIndex(), 8);
    for (int i = 0; i < 7; ++i) // a fine-grained wheel: nothing until a whole notch is turned
        send::Wheel(box, 15);
    EXPECT_EQ(box.TopIndex(), 8);
    send::Wheel(box, -60); // turning back drops the part-notch
    send::Wheel(box, 15);
    EXPECT_EQ(box.TopIndex(), 8);
    send::Wheel(box, 105);
    EXPECT_EQ(box.TopIndex(), 5);
    send::Wheel(box, 600);
    EXPECT_EQ(box.TopIndex(), 0);
    QApplication::setWheelScrollLines(oldLines);
}

TEST(FlatListBox, ClicksSelectOneOrToggle)
{
    Playlist p(3);
    TFlatListBox& box = p.box;
    int clicks = 0, downs = 0;
    box.OnClick = [&](QObject* sender) {
        EXPECT_EQ(sender, &box);
        ++clicks;
    };
    box.OnMouseDown = [&](QObject*, Qt::MouseButton, Qt::KeyboardModifiers, int, int) { ++downs; };

    send::Click(box, p.Row(1));
    EXPECT_TRUE(box.Selected(1));
    send::Click(box, p.Row(1)); // again: stays selected
    EXPECT_TRUE(box.Selected(1));
    send::Click(box, p.Row(2));
    EXPECT_FALSE(box.Selected(1));
    EXPECT_TRUE(box.Selected(2));
    EXPECT_EQ(clicks, 3);
    EXPECT_EQ(downs, 0); // presses on rows are not reported

    box.SetMultiSelect(true); // the selection stays as it is
    EXPECT_TRUE(box.Selected(2));
    send::Click(box, p.Row(0));
    send::Click(box, p.Row(2));
    EXPECT_TRUE(box.Selected(0));
    EXPECT_FALSE(box.Selected(2));
    send::Click(box, p.Row(0));
    EXPECT_FALSE(box.Selected(0));

    box.SetMultiSelect(false);
    send::Click(box, p.Row(1));
    send::Click(box, p.Row(5)); // below the last entry: no entry stays selected
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(box.Selected(i));

    send::Press(box, p.Row(1)); // released off the control: selected, but no click
    send::Release(box, {300, 10});
    EXPECT_TRUE(box.Selected(1));
    EXPECT_EQ(clicks, 8);
    send::Click(box, {1, 100}); // on the border, beside the rows
    EXPECT_EQ(downs, 1);
    EXPECT_EQ(clicks, 9);
}

TEST(FlatListBox, SelectionCoversTheFirst256EntriesOnly)
{
    Playlist p(300);
    TFlatListBox& box = p.box;
    box.SetMultiSelect(true);
    box.SetSelected(255, true);
    box.SetSelected(256, true);
    box.SetSelected(-1, true);
    EXPECT_TRUE(box.Selected(255));
    EXPECT_FALSE(box.Selected(256));
    EXPECT_FALSE(box.Selected(-1));

    for (int i = 0; i < 28; ++i)
        box.KeyDown(Qt::Key_PageDown);
    ASSERT_EQ(box.TopIndex(), 252);
    send::Click(box, p.Row(2)); // entry 254
    send::Click(box, p.Row(5)); // entry 257: nothing changes
    EXPECT_TRUE(box.Selected(254));
    EXPECT_TRUE(box.Selected(255));

    box.SetMultiSelect(false);
    box.SetSelected(3, true); // single selection: the others go
    EXPECT_TRUE(box.Selected(3));
    EXPECT_FALSE(box.Selected(254));
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

    QStringList tooMany;
    for (int i = 0; i < 257; ++i)
        tooMany << QString(" %1 ").arg(i);
    box.SetSelected(2, true);
    box.SetItems(tooMany);
    EXPECT_EQ(box.Items().Count(), 3);
    EXPECT_EQ(tooMany.front(), " 0 ");
    EXPECT_TRUE(box.Selected(2));

    box.SetSorted(true);
    EXPECT_EQ(box.Items().List(), (QStringList{"a.wav", "b.mp3", "c.mp3"}));
    EXPECT_FALSE(box.Selected(2));
    box.Items().Add("B.mp3");
    EXPECT_EQ(box.Items()[2], "B.mp3");
}

TEST(FlatListBox, HoldingTheBottomStripRepeatsAfter600ThenEvery100)
{
    Playlist p(12);
    TFlatListBox& box = p.box;
    QTimer* timer = TFlatListBox::RepeatTimer();
    ASSERT_NE(timer, nullptr);

    send::Press(box, p.BottomStrip());
    EXPECT_EQ(box.TopIndex(), 1); // one row at once
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(TFlatListBox::RepeatInterval(), 600);
    EXPECT_EQ(timer->interval(), timescale::TimerInterval(600));
    TFlatListBox::RepeatTimerTimer();
    EXPECT_EQ(box.TopIndex(), 2);
    EXPECT_EQ(TFlatListBox::RepeatInterval(), 100);
    TFlatListBox::RepeatTimerTimer();
    EXPECT_EQ(box.TopIndex(), 3); // the last entry is in the last row
    TFlatListBox::RepeatTimerTimer();
    EXPECT_EQ(box.TopIndex(), 3);
    EXPECT_FALSE(timer->isActive());
    send::Release(box, p.BottomStrip());
    EXPECT_EQ(TFlatListBox::RepeatInterval(), 600);

    send::Press(box, p.TopStrip(), Qt::RightButton); // any button works on the strips
    EXPECT_EQ(box.TopIndex(), 2);
    EXPECT_FALSE(box.ScrollingDown());
    TFlatListBox::RepeatTimerTimer();
    TFlatListBox::RepeatTimerTimer();
    EXPECT_EQ(box.TopIndex(), 0);
    EXPECT_TRUE(timer->isActive());
    TFlatListBox::RepeatTimerTimer();
    EXPECT_FALSE(timer->isActive());
    send::Release(box, p.TopStrip(), Qt::RightButton);
}

TEST(FlatListBox, AutoRepeatRunsOnItsTimerUntilTheEnd)
{
    timescale::Scope fast(20);
    Playlist p(40);
    send::Press(p.box, p.BottomStrip());
    QTRY_COMPARE_WITH_TIMEOUT(p.box.TopIndex(), 31, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!TFlatListBox::RepeatTimer()->isActive(), 10000);
    send::Release(p.box, p.BottomStrip());
}

TEST(FlatListBox, TheSharedRepeatTimerOutlivesAllButTheLastListBox)
{
    auto a = std::make_unique<Playlist>(20);
    auto b = std::make_unique<Playlist>(20);
    send::Press(a->box, a->BottomStrip());
    a.reset(); // destroyed while repeating: the timer stops and forgets it
    ASSERT_NE(TFlatListBox::RepeatTimer(), nullptr);
    EXPECT_FALSE(TFlatListBox::RepeatTimer()->isActive());
    TFlatListBox::RepeatTimerTimer();

    send::Press(b->box, b->BottomStrip());
    TFlatListBox::RepeatTimerTimer();
    EXPECT_EQ(b->box.TopIndex(), 2);
    send::Release(b->box, b->BottomStrip());
    b.reset();
    EXPECT_EQ(TFlatListBox::RepeatTimer(), nullptr);

    Playlist c(20); // a later list box makes a new one
    EXPECT_NE(TFlatListBox::RepeatTimer(), nullptr);
    EXPECT_EQ(TFlatListBox::RepeatInterval(), 600);
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

    box.KeyDown(Qt::Key_PageDown); // to the end: the other way round
    shot = p.Shot();
    EXPECT_EQ(shot.pixelColor(cx, 5), Q(clLime));
    EXPECT_EQ(shot.pixelColor(cx + 3, 7), Q(clYellow));
    EXPECT_EQ(shot.pixelColor(cx, 189), Q(clGray));

    box.setEnabled(false); // disabled: both embossed
    shot = p.Shot();
    EXPECT_EQ(shot.pixelColor(cx, 5), Q(clGray));
    EXPECT_EQ(shot.pixelColor(cx + 3, 7), Q(clWhite));
}

TEST(FlatListBox, SeeThroughModesShowTheParentAndItsSkinUnderneath)
{
    Playlist p;
    QPalette pal = p.parent.palette();
    pal.setColor(QPalette::Window, Qt::blue);
    p.parent.setPalette(pal);
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
    const QPoint patch(8, 22), plain(100, 100), frame(0, 100);

    QImage shot = p.Shot();
    EXPECT_EQ(shot.pixelColor(patch), Q(clOlive));

    p.box.SetTransparentMode(tmAlways);
    shot = p.Shot();
    EXPECT_EQ(shot.pixelColor(patch), QColor(Qt::red));
    EXPECT_EQ(shot.pixelColor(plain), QColor(Qt::blue));
    EXPECT_EQ(shot.pixelColor(frame), Q(RGB(255, 128, 0)));
    EXPECT_EQ(shot.pixelColor(10, 5), Q(clYellow)); // the strips stay opaque
    // The same from a picture of the whole window, where the list box paints as a child.
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

TEST(FlatListBox, DisabledDrawsEmbossedTextAndKeepsItsSelectionWhenEntriesChange)
{
    Playlist p(1);
    p.box.Items().Put(0, QString(30, QChar(0x2588))); // full blocks: text pixels are easy to find
    p.box.SetSelected(0, false);
    const QRect row = p.box.Rows()[0];
    auto count = [&](const QColor& c) {
        const QImage shot = p.Shot();
        int n = 0;
        for (int y = row.top(); y <= row.bottom() + 1; ++y)
            for (int x = row.left(); x <= row.right() + 1; ++x)
                n += shot.pixelColor(x, y) == c;
        return n;
    };
    const QColor text = p.box.palette().color(QPalette::Active, QPalette::WindowText);
    EXPECT_GT(count(text), 20);

    p.box.setEnabled(false);
    EXPECT_GT(count(ToQColor(clBtnShadow)), 20);
    EXPECT_GT(count(ToQColor(clBtnHighlight)), 0);

    p.box.SetSelected(0, true);
    p.box.Items().Add("x.mp3");
    EXPECT_TRUE(p.box.Selected(0));
}
