// The playlist window on its own, given lists as the main window gives its own: Shift-click
// ranges, Delete by key and by menu, Delete All, and the screenshot.
#include "playlist/UnitList.h"
#include "widgets/TFlatListBoxUnit.h"

#include <QAction>
#include <QTest>

#include <gtest/gtest.h>

#include <numeric>

namespace {

struct Lists {
    QByteArrayList Paths, Names;
    int32_t Index = 0;
};

using Rows = std::vector<int>;

class PlaylistWindow : public ::testing::Test {
protected:
    // `left` and `right` songs "/l/song<i>.mp3" and "/r/song<i>.mp3" after those already in the
    // path lists, shown as at the first show.
    void Fill(int left, int right)
    {
        for (int i = 0; i < left; ++i)
            L.Paths.append("/l/song" + QByteArray::number(i) + ".mp3");
        for (int i = 0; i < right; ++i)
            R.Paths.append("/r/song" + QByteArray::number(i) + ".mp3");
        Form.SetPlaylists({&L.Paths, &L.Names, &L.Index}, {&R.Paths, &R.Names, &R.Index});
        FillBox(Form.LeftPlaylist());
        FillBox(Form.RightPlaylist());
    }
    static void Click(TFlatListBox* box, int row, Qt::KeyboardModifiers keys = {})
    {
        QTest::mouseClick(box, Qt::LeftButton, keys, box->Rows().at(row).center());
    }
    static Rows Selected(const TFlatListBox* box)
    {
        Rows rows;
        for (int i = 0; i < box->Items().Count(); ++i)
            if (box->Selected(i))
                rows.push_back(i);
        return rows;
    }
    static void ExpectInStep(const Lists& lists, const TFlatListBox* box)
    {
        ASSERT_EQ(lists.Names.size(), lists.Paths.size());
        ASSERT_EQ(box->Items().Count(), lists.Names.size());
        for (int i = 0; i < lists.Names.size(); ++i) {
            EXPECT_EQ(lists.Names[i], DisplayName(lists.Paths[i]));
            EXPECT_EQ(box->Items()[i], QString::fromUtf8(lists.Names[i]));
        }
    }
    void PressDelete()
    {
        Form.show();
        Form.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&Form));
        QTest::keyClick(&Form, Qt::Key_Delete);
    }

    Lists L, R;
    TFormList Form;
};

TEST_F(PlaylistWindow, ShiftClickSelectsTheRangeFromTheAnchor)
{
    Fill(8, 0);
    TFlatListBox* box = Form.FlatListBox1;
    Click(box, 2);
    Click(box, 5, Qt::ShiftModifier);
    EXPECT_EQ(Selected(box), (Rows{2, 3, 4, 5}));
    EXPECT_EQ(Form.LeftAnchor, 2);
    EXPECT_TRUE(Form.LeftListActive && !Form.RightListActive);

    // Still in multi-selection: a plain click toggles item 3 off, then returns to single selection.
    Click(box, 3);
    EXPECT_EQ(Selected(box), (Rows{2, 4, 5}));
    Click(box, 6);
    Click(box, 1, Qt::ShiftModifier); // upwards from the anchor 6
    EXPECT_EQ(Selected(box), (Rows{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(Form.LeftAnchor, 1);
}

TEST_F(PlaylistWindow, DeleteKeyRemovesTheSelectedEntriesOfTheListUsedLast)
{
    Fill(6, 3);
    const QByteArrayList right = R.Paths;
    TFlatListBox* box = Form.FlatListBox1;
    PressDelete(); // no list used yet
    EXPECT_EQ(L.Paths.size(), 6);
    EXPECT_EQ(R.Paths, right);

    Click(box, 1);
    Click(box, 3, Qt::ShiftModifier);
    Click(box, 2); // leaves 1 and 3
    L.Index = 4;
    PressDelete();
    EXPECT_EQ(L.Paths, QByteArrayList({"/l/song0.mp3", "/l/song2.mp3", "/l/song4.mp3", "/l/song5.mp3"}));
    ExpectInStep(L, box);
    EXPECT_EQ(Selected(box), (Rows{0}));
    EXPECT_EQ(L.Index, 0);
    EXPECT_EQ(R.Paths, right);

    Click(Form.FlatListBox2, 2);
    PressDelete();
    EXPECT_EQ(R.Paths, right.mid(0, 2));
    ExpectInStep(R, Form.FlatListBox2);
    EXPECT_EQ(L.Paths.size(), 4);
}

TEST_F(PlaylistWindow, DeleteMenusKeepUnselectedEntriesAndDeleteAllEmptiesOneList)
{
    // A marker text for deleted entries would take these unselected files along.
    L.Paths = {"sslove", "/l/a.mp3", "sslove"};
    Fill(0, 0);
    Form.FlatListBox1->SetSelected(1, true);
    Form.Delete1->trigger();
    EXPECT_EQ(L.Paths, QByteArrayList({"sslove", "sslove"}));
    ExpectInStep(L, Form.FlatListBox1);
    EXPECT_TRUE(Form.LeftListActive && !Form.RightListActive);

    Form.Delete2->trigger(); // on an empty list: nothing, but it becomes the active one
    EXPECT_TRUE(Form.RightListActive && !Form.LeftListActive);

    // Delete All empties one list and leaves the index to the next fill or add.
    Fill(0, 3);
    L.Index = 1;
    Form.DeleteAll1->trigger();
    EXPECT_TRUE(L.Paths.isEmpty());
    ExpectInStep(L, Form.FlatListBox1);
    EXPECT_EQ(L.Index, 1);
    ExpectInStep(R, Form.FlatListBox2);
    EXPECT_EQ(R.Paths.size(), 3);
}

TEST_F(PlaylistWindow, EntriesFarDownALongListAreSelectedAndDeletedLikeTheFirstOnes)
{
    Fill(2000, 0);
    TFlatListBox* box = Form.FlatListBox1;
    while (box->TopIndex() + box->VisibleRows() <= 1500)
        QTest::keyClick(box, Qt::Key_PageDown);
    Click(box, 1500 - box->TopIndex());
    EXPECT_EQ(Selected(box), (Rows{1500}));
    while (box->TopIndex() > 1490)
        QTest::keyClick(box, Qt::Key_Up);
    Click(box, 1490 - box->TopIndex(), Qt::ShiftModifier);
    Rows range(11);
    std::iota(range.begin(), range.end(), 1490);
    EXPECT_EQ(Selected(box), range);
    EXPECT_EQ(Form.LeftAnchor, 1490);

    PressDelete();
    ASSERT_EQ(L.Paths.size(), 1989);
    EXPECT_EQ(L.Paths[1489], "/l/song1489.mp3");
    EXPECT_EQ(L.Paths[1490], "/l/song1501.mp3");
    ExpectInStep(L, box);
    EXPECT_EQ(Selected(box), (Rows{0}));
}

TEST_F(PlaylistWindow, Screenshot)
{
    for (const char* song : {"Morning Drive.mp3", "Bassline Theory.wav", "Night Shift (Extended).mp3",
                             "Café del Río.mp3", "Deep Blue.mp3", "Warehouse 88.wav", "Sunrise Edit.mp3", "Low End.mp3",
                             "Cosmic Funk.mp3", "Slow Burn.wav", "Echoes.mp3", "Last Call.mp3"}) {
        L.Paths.append(QByteArray("/music/a/") + song);
        R.Paths.append(QByteArray("/music/b/") + song);
    }
    Fill(0, 0);
    Click(Form.FlatListBox1, 3);
    Form.show();
    const QImage shot = Form.grab().toImage();
    EXPECT_TRUE(shot.save(SCREENSHOT_DIR "/playlist_screenshot.png"));
    const QRect row = Form.FlatListBox1->Rows()[3].translated(Form.FlatListBox1->pos());
    EXPECT_EQ(shot.pixelColor(row.right() - 2, row.center().y()), QColor(0, 255, 0));
}

} // namespace
