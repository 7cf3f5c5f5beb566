// The mix recording controls: Record, Pause and Save with the temporary recording beside the
// executable, on the virtual sound card fed by the manual sound backend.
#include "app/Unit1.h"
#include "engine/Engine.h"
#include "platform/ui/ErrorDisplay.h"
#include "record/AudioRecord.h"
#include "tests/support/Fixtures.h"
#include "widgets/ImgBtn.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

class RecordButtons : public ::testing::Test {
protected:
    void SetUp() override
    {
        engine::Engine::Reset();
        engine::Engine::UseManualBackend();
        form = std::make_unique<TFormMain>(QByteArray::fromStdString(dir.path().string()));
        previous = SetErrorDisplay([this](const std::string& m) { errors.push_back(m); });
    }
    void TearDown() override
    {
        if (Recording)
            form->ToggleRecording();
        form.reset();
        SetErrorDisplay(previous);
        engine::Engine::Reset();
        Recording = RecordPaused = false;
    }
    // Saves through the dialog seam, answering with `name` (empty: Cancel).
    void SaveAs(const QString& name)
    {
        form->SaveDialog1Execute = [name](QFileDialog*) { return name.isEmpty() ? QStringList() : QStringList{name}; };
        form->BtnSaveClick();
    }
    QString In(const char* name) const { return QString::fromStdString(dir.file(name).string()); }
    fs::path Temporary() const { return dir.file("tem.Mp3"); }

    testsupport::TempDir dir;
    std::unique_ptr<TFormMain> form;
    std::vector<std::string> errors;
    ErrorDisplay previous;
};

} // namespace

TEST_F(RecordButtons, SaveAddsMp3UnlessTheNameHoldsItAndAlwaysDiscardsTheTemporaryRecording)
{
    const std::vector<uint8_t> take{1, 2, 3, 4};
    struct Case {
        const char* chosen;
        const char* written;
    };
    for (const Case& c : {Case{"mix", "mix.mp3"}, Case{"mix.MP3", "mix.MP3.mp3"}, Case{"old.mp3.bak", "old.mp3.bak"}}) {
        testsupport::WriteBytes(Temporary(), take);
        SaveAs(In(c.chosen));
        EXPECT_EQ(testsupport::ReadBytes(dir.file(c.written)), take) << c.chosen;
        EXPECT_FALSE(fs::exists(Temporary()));
    }
    // Cancel discards; Save with nothing recorded writes nothing.
    testsupport::WriteBytes(Temporary(), take);
    SaveAs({});
    EXPECT_FALSE(fs::exists(Temporary()));
    SaveAs(In("nothing"));
    EXPECT_FALSE(fs::exists(dir.file("nothing.mp3")));
    EXPECT_TRUE(errors.empty());
}

TEST_F(RecordButtons, AFailedSaveKeepsTheRecordingAndSaysSo)
{
    testsupport::WriteBytes(Temporary(), {9, 9});
    SaveAs(In("no/such/folder/mix"));
    EXPECT_TRUE(fs::exists(Temporary()));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("could not be saved"), std::string::npos);
    EXPECT_NE(errors[0].find("No such file or directory"), std::string::npos) << errors[0];
    SaveAs(In("mix"));
    EXPECT_EQ(testsupport::ReadBytes(dir.file("mix.mp3")), (std::vector<uint8_t>{9, 9}));
}

TEST_F(RecordButtons, RecordRecordRecordKeepsThenReplacesTheTake)
{
    const QImage recordingLook = form->ImgBtn2->Pic().toImage();
    const QImage idleLook = form->ImgBtn2->PicDown().toImage();
    form->ToggleRecording();
    EXPECT_TRUE(Recording);
    EXPECT_TRUE(form->AudioRecord1->Active());
    EXPECT_EQ(form->BtnRecord->toolTip(), "Stop Recording");
    EXPECT_EQ(form->BtnRecord->PicUp().toImage(), recordingLook);
    EXPECT_EQ(form->AudioRecord1->FileName, dir.file("tem").string());

    form->ToggleRecording();
    EXPECT_FALSE(Recording);
    EXPECT_FALSE(form->AudioRecord1->Active());
    EXPECT_EQ(form->BtnRecord->toolTip(), "Record");
    EXPECT_EQ(form->BtnRecord->Pic().toImage(), idleLook);
    ASSERT_TRUE(fs::exists(Temporary()));
    testsupport::WriteBytes(Temporary(), {7}); // mark the kept take

    form->ToggleRecording(); // deletes the old take and starts a new one
    EXPECT_TRUE(Recording);
    EXPECT_NE(testsupport::ReadBytes(Temporary()), (std::vector<uint8_t>{7}));
}

TEST_F(RecordButtons, PauseWorksOnlyWhileRecordingAndItsLookOutlivesTheStop)
{
    form->BtnPauseClick();
    EXPECT_FALSE(RecordPaused);
    EXPECT_EQ(form->BtnPause->toolTip(), "Pause Recording");

    form->ToggleRecording();
    form->BtnPauseClick();
    EXPECT_TRUE(RecordPaused);
    EXPECT_TRUE(form->AudioRecord1->isPause());
    EXPECT_EQ(form->BtnPause->toolTip(), "Resume Recording");
    EXPECT_EQ(form->BtnPause->Pic().toImage(), form->ImgBtn3->Pic().toImage());

    // Stopping leaves the paused look; the next recording starts unpaused.
    form->ToggleRecording();
    EXPECT_EQ(form->BtnPause->toolTip(), "Resume Recording");
    form->ToggleRecording();
    EXPECT_FALSE(form->AudioRecord1->isPause());
    form->BtnPauseClick(); // only switches the button back
    EXPECT_FALSE(RecordPaused);
    EXPECT_FALSE(form->AudioRecord1->isPause());
    form->BtnPauseClick();
    EXPECT_TRUE(form->AudioRecord1->isPause());
}
