// The wave device component: its format settings and buffers, the mixer line table it reads at
// construction, and its handling of a recorded buffer.
#include "platform/mmsystem/VirtualCard.h"
#include "record/Audio.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

class AudioComponent : public ::testing::Test {
protected:
    void SetUp() override { mmsystem::ResetCard(); }
    void TearDown() override { mmsystem::ResetCard(); }
};

TEST_F(AudioComponent, ConstructionReadsTheLineTableAndPreparesBothSides)
{
    TAudio audio;
    EXPECT_EQ(audio.AudioDeviceID(), -1);
    EXPECT_EQ(audio.MixerDeviceID(), 0);
    EXPECT_EQ(audio.Version(), "");
    EXPECT_EQ(audio.ErrorText(), "");
    EXPECT_EQ(audio.Recorder()->TrigLevel, 0);
    EXPECT_FALSE(audio.Recorder()->Triggered);
    for (TAudioSettings* side :
         {static_cast<TAudioSettings*>(audio.Player()), static_cast<TAudioSettings*>(audio.Recorder())}) {
        ASSERT_TRUE(side->Allocated());
        EXPECT_EQ(side->WaveFormat()->nSamplesPerSec, 11025u);
        EXPECT_EQ(side->WaveFormat()->nBlockAlign, 1);
        EXPECT_EQ(side->BufferSize(), 8192u);
        EXPECT_EQ(side->Header(7)->dwBufferLength, 8192u);
    }

    // Device, "Speakers", its "Wave", "Recording Control", its seven inputs.
    const auto& lines = audio.MixerSettings()->Lines();
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[0].Destination, -1);
    EXPECT_EQ(lines[0].SourcePlus1, -1);
    EXPECT_EQ(lines[0].Name, "DuoDeck Virtual Card");
    EXPECT_EQ(lines[3].Name, "Recording Control");
    EXPECT_EQ(lines[3].Destination, 1);
    EXPECT_EQ(lines[3].SourcePlus1, 0);
    EXPECT_EQ(lines[10].Name, mmsystem::StereoMixName);
    EXPECT_EQ(lines[10].SourcePlus1, 7);
    EXPECT_TRUE(lines[10].Filled);
    EXPECT_EQ(lines[10].Left, 65535);
    EXPECT_EQ(lines[10].Right, 65535);
    EXPECT_FALSE(lines[10].Muted);
    EXPECT_NE(lines[10].VolumeControl, lines[10].MuteControl);

    audio.MixerSettings()->SelectRecordSource(2);
    EXPECT_EQ(mmsystem::ControlValues(0, 1, -1, 0), (std::vector<int32_t>{0, 1, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(audio.MixerSettings()->ReadMixerLines(3));
}

TEST_F(AudioComponent, SettingsApplyToOneSideOrBoth)
{
    TAudio audio;
    audio.SetAudioDeviceID(12);
    EXPECT_EQ(audio.AudioDeviceID(), -1);
    audio.SetVersion("anything");
    EXPECT_EQ(audio.Version(), "3.1 (32bit)");
    audio.Recorder()->SetSplitChannels(true);
    EXPECT_FALSE(audio.Recorder()->SplitChannels());

    audio.Player()->SetSampleRate(22050);
    EXPECT_EQ(audio.Recorder()->SampleRate(), 22050);
    EXPECT_EQ(audio.Recorder()->WaveFormat()->nSamplesPerSec, 22050u);
    audio.Recorder()->SetChannels(TChannels::Stereo);
    audio.Recorder()->SetBitsPerSample(TBPS::_16);
    audio.Recorder()->SetSplitChannels(true);
    EXPECT_TRUE(audio.Recorder()->SplitChannels());
    EXPECT_EQ(audio.Player()->WaveFormat()->nAvgBytesPerSec, 22050u * 4);
    EXPECT_EQ(audio.Player()->BufferSize(), 8192u * 4);

    audio.SeparateCtrls = true;
    audio.Player()->SetChannels(TChannels::Mono);
    EXPECT_EQ(audio.Recorder()->Channels(), TChannels::Stereo);
    EXPECT_EQ(audio.Player()->WaveFormat()->nBlockAlign, 2);
    audio.Recorder()->SetNoSamples(100); // always both sides
    EXPECT_EQ(audio.Player()->BufferSize(), 200u);
    EXPECT_EQ(audio.Recorder()->BufferSize(), 400u);
    // Back to mono through the recorder: splitting is switched off.
    audio.Recorder()->SetChannels(TChannels::Mono);
    EXPECT_FALSE(audio.Recorder()->SplitChannels());
}

TEST_F(AudioComponent, WithoutAWaveInDeviceNoBuffersAreAllocated)
{
    mmsystem::SetWaveInDevices(0);
    TAudio audio;
    EXPECT_FALSE(audio.Recorder()->Allocated());
    EXPECT_FALSE(audio.Player()->Allocated());
}

TEST_F(AudioComponent, RecordedBuffersWaitForTheTriggerAndSplitIntoLeftAndRight)
{
    TAudio audio;
    TRecorder& rec = *audio.Recorder();
    rec.SetChannels(TChannels::Stereo);
    rec.SetBitsPerSample(TBPS::_16);
    rec.SetSplitChannels(true);
    rec.TrigLevel = 1000;
    std::vector<std::pair<std::vector<int16_t>, std::vector<int16_t>>> got;
    audio.OnRecord = [&](TAudio* sender, void* lp, void* rp, uint16_t size) {
        EXPECT_EQ(sender, &audio);
        const auto* l = static_cast<int16_t*>(lp);
        const auto* r = static_cast<int16_t*>(rp);
        got.emplace_back(std::vector<int16_t>(l, l + size / 2), std::vector<int16_t>(r, r + size / 2));
    };
    const auto deliver = [&](std::vector<int16_t> samples) {
        WAVEHDR* h = rec.Header(rec.CompletionIndex());
        if (!samples.empty())
            std::memcpy(h->lpData, samples.data(), samples.size() * 2);
        h->dwBytesRecorded = static_cast<DWORD>(samples.size() * 2);
        audio.WndProc(MM_WIM_DATA, 0, reinterpret_cast<LPARAM>(h));
    };
    deliver({10, -5000, 999, 20});
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(rec.CompletionIndex(), 1);
    deliver({});
    EXPECT_EQ(rec.CompletionIndex(), 1); // an empty buffer changes nothing
    deliver({1, 2, 3, 1001, 5, 6});
    EXPECT_TRUE(rec.Triggered);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].first, (std::vector<int16_t>{1, 3, 5}));
    EXPECT_EQ(got[0].second, (std::vector<int16_t>{2, 1001, 6}));
    deliver({7, 8});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(rec.CompletionIndex(), 3);

    audio.WndProc(MM_WIM_OPEN, 0, 0);
    EXPECT_TRUE(rec.Open());
    audio.WndProc(MM_WIM_CLOSE, 0, 0);
    EXPECT_FALSE(rec.Open());
}

} // namespace
