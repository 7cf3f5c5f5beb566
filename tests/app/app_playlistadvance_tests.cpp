// The deck panel's playlist logic: which song Play starts, and the advance at the end of a song.
#include "app/Unit1.h"
#include "decks/unitChannel.h"
#include "decks/unitChannel2.h"
#include "mixer/MxDSMixer.h"
#include "engine/Engine.h"
#include "platform/kernel/Exceptions.h"
#include "platform/kernel/TimeScale.h"
#include "platform/ui/HiddenWindow.h"
#include "playlist/UnitList.h"
#include "tests/support/Fixtures.h"
#include "widgets/ImgBtn.h"
#include "widgets/TFlatListBoxUnit.h"

#include <QLabel>
#include <QTest>

#include <gtest/gtest.h>

#include <thread>

namespace {

class PlaylistAdvance : public ::testing::Test {
protected:
    // Left playlist of `entries` songs named s0.wav…; those in `missing` are not written.
    void Start(int entries, std::vector<int> missing = {}, int rightEntries = 0)
    {
        engine::Engine::Reset();
        engine::Engine::UseManualBackend();
        std::string paths, names;
        for (int i = 0; i < entries; ++i) {
            const std::string name = "s" + std::to_string(i) + ".wav";
            if (std::find(missing.begin(), missing.end(), i) == missing.end())
                testsupport::WriteWavS16(dir.file(name), 44100, 2,
                                         testsupport::SineS16(44100 * 3 / 10, 44100, 2, 300 + 100 * i));
            paths += dir.file(name).string() + "\r\n";
            names += name + "\r\n";
        }
        Write("FileListLeft.ini", paths);
        Write("Listbox1.ini", names);
        std::string rpaths, rnames;
        for (int i = 0; i < rightEntries; ++i) {
            const std::string name = "r" + std::to_string(i) + ".wav";
            testsupport::WriteWavS16(dir.file(name), 44100, 2, testsupport::SineS16(44100, 44100, 2, 700));
            rpaths += dir.file(name).string() + "\r\n";
            rnames += name + "\r\n";
        }
        Write("FileListRight.ini", rpaths);
        Write("Listbox2.ini", rnames);
        form = std::make_unique<TFormMain>(QByteArray::fromStdString(dir.path().string()));
        list = std::make_unique<TFormList>();
        list->show();
        form->show();
    }
    void TearDown() override
    {
        list.reset();
        form.reset();
        engine::Engine::Reset();
        LeftLoop = RightLoop = false;
    }
    void Write(const char* name, const std::string& text)
    {
        testsupport::WriteBytes(dir.file(name), std::vector<uint8_t>(text.begin(), text.end()));
    }
    std::string Playing() const
    {
        const auto name = FormChannel->Channel()->FileName();
        return name.empty() ? "" : std::filesystem::path(name).filename().string();
    }
    // Renders the mix until `until` holds or `seconds` of audio have passed; false on time-out.
    template <class Pred> bool PlayOn(double seconds, Pred until)
    {
        for (int done = 0; done < seconds * 44100; done += 2205) {
            if (until())
                return true;
            engine::Engine::PullS16(2205);
            std::this_thread::sleep_for(std::chrono::microseconds(1500));
            ProcessMessages();
        }
        return until();
    }
    bool PlayOn(double seconds)
    {
        return PlayOn(seconds, [] { return false; });
    }
    bool Stopped() const { return FormChannel->Channel()->State() == csStopped; }
    std::vector<int> Selection() const
    {
        std::vector<int> s;
        for (int i = 0; i < list->FlatListBox1->Items().Count(); ++i)
            if (list->FlatListBox1->Selected(i))
                s.push_back(i);
        return s;
    }

    timescale::Scope fast{50};
    testsupport::TempDir dir;
    std::unique_ptr<TFormMain> form;
    std::unique_ptr<TFormList> list;
};

} // namespace

TEST_F(PlaylistAdvance, PlaySkipsMissingFilesWithoutWrappingUnlessLooping)
{
    Start(3, {1, 2});
    list->FlatListBox1->SetSelected(1, true);
    form->PlayLeftDeck();
    EXPECT_EQ(Playing(), "");
    EXPECT_EQ(LeftIndex, 2);
    EXPECT_EQ(Selection(), std::vector<int>{1}); // Play leaves the selection alone

    LeftLoop = true;
    form->PlayLeftDeck();
    EXPECT_EQ(Playing(), "s0.wav");
    EXPECT_EQ(LeftIndex, 0);
}

TEST_F(PlaylistAdvance, ASongThatCannotBeOpenedIsNamedWithTheReason)
{
    Start(2);
    Write("s1.wav", "not a song");
    list->FlatListBox1->SetSelected(1, true);
    try {
        form->PlayLeftDeck();
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Cannot play \"" + dir.file("s1.wav").string() + "\": Format not recognised.");
    }
}

TEST_F(PlaylistAdvance, TheEndOfTheLastSongStopsUnlessTheRepeatFlagIsOn)
{
    Start(2);
    list->FlatListBox1->SetSelected(0, true);
    form->PlayLeftDeck();
    EXPECT_EQ(Playing(), "s0.wav");
    // s0 ends: s1 is selected and plays.
    ASSERT_TRUE(PlayOn(10, [&] { return Playing() == "s1.wav"; }));
    EXPECT_EQ(LeftIndex, 1);
    EXPECT_EQ(Selection(), std::vector<int>{1});
    // s1 ends: back to entry 0, which exists, so the deck stops there.
    ASSERT_TRUE(PlayOn(10, [&] { return Stopped(); }));
    PlayOn(1);
    EXPECT_EQ(LeftIndex, 0);
    EXPECT_EQ(FormChannel->Channel()->State(), csStopped);
    EXPECT_EQ(Playing(), "s1.wav");

    // With the repeat flag the first entry plays again.
    form->BtnLoopLeft->OnClick(form->BtnLoopLeft);
    form->BtnStopLeft->OnClick(form->BtnStopLeft);
    EXPECT_EQ(form->ImgJinduLeft->x(), 24);
    LeftIndex = 1;
    list->FlatListBox1->SetSelected(1, true);
    form->PlayLeftDeck();
    EXPECT_EQ(Playing(), "s1.wav");
    ASSERT_TRUE(PlayOn(10, [&] { return Playing() == "s0.wav"; }));
    EXPECT_EQ(FormChannel->Channel()->State(), csPlaying);
    EXPECT_EQ(Selection(), std::vector<int>{0});
}

TEST_F(PlaylistAdvance, PlayBothWithAnEmptyRightListStartsOnlyTheLeftDeckAndPlayResumesAStartedDeck)
{
    Start(1);
    list->FlatListBox1->SetSelected(0, true);
    form->BtnPlayBoth->OnClick(form->BtnPlayBoth);
    EXPECT_EQ(FormChannel->Channel()->State(), csPlaying);
    EXPECT_EQ(FormChannel2->Channel()->State(), csStopped);
    EXPECT_EQ(FormChannel2->Channel()->FileName(), "");

    PlayOn(0.1);
    FormChannel->Timer1Timer();
    form->BtnPauseLeft->OnClick(form->BtnPauseLeft);
    EXPECT_EQ(FormChannel->Channel()->State(), csPaused);
    form->ImgJinduLeft->move(30, form->ImgJinduLeft->y()); // started, not stopped
    form->PlayLeftDeck();
    EXPECT_EQ(FormChannel->Channel()->State(), csPlaying);
    EXPECT_TRUE(FormChannel->Timer1().isActive());
}

TEST_F(PlaylistAdvance, PlayStartsTheEntryClickedFarDownALongPlaylist)
{
    std::vector<int> missing; // only the first entry and those around 1500 exist
    for (int i = 1; i < 2000; ++i)
        if (i < 1499 || i > 1501)
            missing.push_back(i);
    Start(2000, missing);
    TFlatListBox* box = list->FlatListBox1;
    while (box->TopIndex() + box->VisibleRows() <= 1500)
        QTest::keyClick(box, Qt::Key_PageDown);
    QTest::mouseClick(box, Qt::LeftButton, {}, box->Rows().at(size_t(1500 - box->TopIndex())).center());
    QTest::mouseClick(form->BtnPlayLeft, Qt::LeftButton);
    EXPECT_EQ(Playing(), "s1500.wav");
    EXPECT_EQ(LeftIndex, 1500);
}
