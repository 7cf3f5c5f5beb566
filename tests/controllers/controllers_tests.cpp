// Controllers through the real player: a virtual controller on a private JACK server (dummy driver)
// plays the decks through the bindings file, gets its lights back, is let go and taken again, and
// a learn session writes its binding. The bindings file's damaged lines are reported and skipped.
#include "app/Unit1.h"
#include "controllers/LearnDialog.h"
#include "controllers/MidiHub.h"
#include "decks/unitChannel.h"
#include "decks/unitChannel2.h"
#include "engine/Engine.h"
#include "mixer/MxDSMixerChannel.h"
#include "playlist/UnitList.h"
#include "tests/controllers/JackServer.h"
#include "tests/support/Fixtures.h"

#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>
#include <rtmidi/RtMidi.h>

#include <chrono>
#include <fstream>
#include <mutex>

namespace {

// The controller: a virtual output port that plays it, and a virtual input port for its lights.
class Pad {
public:
    Pad() { Plug(); }
    void Plug()
    {
        FOut = std::make_unique<RtMidiOut>(RtMidi::UNIX_JACK, "Test Pad");
        FOut->openVirtualPort("out");
    }
    void Unplug() { FOut.reset(); }
    void Send(unsigned char status, unsigned char number, unsigned char value)
    {
        std::vector<unsigned char> m{status, number, value};
        FOut->sendMessage(&m);
    }
    void Listen()
    {
        FIn = std::make_unique<RtMidiIn>(RtMidi::UNIX_JACK, "Test Pad");
        FIn->setCallback(
            [](double, std::vector<unsigned char>* m, void* self) {
                auto* pad = static_cast<Pad*>(self);
                std::lock_guard lock(pad->FLock);
                pad->FHeard.push_back(*m);
            },
            this);
        FIn->openVirtualPort("lights");
    }
    std::vector<std::vector<unsigned char>> Heard()
    {
        std::lock_guard lock(FLock);
        return FHeard;
    }

private:
    std::unique_ptr<RtMidiOut> FOut;
    std::unique_ptr<RtMidiIn> FIn;
    std::mutex FLock;
    std::vector<std::vector<unsigned char>> FHeard;
};

template <class Condition> bool WaitFor(Condition condition, int ms = 2000)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        QTest::qWait(5);
    }
    return true;
}

class Controllers : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!jack.Up())
            GTEST_SKIP() << "jackd with its dummy driver does not start here";
        engine::Engine::Reset();
        engine::Engine::UseManualBackend();
        for (const char* side : {"Left", "Right"}) {
            const std::string name = std::string(side) + ".wav";
            testsupport::WriteWavS16(dir.file(name), 44100, 2, testsupport::SineS16(44100 * 4, 44100, 2, 440));
            const std::string path = dir.file(name).string() + "\r\n", shown = name + "\r\n";
            testsupport::WriteBytes(dir.file(std::string("FileList") + side + ".ini"), {path.begin(), path.end()});
            testsupport::WriteBytes(dir.file(side == std::string("Left") ? "Listbox1.ini" : "Listbox2.ini"),
                                    {shown.begin(), shown.end()});
        }
        std::ofstream(dir.file("Controllers.txt")) << "[Test Pad]\n"
                                                      "note 1 36 left play light\n"
                                                      "cc 1 7 left volume absolute\n"
                                                      "cc 1 16 left tempo relative\n";
        form = std::make_unique<TFormMain>(QByteArray::fromStdString(dir.path().string()));
        list = std::make_unique<TFormList>();
        list->show();
        form->show();
        ASSERT_TRUE(Taken()) << "the virtual controller was not taken";
    }
    void TearDown() override
    {
        list.reset();
        form.reset();
        engine::Engine::Reset();
    }
    TMidiHub& Hub() { return dynamic_cast<TMidiHub&>(*form->Midi()); }
    bool Taken(int ms = 2000)
    {
        return WaitFor(
            [&] {
                const auto devices = Hub().Devices();
                return std::find(devices.begin(), devices.end(), "Test Pad") != devices.end();
            },
            ms);
    }

    testsupport::JackServer jack;
    testsupport::TempDir dir;
    Pad pad;
    std::unique_ptr<TFormMain> form;
    std::unique_ptr<TFormList> list;
};

} // namespace

TEST(BindingsFile, DamagedLinesAreReportedAndSkippedAndTheRestReadsBackAsWritten)
{
    const TBindingsFile file = ParseBindings("note 1 1 left play\n" // before any controller
                                             "[Pad One]\n"
                                             "note 1 36 left play light   # the big button\n"
                                             "note 17 36 left play\n"  // channel out of range
                                             "cc 2 7 right volume\n"   // no mode
                                             "note 1 40 left volume\n" // a note cannot turn a knob
                                             "cc 2 7 right volume absolute\n"
                                             "cc 1 16 left tempo offset64\n"
                                             "note 1 41 left stop light\n" // stop has no state to show
                                             "[Pad Two]\n"
                                             "note 10 0 mixer record\n"
                                             "note 10 3 right hot-cue-3\n");
    ASSERT_EQ(file.Problems.size(), 5u);
    EXPECT_EQ(file.Problems[0].rfind("line 1:", 0), 0u);
    EXPECT_EQ(file.Problems[4].rfind("line 9:", 0), 0u);
    ASSERT_EQ(file.Bindings.size(), 5u);
    EXPECT_TRUE(file.Bindings[0].Light);
    EXPECT_EQ(file.Bindings[1].Mode, TControlMode::Absolute);
    EXPECT_EQ(file.Bindings[2].Mode, TControlMode::Offset64);
    EXPECT_EQ(file.Bindings[3].Device, "Pad Two");
    EXPECT_EQ(file.Bindings[3].Channel, 9);

    const TBindingsFile again = ParseBindings(FormatBindings(file.Bindings));
    EXPECT_TRUE(again.Problems.empty());
    ASSERT_EQ(again.Bindings.size(), file.Bindings.size());
    for (size_t i = 0; i < again.Bindings.size(); ++i) {
        EXPECT_TRUE(again.Bindings[i].SameControl(file.Bindings[i]));
        EXPECT_EQ(again.Bindings[i].Action, file.Bindings[i].Action);
        EXPECT_EQ(again.Bindings[i].Unit, file.Bindings[i].Unit); // hot-cue-3 is not hot-cue-1
        EXPECT_EQ(again.Bindings[i].Target, file.Bindings[i].Target);
        EXPECT_EQ(again.Bindings[i].Mode, file.Bindings[i].Mode);
        EXPECT_EQ(again.Bindings[i].Light, file.Bindings[i].Light);
    }
}

TEST_F(Controllers, ANotePlaysTheDeckAndItsLightComesBack)
{
    pad.Listen();
    pad.Send(0x90, 36, 127);
    pad.Send(0x80, 36, 0);
    EXPECT_TRUE(WaitFor([] { return FormChannel->Channel()->State() == csPlaying; }));
    EXPECT_TRUE(WaitFor([&] {
        for (const auto& m : pad.Heard())
            if (m == std::vector<unsigned char>{0x90, 36, 127})
                return true;
        return false;
    })) << "no light";
    EXPECT_EQ(FormChannel2->Channel()->State(), csStopped);
}

TEST_F(Controllers, AnAbsoluteControlTakesTheVolumeOverOnlyOnceItMeetsTheKnob)
{
    const engine::VoiceControls& voice = FormChannel->Channel()->Voice();
    const LONG before = voice.Volume();
    const int at = static_cast<int>(form->Place(TKeyTarget::Left, TKeyAction::Volume) * 127);
    const int far = at > 64 ? 0 : 127;
    pad.Send(0xB0, 7, static_cast<unsigned char>(far));
    QTest::qWait(100);
    EXPECT_EQ(voice.Volume(), before) << "the control jumped the volume";
    // Across the knob's place: taken, and followed from there.
    pad.Send(0xB0, 7, static_cast<unsigned char>(far == 0 ? 127 : 0));
    const int to = far == 0 ? at - 20 : at + 20;
    pad.Send(0xB0, 7, static_cast<unsigned char>(to));
    EXPECT_TRUE(WaitFor([&] { return voice.Volume() == TMidiHub::VolumeAtPlace(to / 127.0); }));
    // The knob moved by the keys meanwhile: the control must meet it again.
    QTest::qWait(50); // the knob follows on the UI thread
    QTest::keyClick(form.get(), Qt::Key_2);
    const LONG keyed = voice.Volume();
    pad.Send(0xB0, 7, static_cast<unsigned char>(far == 0 ? 0 : 127));
    QTest::qWait(100);
    EXPECT_EQ(voice.Volume(), keyed);
}

TEST_F(Controllers, ARelativeEncoderStepsTheTempo)
{
    QTest::keyClick(form.get(), Qt::Key_G); // a song to step
    for (int i = 0; i < 3; ++i)
        pad.Send(0xB0, 16, 1);
    pad.Send(0xB0, 16, 127); // one tick back
    EXPECT_TRUE(WaitFor([] { return std::abs(FormChannel->Speed() - 1.002) < 1e-9; })) << FormChannel->Speed();
}

TEST_F(Controllers, AControllerUnpluggedAndPluggedAgainIsTakenAgainWithinASecond)
{
    pad.Unplug();
    EXPECT_TRUE(WaitFor([&] { return Hub().Devices().empty(); }));
    pad.Plug();
    const auto from = std::chrono::steady_clock::now();
    ASSERT_TRUE(Taken());
    EXPECT_LT(std::chrono::steady_clock::now() - from, std::chrono::seconds(1));
    pad.Send(0x90, 36, 127);
    EXPECT_TRUE(WaitFor([] { return FormChannel->Channel()->State() == csPlaying; }));
}

TEST_F(Controllers, ALearnSessionBindsTheControlMovedAndTheFileHoldsIt)
{
    TLearnDialog dialog(Hub());
    const auto rows = dialog.Actions->findItems("Right deck: play", Qt::MatchStartsWith);
    ASSERT_EQ(rows.size(), 1);
    dialog.Actions->setCurrentItem(rows[0]);
    dialog.LearnButton->click();
    pad.Send(0x91, 40, 100);
    const auto file = dir.file("Controllers.txt");
    EXPECT_TRUE(WaitFor([&] {
        std::ifstream in(file);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        return text.find("note 2 40 right play light") != std::string::npos;
    }));
    pad.Send(0x91, 40, 100);
    EXPECT_TRUE(WaitFor([] { return FormChannel2->Channel()->State() == csPlaying; }));
}
