// The virtual card's mixer functions: the default layout as clients walk it, and the checks and
// notifications of control writes.
#include "platform/mmsystem/MMSystem.h"
#include "platform/mmsystem/VirtualCard.h"
#include "platform/ui/HiddenWindow.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class MixerApi : public ::testing::Test {
protected:
    void SetUp() override { mmsystem::ResetCard(); }
    void TearDown() override
    {
        if (mixer)
            mixerClose(mixer);
        mmsystem::ResetCard();
    }
    MIXERLINEA Line(DWORD dest, int source)
    {
        MIXERLINEA line{};
        line.cbStruct = sizeof(line);
        line.dwDestination = dest;
        line.dwSource = source < 0 ? 0 : static_cast<DWORD>(source);
        EXPECT_EQ(mixerGetLineInfoA(MixerObj(mixer), &line,
                                    MIXER_OBJECTF_HMIXER |
                                        (source < 0 ? MIXER_GETLINEINFOF_DESTINATION : MIXER_GETLINEINFOF_SOURCE)),
                  MMSYSERR_NOERROR);
        return line;
    }
    std::vector<MIXERCONTROLA> Controls(const MIXERLINEA& line)
    {
        std::vector<MIXERCONTROLA> c(line.cControls);
        MIXERLINECONTROLSA lc{};
        lc.cbStruct = sizeof(lc);
        lc.dwLineID = line.dwLineID;
        lc.cControls = line.cControls;
        lc.cbmxctrl = sizeof(MIXERCONTROLA);
        lc.pamxctrl = c.data();
        EXPECT_EQ(mixerGetLineControlsA(MixerObj(mixer), &lc, MIXER_GETLINECONTROLSF_ALL), MMSYSERR_NOERROR);
        return c;
    }
    HMIXER mixer = nullptr;
};

TEST_F(MixerApi, DefaultCardRecordsTheMixOnItemSevenAndStartUpLevelMissesIt)
{
    ASSERT_EQ(mixerGetNumDevs(), 1u);
    ASSERT_EQ(mixerOpen(&mixer, 0, 0, 0, 0), MMSYSERR_NOERROR);
    MIXERCAPSA caps{};
    ASSERT_EQ(mixerGetDevCapsA(0, &caps, sizeof(caps)), MMSYSERR_NOERROR);
    EXPECT_EQ(caps.cDestinations, 2u);
    EXPECT_EQ(std::string(Line(0, -1).szName), "Speakers");

    // The wave-in destination, found by type as a client finds it.
    MIXERLINEA rec{};
    rec.cbStruct = sizeof(rec);
    rec.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
    ASSERT_EQ(mixerGetLineInfoA(MixerObj(mixer), &rec, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_COMPONENTTYPE),
              MMSYSERR_NOERROR);
    EXPECT_EQ(rec.dwDestination, 1u);
    EXPECT_EQ(std::string(rec.szName), "Recording Control");
    const auto controls = Controls(rec);
    ASSERT_EQ(controls.size(), 1u);
    const MIXERCONTROLA& mux = controls[0];
    EXPECT_EQ(mux.dwControlType, MIXERCONTROL_CONTROLTYPE_MUX);
    ASSERT_GE(mux.cMultipleItems, 7u);
    std::vector<MIXERCONTROLDETAILS_LISTTEXTA> texts(mux.cMultipleItems);
    MIXERCONTROLDETAILS d{};
    d.cbStruct = sizeof(d);
    d.dwControlID = mux.dwControlID;
    d.cChannels = 1;
    d.cMultipleItems = mux.cMultipleItems;
    d.cbDetails = sizeof(MIXERCONTROLDETAILS_LISTTEXTA);
    d.paDetails = texts.data();
    ASSERT_EQ(mixerGetControlDetailsA(MixerObj(mixer), &d, MIXER_GETCONTROLDETAILSF_LISTTEXT), MMSYSERR_NOERROR);
    EXPECT_EQ(std::string(texts[6].szName), mmsystem::StereoMixName);
    // Source position 1 is an input of its own, with volume and mute, and not the mix.
    const MIXERLINEA source1 = Line(1, 1);
    EXPECT_NE(std::string(source1.szName), mmsystem::StereoMixName);
    const auto sc = Controls(source1);
    ASSERT_EQ(sc.size(), 2u);
    EXPECT_EQ(sc[0].dwControlType, MIXERCONTROL_CONTROLTYPE_VOLUME);
    EXPECT_EQ(sc[1].dwControlType, MIXERCONTROL_CONTROLTYPE_MUTE);
    EXPECT_EQ(std::string(Line(1, 6).szName), mmsystem::StereoMixName);
}

TEST_F(MixerApi, WritesAreCheckedStoredAndAnnouncedToOpenWindows)
{
    std::vector<std::pair<WPARAM, LPARAM>> changes;
    THiddenWindow window([&](UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == MM_MIXM_CONTROL_CHANGE)
            changes.emplace_back(wp, lp);
    });
    ASSERT_EQ(mixerOpen(&mixer, 0, reinterpret_cast<DWORD_PTR>(&window), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    const auto volume = Controls(Line(1, 1))[0];
    int32_t values[2] = {35000, 1000};
    MIXERCONTROLDETAILS d{};
    d.cbStruct = sizeof(d);
    d.dwControlID = volume.dwControlID;
    d.cChannels = 2;
    d.cbDetails = 4;
    d.paDetails = values;
    d.cChannels = 3;
    EXPECT_EQ(mixerSetControlDetails(MixerObj(mixer), &d, 0), MMSYSERR_INVALPARAM);
    d.cChannels = 2;
    ASSERT_EQ(mixerSetControlDetails(MixerObj(mixer), &d, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(mmsystem::ControlValues(0, 1, 1, 0), (std::vector<int32_t>{35000, 1000}));
    // One channel given for a two-channel control sets both alike.
    d.cChannels = 1;
    values[0] = 7;
    ASSERT_EQ(mixerSetControlDetails(MixerObj(mixer), &d, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(mmsystem::ControlValues(0, 1, 1, 0), (std::vector<int32_t>{7, 7}));
    d.dwControlID = 9999;
    EXPECT_EQ(mixerSetControlDetails(MixerObj(mixer), &d, 0), MIXERR_INVALCONTROL);
    EXPECT_EQ(mixerSetControlDetails(12345, &d, MIXER_OBJECTF_HMIXER), MMSYSERR_INVALHANDLE);
    ProcessMessages();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].first, reinterpret_cast<WPARAM>(mixer));
    EXPECT_EQ(changes[0].second, static_cast<LPARAM>(volume.dwControlID));
    ASSERT_EQ(mixerClose(mixer), MMSYSERR_NOERROR);
    EXPECT_EQ(mixerClose(mixer), MMSYSERR_INVALHANDLE);
    mixer = nullptr;
}

TEST_F(MixerApi, InstalledLayoutsAndDeviceNumbers)
{
    mmsystem::CardLayout one;
    one.Destinations.push_back({mmsystem::CardLine{"Out", MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, 1, {}}, {}});
    mmsystem::InstallLayout(one, 3);
    EXPECT_EQ(mixerGetNumDevs(), 3u);
    EXPECT_EQ(mixerOpen(&mixer, 3, 0, 0, 0), MMSYSERR_BADDEVICEID);
    ASSERT_EQ(mixerOpen(&mixer, 2, 0, 0, 0), MMSYSERR_NOERROR);
    MIXERCAPSA caps{};
    ASSERT_EQ(mixerGetDevCapsA(reinterpret_cast<UINT_PTR>(mixer), &caps, sizeof(caps)), MMSYSERR_NOERROR);
    EXPECT_EQ(std::string(caps.szPname), "DuoDeck Virtual Card 3");
    EXPECT_EQ(caps.cDestinations, 1u);
    MIXERLINEA line{};
    line.cbStruct = sizeof(line);
    line.dwDestination = 1;
    EXPECT_EQ(mixerGetLineInfoA(MixerObj(mixer), &line, MIXER_GETLINEINFOF_DESTINATION), MIXERR_INVALLINE);
    mixerClose(mixer);
    mixer = nullptr;
    mmsystem::InstallLayout(one, 0);
    EXPECT_EQ(mixerGetNumDevs(), 0u);
    EXPECT_EQ(mixerOpen(&mixer, 0, 0, 0, 0), MMSYSERR_BADDEVICEID);
}

} // namespace
