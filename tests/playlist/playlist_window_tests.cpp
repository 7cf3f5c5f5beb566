// The playlist window on its own, given lists as the main window gives its own: clicks and
// Shift-click ranges, Delete by key and by menu, Delete All, and the screenshot.
#include "playlist/UnitList.h"
#include "widgets/TFlatListBoxUnit.h"

#include <QAction>
#include <QMenu>
#include <QTest>

#include <gtest/gtest.h>

namespace {

struct Lists {
    QByteArrayList Paths, Names;
    int32_t Index = 0;
};

// A playlist window holding `left` and `right` songs (paths "/l/song<i>.mp3", "/r/...") filled as
// at the first show.
class PlaylistWindow : public ::testing::Test {
protected:
    void Fill(int left, int right)
    {
        for (int i = 0; i < left; ++i)
            L.Paths.append("/l/song" + QByteArray::number(i) + ".mp3");
        for (int i = 0; i < right; ++i)
            R.Paths.append("/r/song" + QByteArray::number(i) + ".mp3");
        Form.SetPlaylists({&L.Paths, &L.Names, &L.Index}, {&R.Paths, &R.Names, &R.Index});
        FillBox(Form.LeftPlaylist()); // names computed from the paths
        FillBox(Form.RightPlaylist());
    }

    static QPoint Row(TFlatListBox* box, int row) { return box->Rows().at(row).center(); }
    static void Click(TFlatListBox* box, int row, Qt::KeyboardModifiers keys = {})
    {
        QTest::mouseClick(box, Qt::LeftButton, keys, Row(box, row));
    }
    static std::vector<int> SelectedRows(const TFlatListBox* box)
    {
        std::vector<int> rows;
        for (int i = 0; i < box->Items().Count(); ++i)
            if (box->Selected(i))
                rows.push_back(i);
        return rows;
    }
    static void ExpectInStep(const Lists& lists, const TFlatListBox* box)
    {
        ASSERT_EQ(lists.Paths.size(), lists.Names.size());
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

TEST_F(PlaylistWindow, BoxesAndMenusAreSetUp)
{
    for (TFlatListBox* box : {Form.FlatListBox1, Form.FlatListBox2}) {
        EXPECT_EQ(box->size(), QSize(180, 195));
        EXPECT_EQ(box->VisibleRows(), 9);
        EXPECT_TRUE(box->ScrollBars());
        EXPECT_EQ(box->Color(), clYellow);
        EXPECT_EQ(box->ColorArrow(), clLime);
        EXPECT_EQ(box->ColorBorder(), TColor(0x0080FF));
        EXPECT_EQ(box->ColorItemsRect(), clOlive);
        EXPECT_EQ(box->ColorItemsSelect(), clLime);
    }
    EXPECT_EQ(Form.FlatListBox1->pos(), QPoint(16, 32));
    EXPECT_EQ(Form.FlatListBox2->pos(), QPoint(200, 32));
    EXPECT_EQ(Form.FlatListBox1->PopupMenu(), Form.PopupMenu1);
    EXPECT_EQ(Form.FlatListBox2->PopupMenu(), Form.PopupMenu2);
    for (QMenu* menu : {Form.PopupMenu1, Form.PopupMenu2}) {
        ASSERT_EQ(menu->actions().size(), 2);
        EXPECT_EQ(menu->actions()[0]->text(), "Delete");
        EXPECT_EQ(menu->actions()[1]->text(), "Delete All");
    }
    EXPECT_EQ(Form.Action1->shortcut(), QKeySequence(Qt::Key_Delete));
}

TEST_F(PlaylistWindow, ShiftClickSelectsTheRangeFromTheAnchor)
{
    Fill(8, 0);
    TFlatListBox* box = Form.FlatListBox1;
    Click(box, 2);
    EXPECT_TRUE(Form.LeftListActive);
    EXPECT_FALSE(Form.RightListActive);
    EXPECT_EQ(Form.LeftAnchor, 2);
    Click(box, 5, Qt::ShiftModifier);
    EXPECT_EQ(SelectedRows(box), (std::vector<int>{2, 3, 4, 5}));
    EXPECT_EQ(Form.LeftAnchor, 2);
    EXPECT_TRUE(box->MultiSelect());

    // The box stays in multi-selection until a plain click: that click toggles item 3 off first,
    // then the box returns to single selection, and the anchor follows the first selected item.
    Click(box, 3);
    EXPECT_EQ(SelectedRows(box), (std::vector<int>{2, 4, 5}));
    EXPECT_FALSE(box->MultiSelect());
    Click(box, 6);
    EXPECT_EQ(SelectedRows(box), (std::vector<int>{6}));
    EXPECT_EQ(Form.LeftAnchor, 6);

    // Upwards: from the anchor 6 to item 1.
    Click(box, 1, Qt::ShiftModifier);
    EXPECT_EQ(SelectedRows(box), (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(Form.LeftAnchor, 1);
}

TEST_F(PlaylistWindow, ShiftClickBelowTheLastEntrySelectsNoPhantomEntry)
{
    Fill(3, 0);
    TFlatListBox* box = Form.FlatListBox1;
    Click(box, 1);
    // Row 6 is empty: in single selection the press selects nothing visible, so the range runs
    // from the anchor to the item count; only real entries may be selected.
    Click(box, 6, Qt::ShiftModifier);
    EXPECT_EQ(SelectedRows(box), (std::vector<int>{1, 2}));
    EXPECT_FALSE(box->Selected(3));
    // A song added later is not selected by that range.
    L.Paths.append("/l/new.mp3");
    L.Names.append("new.mp3");
    box->Items().Add("new.mp3");
    EXPECT_TRUE(SelectedRows(box).empty());
}

TEST_F(PlaylistWindow, DeleteKeyRemovesExactlyTheSelectedEntriesOfTheListUsedLast)
{
    Fill(6, 3);
    const QByteArrayList rightBefore = R.Paths;
    TFlatListBox* box = Form.FlatListBox1;

    // Nothing used yet: Delete does nothing anywhere.
    box->SetMultiSelect(true);
    box->SetSelected(1, true);
    PressDelete();
    EXPECT_EQ(L.Paths.size(), 6);
    EXPECT_EQ(R.Paths, rightBefore);

    box->SetMultiSelect(false);
    Click(box, 1);                    // single selection: item 1
    Click(box, 3, Qt::ShiftModifier); // 1..3
    Click(box, 2);                    // multi: toggles 2 off, leaves 1 and 3
    EXPECT_EQ(SelectedRows(box), (std::vector<int>{1, 3}));
    L.Index = 4;
    PressDelete();
    EXPECT_EQ(L.Paths, QByteArrayList({"/l/song0.mp3", "/l/song2.mp3", "/l/song4.mp3", "/l/song5.mp3"}));
    ExpectInStep(L, box);
    EXPECT_EQ(SelectedRows(box), (std::vector<int>{0}));
    EXPECT_EQ(L.Index, 0);
    EXPECT_EQ(R.Paths, rightBefore);

    // After the right list was clicked last, Delete acts on it alone.
    Click(Form.FlatListBox2, 2);
    PressDelete();
    EXPECT_EQ(R.Paths, QByteArrayList({"/r/song0.mp3", "/r/song1.mp3"}));
    ExpectInStep(R, Form.FlatListBox2);
    EXPECT_EQ(L.Paths.size(), 4);
}

TEST_F(PlaylistWindow, DeleteKeepsUnselectedEntriesWhateverTheirText)
{
    // A file may be called anything, including a word that a text marker of deleted entries
    // would use; it stays unless selected.
    L.Paths = {"sslove", "/l/a.mp3", "sslove", "/l/b.mp3"};
    Fill(0, 0);
    Form.FlatListBox1->SetSelected(1, true);
    Form.Delete1->trigger();
    EXPECT_EQ(L.Paths, QByteArrayList({"sslove", "sslove", "/l/b.mp3"}));
    ExpectInStep(L, Form.FlatListBox1);
    EXPECT_TRUE(Form.LeftListActive);
}

TEST_F(PlaylistWindow, DeleteMenuMarksItsListActiveAndEmptyListsAreLeftAlone)
{
    Fill(0, 2);
    Form.Delete1->trigger(); // empty left list: nothing, but it is now the active one
    EXPECT_TRUE(Form.LeftListActive);
    EXPECT_FALSE(Form.RightListActive);
    EXPECT_EQ(L.Index, 0);
    EXPECT_EQ(Form.FlatListBox1->Items().Count(), 0);
    Form.DeleteAll1->trigger();
    EXPECT_EQ(R.Paths.size(), 2);

    // The right menu's Delete switches the active list; the selected item 0 goes.
    Form.Delete2->trigger();
    EXPECT_TRUE(Form.RightListActive);
    EXPECT_FALSE(Form.LeftListActive);
    EXPECT_EQ(R.Paths, QByteArrayList({"/r/song1.mp3"}));
    ExpectInStep(R, Form.FlatListBox2);
}

TEST_F(PlaylistWindow, DeleteAllEmptiesOneListOnly)
{
    Fill(4, 3);
    L.Index = 2;
    Form.DeleteAll1->trigger();
    EXPECT_TRUE(L.Paths.isEmpty());
    EXPECT_TRUE(L.Names.isEmpty());
    EXPECT_EQ(Form.FlatListBox1->Items().Count(), 0);
    EXPECT_EQ(L.Index, 2); // the next fill or add sets it
    EXPECT_EQ(R.Paths.size(), 3);
    ExpectInStep(R, Form.FlatListBox2);
}

TEST_F(PlaylistWindow, MoreEntriesThanSelectableAreAllShown)
{
    Fill(300, 0);
    ExpectInStep(L, Form.FlatListBox1);
    Form.FlatListBox1->SetSelected(255, true); // the only selected item
    Form.Delete1Click();
    EXPECT_EQ(L.Paths.size(), 299);
    EXPECT_EQ(L.Paths[255], "/l/song256.mp3");
    ExpectInStep(L, Form.FlatListBox1);
}

TEST_F(PlaylistWindow, Screenshot)
{
    const char* songs[] = {"Morning Drive.mp3", "Bassline Theory.wav", "Night Shift (Extended).mp3",
                           "Café del Río.mp3",  "Deep Blue.mp3",       "Warehouse 88.wav",
                           "Sunrise Edit.mp3",  "Low End.mp3",         "Cosmic Funk.mp3",
                           "Slow Burn.wav",     "Echoes.mp3",          "Last Call.mp3"};
    for (const char* song : songs) {
        L.Paths.append(QByteArray("/music/left/") + song);
        R.Paths.append(QByteArray("/music/right/") + song);
    }
    Fill(0, 0);
    Click(Form.FlatListBox1, 3);
    Form.show();
    const QImage shot = Form.grab().toImage();
    ASSERT_EQ(shot.size(), QSize(TFormList::ClientWidth, TFormList::ClientHeight));
    EXPECT_TRUE(shot.save(SCREENSHOT_DIR "/playlist_screenshot.png"));
    // The selected row is drawn in the selection colour.
    const QRect row = Form.FlatListBox1->Rows()[3].translated(Form.FlatListBox1->pos());
    EXPECT_EQ(shot.pixelColor(row.right() - 2, row.center().y()), QColor(0, 255, 0));
}

} // namespace
