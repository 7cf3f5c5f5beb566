#include "mixer/MxDSMixer.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Counts device creations by standing in front of the real entry point.
int gCreates = 0;
DirectSoundCreateProc gRealCreate = nullptr;
HRESULT CountingCreate(const GUID* guid, IDirectSound** ds, void* outer)
{
    ++gCreates;
    return gRealCreate(guid, ds, outer);
}

class OutputMixer : public ::testing::Test {
protected:
    void SetUp() override
    {
        MxDSMixerInitialize();
        gRealCreate = DSoundLibrary().DirectSoundCreate;
        ASSERT_NE(gRealCreate, nullptr);
        DSoundLibrary().DirectSoundCreate = &CountingCreate;
        gCreates = 0;
    }
    void TearDown() override { DSoundLibrary().DirectSoundCreate = gRealCreate; }
};

} // namespace

TEST_F(OutputMixer, DeviceListsStartWithTheDefaultDeviceWithoutGuid)
{
    ASSERT_FALSE(DSDeviceNames().empty());
    ASSERT_EQ(DSDeviceNames().size(), DSDeviceGuids().size());
    EXPECT_EQ(DSDeviceGuids()[0], "");
    for (size_t i = 1; i < DSDeviceGuids().size(); ++i) {
        GUID g;
        EXPECT_TRUE(StringToGuid(DSDeviceGuids()[i].c_str(), g)) << DSDeviceGuids()[i];
        EXPECT_EQ(DSDeviceGuids()[i].size(), 38u);
    }
}

TEST_F(OutputMixer, CreatedAndDestroyedWithoutABufferNeverTouchesTheDevice)
{
    {
        TMxDSMixer mixer(nullptr);
        EXPECT_FALSE(mixer.IsOpen());
    }
    EXPECT_EQ(gCreates, 0);
}

TEST_F(OutputMixer, PropertyClampsAndIgnoredDeviceIndexes)
{
    TMxDSMixer mixer(nullptr);
    mixer.SetFrequency(50);
    EXPECT_EQ(mixer.Frequency(), 100);
    mixer.SetFrequency(250000);
    EXPECT_EQ(mixer.Frequency(), 100000);
    mixer.SetFrequency(48000);
    EXPECT_EQ(mixer.Frequency(), 48000);

    EXPECT_EQ(mixer.DeviceIndex(), 0);
    mixer.SetDeviceIndex(-1);
    EXPECT_EQ(mixer.DeviceIndex(), 0);
    mixer.SetDeviceIndex(static_cast<int>(DSDeviceGuids().size()));
    EXPECT_EQ(mixer.DeviceIndex(), 0);
    mixer.SetSpeakerConfig(DSSPEAKER_HEADPHONE); // closed: just stored
    EXPECT_EQ(mixer.SpeakerConfig(), DSSPEAKER_HEADPHONE);
}

TEST_F(OutputMixer, OpensOnceAndReopensAfterClose)
{
    TMxDSMixer mixer(nullptr);
    auto ds = mixer.GetDirectSound();
    ASSERT_TRUE(ds);
    mixer.GetDirectSound();
    mixer.Open();
    EXPECT_EQ(gCreates, 1);
    mixer.Close();
    EXPECT_FALSE(mixer.IsOpen());
    mixer.Open();
    EXPECT_EQ(gCreates, 2);
}

TEST_F(OutputMixer, NormalLevelKeepsTheWrittenFormatOthersTakeTheDevicesFormat)
{
    TMxDSMixer normal(nullptr);
    normal.SetLevel(lNormal);
    normal.SetFrequency(100);
    normal.SetStereo(false);
    normal.SetBitsPerSample(bs8Bit);
    normal.Open();
    EXPECT_EQ(normal.Frequency(), 100);
    EXPECT_FALSE(normal.Stereo());
    EXPECT_EQ(normal.BitsPerSample(), bs8Bit);

    for (TSndLevel level : {lPriority, lExclusive}) {
        TMxDSMixer mixer(nullptr);
        mixer.SetLevel(level);
        mixer.SetFrequency(48000);
        mixer.Open();
        // Whatever the device took, the mixer now reports it.
        auto ds = mixer.GetDirectSound();
        DSBUFFERDESC desc{};
        desc.dwSize = sizeof(desc);
        desc.dwFlags = DSBCAPS_PRIMARYBUFFER;
        ComPtr<IDirectSoundBuffer> primary;
        ASSERT_EQ(ds->CreateSoundBuffer(&desc, primary.Put(), nullptr), DS_OK);
        WAVEFORMATEX f{};
        ASSERT_EQ(primary->GetFormat(&f, sizeof(f), nullptr), DS_OK);
        EXPECT_EQ(mixer.Frequency(), static_cast<int>(f.nSamplesPerSec));
        EXPECT_EQ(mixer.Stereo(), f.nChannels == 2);
        EXPECT_EQ(mixer.BitsPerSample(), f.wBitsPerSample == 16 ? bs16Bit : bs8Bit);
    }
}

TEST_F(OutputMixer, MissingEntryPointIsReportedOnOpen)
{
    DSoundLibrary().DirectSoundCreate = nullptr;
    TMxDSMixer mixer(nullptr);
    try {
        mixer.Open();
        FAIL() << "Open must raise";
    } catch (const EDirectXError& e) {
        EXPECT_EQ(e.Message(), "DirectSoundCreate pointer not assigned.");
        EXPECT_EQ(e.ErrorCode(), 0u);
    }
    EXPECT_FALSE(mixer.IsOpen());
}

TEST(DXCheck, RaisesForEveryNonZeroCodeWithTheTableText)
{
    EXPECT_NO_THROW(DXCheck(DS_OK));
    try {
        DXCheck(DSERR_BUFFERLOST);
        FAIL();
    } catch (const EDirectXError& e) {
        EXPECT_EQ(e.ErrorCode(), 0x88780096u);
        EXPECT_EQ(e.Message(), "The buffer memory has been lost and must be restored.");
    }
    // A success code other than 0 raises too.
    EXPECT_THROW(DXCheck(1), EDirectXError);
    EXPECT_STREQ(DirectSoundErrorText(1), "Unrecognized Error");
    EXPECT_STREQ(DirectSoundErrorText(DSERR_INVALIDPARAM),
                 "An invalid parameter was passed to the returning function.");
    // The memory message carries the acute accent, U+00B4, in UTF-8.
    EXPECT_NE(std::strstr(DirectSoundErrorText(DSERR_OUTOFMEMORY), "caller\xC2\xB4s request."), nullptr);
    EXPECT_STREQ(DirectSoundErrorText(DSERR_OBJECTNOTFOUND),
                 "The object requested was not found (numerically equal to DMUS_E_NOT_FOUND).");
}
