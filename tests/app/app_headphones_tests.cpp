// The headphones: each deck's cue switch, and the output's dialog with its settings file.
#include "app/Unit1.h"
#include "decks/unitChannel.h"
#include "decks/unitChannel2.h"
#include "platform/output/CueOutput.h"
#include "engine/Engine.h"
#include "tests/support/Fixtures.h"
#include "widgets/ImgBtn.h"

#include <QComboBox>
#include <QDialog>
#include <QSlider>

#include <gtest/gtest.h>

namespace {

class Headphones : public ::testing::Test {
protected:
    void SetUp() override
    {
        engine::Engine::Reset();
        engine::Engine::UseManualBackend();
    }
    void TearDown() override
    {
        form.reset();
        engine::Engine::Reset();
    }
    void Open() { form = std::make_unique<TFormMain>(QByteArray::fromStdString(dir.path().string())); }
    testsupport::TempDir dir;
    std::unique_ptr<TFormMain> form;
};

} // namespace

TEST_F(Headphones, TheCueSwitchLightsAndSaysOnceThatNoOutputIsSet)
{
    Open();
    const QImage off = form->BtnCueLeft->Picture().toImage();
    testing::internal::CaptureStderr();
    form->BtnCueLeft->OnClick(form->BtnCueLeft);
    form->BtnCueRight->OnClick(form->BtnCueRight);
    const std::string console = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(FormChannel->Cue());
    EXPECT_TRUE(FormChannel2->Cue());
    EXPECT_EQ(form->BtnCueLeft->Picture().toImage(), form->BtnCueLeft->PicUp().toImage());
    EXPECT_NE(form->BtnCueLeft->Picture().toImage(), off);
    const size_t said = console.find("No headphones output is set");
    EXPECT_NE(said, std::string::npos) << console;
    EXPECT_EQ(console.find("No headphones output is set", said + 1), std::string::npos) << console;
    form->BtnCueLeft->OnClick(form->BtnCueLeft);
    EXPECT_FALSE(FormChannel->Cue());
    EXPECT_EQ(form->BtnCueLeft->Picture().toImage(), off);
}

TEST_F(Headphones, TheDialogsChoiceIsHeardAndKeptAndADamagedFileMeansTheDefaults)
{
    Open();
    form->HeadphonesDialogExecute = [](QDialog* dialog) {
        auto* output = dialog->findChild<QComboBox*>("Output");
        output->setCurrentIndex(output->findData("split"));
        dialog->findChild<QSlider*>("Blend")->setValue(30);
        dialog->findChild<QSlider*>("Level")->setValue(80);
    };
    form->ShowHeadphonesDialog();
    EXPECT_EQ(engine::Engine::Instance().Headphones().Chosen().What, output::CueTarget::Kind::Split);
    form.reset();
    engine::Engine::Instance().Headphones().Choose({});

    Open();
    EXPECT_EQ(form->Headphones().Output, "split");
    EXPECT_EQ(form->Headphones().Blend, 30);
    EXPECT_EQ(form->Headphones().Level, 80);
    EXPECT_EQ(engine::Engine::Instance().Headphones().Chosen().What, output::CueTarget::Kind::Split);
    form.reset();

    for (const char* damaged :
         {"\x01\xff[Headphones\nOutput=sink:\nBlend=250\nLevel=-3\n", "[Headphones]\nOutput=loud\n"}) {
        testsupport::WriteBytes(dir.path() / SettingsFile,
                                std::vector<uint8_t>(damaged, damaged + std::strlen(damaged)));
        Open();
        EXPECT_EQ(form->Headphones(), THeadphonesSettings{}) << damaged;
        form.reset();
    }
}
