// The main window's side of the playlists: the add buttons through their dialog, the first fill of
// the boxes from the lists read at start, and file names that must come back byte for byte.
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

namespace {

class MainWindowPlaylists : public ::testing::Test {
protected:
    // Both windows on the test's folder, shown as at start; the dialog answers `Answer`.
    void Start()
    {
        Main = std::make_unique<TFormMain>(QByteArray::fromStdString(Dir.path().string()));
        List = std::make_unique<TFormList>();
        Main->OpenDialog1Execute = [this](QFileDialog* dialog) {
            Dialog = dialog;
            return Answer;
        };
        List->show();
        Main->show();
    }
    QByteArray File(const char* name) const { return QByteArray::fromStdString(Dir.file(name).string()); }
    static void ExpectInStep(const QByteArrayList& paths, const QByteArrayList& names, const TFlatListBox* box)
    {
        ASSERT_EQ(names.size(), paths.size());
        ASSERT_EQ(box->Items().Count(), names.size());
        for (int i = 0; i < names.size(); ++i)
            EXPECT_EQ(box->Items()[i], QString::fromUtf8(names[i]));
    }
    void TearDown() override
    {
        Main.reset();
        List.reset();
        for (QByteArrayList* list : {&LeftPaths, &RightPaths, &LeftNames, &RightNames})
            list->clear();
    }

    testsupport::TempDir Dir;
    std::unique_ptr<TFormMain> Main;
    std::unique_ptr<TFormList> List;
    QStringList Answer;
    QFileDialog* Dialog = nullptr;
};

TEST_F(MainWindowPlaylists, AddingTwoFilesAppendsPathsAndNamesAndSelectsTheFirst)
{
    Start();
    EXPECT_EQ(List->FlatListBox1->Items().Count() + List->FlatListBox2->Items().Count(), 0);
    LeftIndex = 5;
    Answer = {"/music/set one/a.mp3", "/music/set one/b.wav"};
    QTest::mouseClick(Main->btnAddLeft, Qt::LeftButton);
    ASSERT_NE(Dialog, nullptr);
    EXPECT_EQ(Dialog->fileMode(), QFileDialog::ExistingFiles);
    // MP3 and WAV first and chosen, then the other formats the reader decodes.
    EXPECT_EQ(
        Dialog->nameFilters(),
        QStringList({"*.mp3 *.wav (*.mp3 *.wav)",
                     "*.flac *.ogg *.opus *.aiff *.m4a *.aac *.wma *.webm "
                     "(*.flac *.ogg *.oga *.opus *.aif *.aiff *.m4a *.m4b *.mp4 *.aac *.wma *.webm *.weba *.mka)"}));
    EXPECT_EQ(Dialog->selectedNameFilter(), "*.mp3 *.wav (*.mp3 *.wav)");
    EXPECT_EQ(LeftPaths, QByteArrayList({"/music/set one/a.mp3", "/music/set one/b.wav"}));
    EXPECT_EQ(LeftNames, QByteArrayList({"a.mp3", "b.wav"}));
    ExpectInStep(LeftPaths, LeftNames, List->FlatListBox1);
    EXPECT_TRUE(List->FlatListBox1->Selected(0) && !List->FlatListBox1->Selected(1));
    EXPECT_EQ(LeftIndex, 0);
    EXPECT_TRUE(RightPaths.isEmpty());

    // Cancelled: nothing changes, not even the selection or the index.
    List->FlatListBox1->SetSelected(1, true);
    LeftIndex = 1;
    Answer = {};
    Main->btnAddLeftClick();
    EXPECT_EQ(LeftPaths.size(), 2);
    EXPECT_TRUE(List->FlatListBox1->Selected(1));
    EXPECT_EQ(LeftIndex, 1);
}

TEST_F(MainWindowPlaylists, AFileNameWithALineBreakIsRefusedWithAMessage)
{
    Start();
    std::string reported;
    const ErrorDisplay previous = SetErrorDisplay([&](const std::string& m) { reported += m; });
    Answer = {"/m/back\\slash.mp3", "/m/two\nlines.mp3", "/m/cr\rname.wav", "/m/  spaced .mp3"};
    QTest::mouseClick(Main->BtnAddRight, Qt::LeftButton);
    SetErrorDisplay(previous);

    EXPECT_EQ(RightNames, QByteArrayList({"back\\slash.mp3", "  spaced .mp3"})); // not trimmed
    ExpectInStep(RightPaths, RightNames, List->FlatListBox2);
    EXPECT_NE(reported.find("two\nlines.mp3"), std::string::npos);
    EXPECT_NE(reported.find("cr\rname.wav"), std::string::npos);
}

TEST_F(MainWindowPlaylists, OddFileNamesSurviveTheListFilesUnchanged)
{
    const QByteArrayList paths = {"/music/with spaces/a b.mp3", "/música/Ünïcødé 曲.wav",
                                  QByteArray("/raw/\xff\xfe caf\xe9.mp3"), "/m/\tab.mp3"};
    QByteArrayList names;
    for (const QByteArray& path : paths)
        names.append(DisplayName(path));
    SaveListFile(File("FileListRight.ini"), paths);
    SaveListFile(File("Listbox2.ini"), names);
    Start();
    EXPECT_EQ(RightPaths, paths);
    EXPECT_EQ(RightNames, names);
    ExpectInStep(RightPaths, RightNames, List->FlatListBox2);

    // Deleting one entry leaves the others' bytes as they were, and they are written back so.
    List->Delete2Click(); // item 0 is selected by the fill
    SaveListFile(File("FileListRight.ini"), RightPaths);
    SaveListFile(File("Listbox2.ini"), RightNames);
    EXPECT_EQ(LoadListFile(File("FileListRight.ini")), paths.mid(1));
    EXPECT_EQ(LoadListFile(File("Listbox2.ini")), names.mid(1));
}

TEST_F(MainWindowPlaylists, NamesThatDoNotMatchThePathsAreRebuiltFromThemAtStart)
{
    // Files of two generations, as a crash during Close leaves them: a name always plays its own song.
    SaveListFile(File("FileListLeft.ini"), {"/a/one.mp3", "/a/two.mp3", "/a/three.mp3"});
    SaveListFile(File("Listbox1.ini"), {"one.mp3", "removed.wav"});
    SaveListFile(File("FileListRight.ini"), {"/b/noise30.wav", "/b/x.mp3"});
    SaveListFile(File("Listbox2.ini"), {"removed.wav", "x.mp3"});
    Start();
    EXPECT_EQ(LeftNames, QByteArrayList({"one.mp3", "two.mp3", "three.mp3"}));
    EXPECT_EQ(RightNames, QByteArrayList({"noise30.wav", "x.mp3"}));
    ExpectInStep(LeftPaths, LeftNames, List->FlatListBox1);
    ExpectInStep(RightPaths, RightNames, List->FlatListBox2);
}

} // namespace
