// The sound-card mixer component and the choice of the recording input, on the default virtual card
// and on card layouts built for each case.
#include "platform/mmsystem/VirtualCard.h"
#include "record/AMixer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using mmsystem::CardControl;
using mmsystem::CardDestination;
using mmsystem::CardLayout;
using mmsystem::CardLine;
using mmsystem::ControlValues;
using mmsystem::ControlWrites;
using Values = std::vector<int32_t>;

const CardControl Volume{MIXERCONTROL_CONTROLTYPE_VOLUME, 0, {}, "Volume"};
const CardControl Mute{MIXERCONTROL_CONTROLTYPE_MUTE, MIXERCONTROL_CONTROLF_UNIFORM, {}, "Mute"};

CardControl Selector(DWORD type, int items)
{
    CardControl c{type, MIXERCONTROL_CONTROLF_UNIFORM, {}, "Select"};
    for (int i = 0; i < items; ++i)
        c.Items.push_back("Input " + std::to_string(i + 1));
    return c;
}

// One wave-in destination whose sources have the given controls, behind a selector of `items` items.
CardLayout RecordingCard(const std::vector<std::vector<CardControl>>& sources, CardControl selector,
                         std::vector<CardControl> destinationControls = {})
{
    CardLayout layout;
    CardDestination rec;
    destinationControls.push_back(std::move(selector));
    rec.Line = CardLine{"Recording", MIXERLINE_COMPONENTTYPE_DST_WAVEIN, 2, destinationControls};
    for (size_t i = 0; i < sources.size(); ++i)
        rec.Sources.push_back(
            CardLine{"Input " + std::to_string(i + 1), MIXERLINE_COMPONENTTYPE_SRC_LINE, 2, sources[i]});
    layout.Destinations.push_back(rec);
    return layout;
}

class AudioMixer : public ::testing::Test {
protected:
    void SetUp() override { mmsystem::ResetCard(); }
    void TearDown() override { mmsystem::ResetCard(); }
};

TEST_F(AudioMixer, StartUpSetUpSelectsTheMixAndSetsTheLevelOfAnotherInput)
{
    TAudioMixer mixer;
    ASSERT_EQ(mixer.MixerID(), 0);
    ASSERT_NE(mixer.Destinations(), nullptr);
    ASSERT_EQ(mixer.Destinations()->Count(), 2);
    TMixerDestination* rec = mixer.Destinations()->Items(1);
    EXPECT_EQ(rec->Line.dwComponentType, MIXERLINE_COMPONENTTYPE_DST_WAVEIN);
    ASSERT_EQ(rec->Connections.Count(), 7);
    EXPECT_EQ(rec->Controls.Items(0)->dwControlType, MIXERCONTROL_CONTROLTYPE_MUX);
    EXPECT_EQ(rec->Connections.Items(1)->Controls.Count(), 2);
    EXPECT_THROW(rec->Connections.Items(7), EListError);

    EXPECT_TRUE(SelectRecordSource(7));
    EXPECT_EQ(ControlValues(0, 1, -1, 0), (Values{0, 0, 0, 0, 0, 0, 1}));
    EXPECT_TRUE(mixer.SetVolume(1, 1, 35000, -1, 0));
    EXPECT_EQ(ControlValues(0, 1, 1, 0), (Values{35000, 35000}));
    EXPECT_EQ(ControlValues(0, 1, 1, 1), (Values{0}));
    EXPECT_EQ(ControlValues(0, 1, 6, 0), (Values{65535, 65535})); // "Stereo Mix" keeps its full level
    EXPECT_EQ(ControlValues(0, 1, -1, 0), (Values{0, 0, 0, 0, 0, 0, 1}));
}

TEST_F(AudioMixer, SetVolumeWritesOnlyWhatIsGiven)
{
    mmsystem::InstallLayout(RecordingCard({{Volume, Mute}}, Selector(MIXERCONTROL_CONTROLTYPE_MUX, 3), {Volume}));
    TAudioMixer mixer;
    EXPECT_FALSE(mixer.SetVolume(1, 0, 100, 100, 0)); // one destination only
    EXPECT_FALSE(mixer.SetVolume(0, 1, 100, 100, 0)); // one source only
    EXPECT_FALSE(mixer.SetVolume(-1, -1, 100, 100, 0));
    EXPECT_EQ(ControlWrites(), 0);

    EXPECT_TRUE(mixer.SetVolume(0, 0, -1, 5, 1));
    EXPECT_EQ(ControlWrites(), 1);
    EXPECT_EQ(ControlValues(0, 0, 0, 0), (Values{65535, 65535}));
    EXPECT_EQ(ControlValues(0, 0, 0, 1), (Values{1}));
    EXPECT_TRUE(mixer.SetVolume(0, 0, 1000, -1, -1));
    EXPECT_EQ(ControlWrites(), 2);
    EXPECT_EQ(ControlValues(0, 0, 0, 0), (Values{1000, 1000}));
    EXPECT_EQ(ControlValues(0, 0, 0, 1), (Values{1}));
    EXPECT_TRUE(mixer.SetVolume(0, 0, 1000, 2000, 0));
    EXPECT_EQ(ControlValues(0, 0, 0, 0), (Values{1000, 2000}));
    EXPECT_EQ(ControlValues(0, 0, 0, 1), (Values{0}));

    // The destination itself has a volume but no mute: only the volume is written.
    const int before = ControlWrites();
    EXPECT_TRUE(mixer.SetVolume(0, -1, 300, -1, 0));
    EXPECT_EQ(ControlWrites(), before + 1);
    EXPECT_EQ(ControlValues(0, 0, -1, 0), (Values{300, 300}));
    EXPECT_EQ(ControlValues(0, 0, -1, 1), (Values{1, 0, 0}));
}

TEST_F(AudioMixer, ASourceWithoutMuteIsMutedThroughTheDestinationSelector)
{
    // Multiplexer: every entry ends 0, the addressed one gets the mute value.
    mmsystem::InstallLayout(RecordingCard({{Volume}, {Volume}, {Volume}}, Selector(MIXERCONTROL_CONTROLTYPE_MUX, 3)));
    {
        TAudioMixer mixer;
        EXPECT_EQ(ControlValues(0, 0, -1, 0), (Values{1, 0, 0}));
        EXPECT_TRUE(mixer.SetVolume(0, 2, 4000, -1, 0));
        EXPECT_EQ(ControlValues(0, 0, 2, 0), (Values{4000, 4000}));
        EXPECT_EQ(ControlValues(0, 0, -1, 0), (Values{0, 0, 0}));
    }
    // Mixer control: the other entries keep their values.
    CardControl mix = Selector(MIXERCONTROL_CONTROLTYPE_MIXER, 3);
    mmsystem::InstallLayout(RecordingCard({{Volume}, {Volume}, {Volume}}, mix));
    TAudioMixer mixer;
    EXPECT_TRUE(mixer.SetVolume(0, 1, 4000, -1, 1));
    EXPECT_EQ(ControlValues(0, 0, -1, 0), (Values{1, 1, 0}));
}

TEST_F(AudioMixer, RecordSourceBeyondTheItemsClearsThemAll)
{
    mmsystem::InstallLayout(RecordingCard({{Volume}, {Volume}, {Volume}}, Selector(MIXERCONTROL_CONTROLTYPE_MUX, 3)));
    EXPECT_TRUE(SelectRecordSource(2));
    EXPECT_EQ(ControlValues(0, 0, -1, 0), (Values{0, 1, 0}));
    EXPECT_TRUE(SelectRecordSource(7));
    EXPECT_EQ(ControlValues(0, 0, -1, 0), (Values{0, 0, 0}));
    // No wave-in destination, and no device at all: nothing is written, and still true.
    CardLayout speakers;
    speakers.Destinations.push_back({CardLine{"Speakers", MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, 2, {Volume}}, {}});
    mmsystem::InstallLayout(speakers);
    EXPECT_TRUE(SelectRecordSource(1));
    mmsystem::InstallLayout(speakers, 0);
    EXPECT_TRUE(SelectRecordSource(1));
    EXPECT_EQ(ControlWrites(), 0);
}

TEST_F(AudioMixer, DevicesOpenCloseAndNotify)
{
    CardLayout layout = RecordingCard({{Volume, Mute}}, Selector(MIXERCONTROL_CONTROLTYPE_MUX, 1));
    mmsystem::InstallLayout(layout, 3);
    TAudioMixer mixer;
    EXPECT_EQ(mixer.MixerID(), 0);
    mixer.SetMixerID(7);
    EXPECT_EQ(mixer.MixerID(), 2);
    EXPECT_EQ(std::string(mixer.Caps().szPname), "DuoDeck Virtual Card 3");
    std::vector<std::pair<intptr_t, intptr_t>> changes;
    mixer.OnControlChange = [&](TAudioMixer* sender, intptr_t h, intptr_t id) {
        EXPECT_EQ(sender, &mixer);
        changes.emplace_back(h, id);
    };
    EXPECT_TRUE(mixer.SetVolume(0, 0, 10, 10, 0));
    ProcessMessages();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].first, reinterpret_cast<intptr_t>(mixer.Handle()));
    EXPECT_EQ(
        changes[0].second,
        static_cast<intptr_t>(mixer.Destinations()->Items(0)->Connections.Items(0)->Controls.Items(0)->dwControlID));
    intptr_t line = 0;
    mixer.OnLineChange = [&](TAudioMixer*, intptr_t, intptr_t id) { line = id; };
    mixer.MixerWndProc(MM_MIXM_LINE_CHANGE, 1, 42);
    EXPECT_EQ(line, 42);

    mixer.SetMixerID(-1);
    EXPECT_EQ(mixer.MixerID(), -1);
    EXPECT_EQ(mixer.Destinations(), nullptr);
    EXPECT_FALSE(mixer.SetVolume(0, 0, 10, 10, 0));
    mmsystem::InstallLayout(layout, 0);
    TAudioMixer none;
    EXPECT_EQ(none.MixerID(), -1);
    EXPECT_FALSE(none.SetVolume(0, -1, 1, 1, 1));
}

TEST(PointerList, ClearFreesInOrderAndOutOfRangeIsAnError)
{
    std::vector<intptr_t> freed;
    {
        TPointerList list;
        list.OnFreeItem = [&](void* p) { freed.push_back(reinterpret_cast<intptr_t>(p)); };
        EXPECT_EQ(list.Add(reinterpret_cast<void*>(1)), 0);
        EXPECT_EQ(list.Add(reinterpret_cast<void*>(2)), 1);
        EXPECT_THROW(list.Items(2), EListError);
        EXPECT_THROW(list.Items(-1), EListError);
        list.Clear();
        EXPECT_EQ(list.Count(), 0);
        list.Add(reinterpret_cast<void*>(3));
    }
    EXPECT_EQ(freed, (std::vector<intptr_t>{1, 2, 3}));
}

} // namespace
