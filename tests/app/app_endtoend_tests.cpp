// The whole program in one process, as a user drives it: two playlists from their files, Play both,
// the crossfader, Record, Record again, Save as "mix", and the recording holds both songs at the
// levels the knobs gave. The null sound backend plays at real-time pace; the recording is the mix
// itself, taken from the virtual sound card's "Stereo Mix" input.
#include "app/Unit1.h"
#include "tests/app/Gestures.h"
#include "decks/unitChannel.h"
#include "decks/unitChannel2.h"
#include "decode/MxAudioFileRead.h"
#include "mixer/MxDSMixer.h"
#include "engine/Engine.h"
#include "platform/ui/ErrorDisplay.h"
#include "playlist/UnitList.h"
#include "tests/support/Fixtures.h"
#include "widgets/ImgBtn.h"
#include "widgets/TFlatListBoxUnit.h"

#include <QCoreApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

namespace {

void WriteList(const testsupport::TempDir& dir, const char* name, const std::string& line)
{
    const std::string text = line + "\r\n";
    testsupport::WriteBytes(dir.file(name), std::vector<uint8_t>(text.begin(), text.end()));
}

} // namespace

TEST(EndToEnd, TwoPlaylistsMixedRecordedAndSaved)
{
    testsupport::TempDir dir;
    const int rate = 44100;
    testsupport::WriteMp3S16(dir.file("left.mp3"), rate, 2, testsupport::SineS16(rate * 20, rate, 2, 440, 10000));
    testsupport::WriteWavS16(dir.file("right.wav"), rate, 2, testsupport::SineS16(rate * 20, rate, 2, 1000, 10000));
    WriteList(dir, "FileListLeft.ini", dir.file("left.mp3").string());
    WriteList(dir, "Listbox1.ini", "left.mp3");
    WriteList(dir, "FileListRight.ini", dir.file("right.wav").string());
    WriteList(dir, "Listbox2.ini", "right.wav");

    engine::Engine::Reset(); // the null backend: real-time pace, no sound card needed
    std::vector<std::string> errors;
    const auto previous = SetErrorDisplay([&](const std::string& m) { errors.push_back(m); });
    {
        TFormMain form(QByteArray::fromStdString(dir.path().string()));
        // The original crossfader's ratio, songs as they are, and nothing near the limiter's ceiling.
        form.SetMixSettings({"original", false, true});
        TFormList list;
        list.show();
        form.show();
        ASSERT_NE(FormList->FlatListBox1, nullptr);
        ASSERT_EQ(FormList->FlatListBox1->Items().Count(), 1);
        FormList->FlatListBox1->SetSelected(0, true);
        FormList->FlatListBox2->SetSelected(0, true);

        form.BtnPlayBoth->OnClick(form.BtnPlayBoth);
        EXPECT_EQ(FormChannel->Channel()->State(), csPlaying);
        EXPECT_EQ(FormChannel2->Channel()->State(), csPlaying);
        // Crossfader at the centre: the right deck at full volume, the left at -8.42 dB.
        Mouse(form.ImgVolumeBoth, QEvent::MouseButtonPress, {4, 10});
        Mouse(form.ImgVolumeBoth, QEvent::MouseMove, {4 + 1, 10});
        Mouse(form.ImgVolumeBoth, QEvent::MouseMove, {4 - 1, 10});
        Mouse(form.ImgVolumeBoth, QEvent::MouseButtonRelease, {4, 10});
        ASSERT_EQ(form.ImgVolumeBoth->x(), 192);
        EXPECT_EQ(FormChannel->Channel()->Volume(), -842);
        EXPECT_EQ(FormChannel2->Channel()->Volume(), 0);

        QTest::qWait(300);
        form.BtnRecord->OnClick(form.BtnRecord);
        ASSERT_TRUE(Recording);
        QTest::qWait(3500);
        form.BtnRecord->OnClick(form.BtnRecord);
        EXPECT_FALSE(Recording);
        // The position knobs moved along while the songs played.
        EXPECT_GT(form.ImgJinduLeft->x(), 24);

        form.SaveDialog1Execute = [&](QFileDialog*) {
            return QStringList{QString::fromStdString(dir.file("mix").string())};
        };
        form.BtnSave->OnClick(form.BtnSave);
        EXPECT_FALSE(std::filesystem::exists(dir.file("tem.Mp3")));
        form.BtnClose->OnClick(form.BtnClose);
    }
    SetErrorDisplay(previous);
    EXPECT_TRUE(errors.empty()) << errors.front();

    // Whole one-second buffers of 48 kHz stereo: three of them in 3.5 s.
    TMxAudioFileReader mix(dir.file("mix.mp3").string());
    EXPECT_EQ(mix.Format().nSamplesPerSec, 48000u);
    EXPECT_EQ(mix.Format().nChannels, 2);
    EXPECT_GE(mix.Duration(), 2'900'0000);
    EXPECT_LE(mix.Duration(), 4'100'0000);
    std::vector<int16_t> pcm(static_cast<size_t>(mix.Duration() / 10'000'000.0 * 48000 * 2) + 4096);
    const uint32_t bytes = mix.Read(pcm.data(), static_cast<uint32_t>(pcm.size() * 2) & ~3u);
    pcm.resize(bytes / 2);
    // Skip the encoder's start; both tones are there, at the ratio the crossfader gave.
    std::vector<int16_t> body(pcm.begin() + 48000 * 2 / 4, pcm.end());
    const double left = testsupport::ToneLevel(body, 2, 0, 48000, 440),
                 right = testsupport::ToneLevel(body, 2, 0, 48000, 1000);
    EXPECT_NEAR(right, 10000, 1500);
    EXPECT_NEAR(left / right, std::pow(10.0, -842 / 2000.0), 0.05);

    // Close kept the playlists for the next start.
    EXPECT_EQ(testsupport::ReadBytes(dir.file("Listbox2.ini")),
              (std::vector<uint8_t>{'r', 'i', 'g', 'h', 't', '.', 'w', 'a', 'v', '\r', '\n'}));
    engine::Engine::Reset();
}
