// The main window's side of the playlists: the add buttons through their dialog, the first fill
// of the boxes from the lists read at start, and file names that must come back byte for byte.
#include "app/ListFile.h"
#include "app/Unit1.h"
#include "platform/ui/ErrorDisplay.h"
#include "playlist/UnitList.h"
#include "tests/support/Fixtures.h"
#include "widgets/ImgBtn.h"
#include "widgets/TFlatListBoxUnit.h"

#include <QFileDialog>
#include <QTest>

#include <gtest/gtest.h>

using testsupport::TempDir;

namespace {

// Both windows on a folder of their own, shown as at start.
class MainWindowPlaylists : public ::testing::Test {
protected:
    void Start()
    {
        Main = std::make_unique<TFormMain>(QString::fromStdString(Dir.path().string()));
        List = std::make_unique<TFormList>();
        Main->OpenDialog1Execute = [this](QFileDialog* dialog) {
            Dialog = dialog;
            return Answer;
        };
        List->show();
        Main->show();
    }
    void Write(const char* file, const QByteArrayList& entries)
    {
        SaveListFile(QString::fromStdString(Dir.file(file).string()), entries);
    }
    static void ExpectInStep(const QByteArrayList& paths, const QByteArrayList& names, const TFlatListBox* box)
    {
        ASSERT_EQ(paths.size(), names.size());
        ASSERT_EQ(box->Items().Count(), names.size());
        for (int i = 0; i < names.size(); ++i)
            EXPECT_EQ(box->Items()[i], QString::fromUtf8(names[i]));
    }
    void TearDown() override
    {
        Main.reset();
        List.reset();
        LeftPaths.clear();
        RightPaths.clear();
        LeftNames.clear();
        RightNames.clear();
    }

    TempDir Dir;
    std::unique_ptr<TFormMain> Main;
    std::unique_ptr<TFormList> List;
    QStringList Answer;
    QFileDialog* Dialog = nullptr;
};

TEST_F(MainWindowPlaylists, EmptyListsAtStartLeaveBothBoxesEmpty)
{
    Start();
    for (TFlatListBox* box : {List->FlatListBox1, List->FlatListBox2}) {
        EXPECT_EQ(box->Items().Count(), 0);
        for (int i = 0; i < 4; ++i)
            EXPECT_FALSE(box->Selected(i));
    }
    EXPECT_EQ(LeftIndex, 0);
    EXPECT_EQ(RightIndex, 0);
}

TEST_F(MainWindowPlaylists, AddingTwoFilesAppendsPathsAndNamesAndSelectsTheFirst)
{
    Write("FileListLeft.ini", {"/old/x.mp3"});
    Write("Listbox1.ini", {"x.mp3"});
    Start();
    List->FlatListBox1->SetSelected(0, false);
    LeftIndex = 5;

    Answer = {"/music/set one/a.mp3", "/music/set one/b.wav"};
    QTest::mouseClick(Main->btnAddLeft, Qt::LeftButton);
    ASSERT_NE(Dialog, nullptr);
    EXPECT_EQ(Dialog->fileMode(), QFileDialog::ExistingFiles);
    EXPECT_EQ(Dialog->nameFilters(), QStringList({"*.mp3 *.wav (*.mp3 *.wav)"}));
    EXPECT_TRUE(Dialog->isSizeGripEnabled());

    EXPECT_EQ(LeftPaths, QByteArrayList({"/old/x.mp3", "/music/set one/a.mp3", "/music/set one/b.wav"}));
    EXPECT_EQ(LeftNames, QByteArrayList({"x.mp3", "a.mp3", "b.wav"}));
    ExpectInStep(LeftPaths, LeftNames, List->FlatListBox1);
    EXPECT_TRUE(List->FlatListBox1->Selected(0));
    EXPECT_FALSE(List->FlatListBox1->Selected(1));
    EXPECT_EQ(LeftIndex, 0);
    EXPECT_TRUE(RightPaths.isEmpty());

    // The right button fills the right list; the same path twice is two entries.
    Answer = {"/r/a.mp3", "/r/a.mp3"};
    QTest::mouseClick(Main->BtnAddRight, Qt::LeftButton);
    EXPECT_EQ(RightNames, QByteArrayList({"a.mp3", "a.mp3"}));
    ExpectInStep(RightPaths, RightNames, List->FlatListBox2);
    EXPECT_EQ(LeftPaths.size(), 3);

    // Cancelled: nothing changes, not even the selection or the index.
    List->FlatListBox1->SetSelected(2, true);
    LeftIndex = 2;
    Answer = {};
    Main->btnAddLeftClick();
    EXPECT_EQ(LeftPaths.size(), 3);
    EXPECT_TRUE(List->FlatListBox1->Selected(2));
    EXPECT_EQ(LeftIndex, 2);
}

TEST_F(MainWindowPlaylists, DisplayNamesAreTheTextAfterTheLastSlashKeptAsTheyAre)
{
    Start();
    Answer = {"/m/back\\slash.mp3", "/m/  two spaces .wav", "plain.mp3"};
    Main->btnAddLeftClick();
    EXPECT_EQ(LeftNames, QByteArrayList({"back\\slash.mp3", "  two spaces .wav", "plain.mp3"}));
    ExpectInStep(LeftPaths, LeftNames, List->FlatListBox1); // items are not trimmed
}

TEST_F(MainWindowPlaylists, AFileNameWithALineBreakIsRefusedWithAMessage)
{
    Start();
    std::vector<std::string> reported;
    const ErrorDisplay previous = SetErrorDisplay([&](const std::string& m) { reported.push_back(m); });
    Answer = {"/m/one.mp3", "/m/two\nlines.mp3", "/m/cr\rname.wav", "/m/three.mp3"};
    Main->BtnAddRightClick();
    SetErrorDisplay(previous);

    EXPECT_EQ(RightPaths, QByteArrayList({"/m/one.mp3", "/m/three.mp3"}));
    ExpectInStep(RightPaths, RightNames, List->FlatListBox2);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_NE(reported[0].find("two\nlines.mp3"), std::string::npos);
    EXPECT_NE(reported[0].find("cr\rname.wav"), std::string::npos);
    EXPECT_NE(reported[0].find("line break"), std::string::npos);
}

TEST_F(MainWindowPlaylists, OddFileNamesSurviveTheListFilesUnchanged)
{
    const QByteArrayList paths = {"/music/with spaces/a b.mp3", "/música/Ünïcødé 曲.wav",
                                  QByteArray("/raw/\xff\xfe latin1 caf\xe9.mp3"), "/m/\tab.mp3"};
    QByteArrayList names;
    for (const QByteArray& path : paths)
        names.append(DisplayName(path));
    Write("FileListRight.ini", paths);
    Write("Listbox2.ini", names);
    EXPECT_EQ(LoadListFile(QString::fromStdString(Dir.file("FileListRight.ini").string())), paths);

    Start();
    EXPECT_EQ(RightPaths, paths);
    EXPECT_EQ(RightNames, names);
    ExpectInStep(RightPaths, RightNames, List->FlatListBox2);
    EXPECT_TRUE(List->FlatListBox2->Selected(0));

    // Deleting one entry leaves the others' bytes untouched, and they are written back as read.
    List->FlatListBox2->SetSelected(0, true);
    List->Delete2Click();
    EXPECT_EQ(RightPaths, paths.mid(1));
    Write("FileListRight.ini", RightPaths);
    Write("Listbox2.ini", RightNames);
    EXPECT_EQ(LoadListFile(QString::fromStdString(Dir.file("FileListRight.ini").string())), paths.mid(1));
    EXPECT_EQ(LoadListFile(QString::fromStdString(Dir.file("Listbox2.ini").string())), names.mid(1));
}

TEST_F(MainWindowPlaylists, ListFilesOfDifferentLengthsAreBroughtInStepAtTheFirstFill)
{
    Write("FileListLeft.ini", {"/a/one.mp3", "/a/two.mp3", "/a/three.mp3"});
    Write("Listbox1.ini", {"First", "Second"}); // stored names are kept, not recomputed
    Write("FileListRight.ini", {"/b/one.mp3"});
    Write("Listbox2.ini", {"one.mp3", "orphan.mp3"});
    Start();
    EXPECT_EQ(LeftNames, QByteArrayList({"First", "Second", "three.mp3"}));
    EXPECT_EQ(RightNames, QByteArrayList({"one.mp3"}));
    ExpectInStep(LeftPaths, LeftNames, List->FlatListBox1);
    ExpectInStep(RightPaths, RightNames, List->FlatListBox2);
}

} // namespace
