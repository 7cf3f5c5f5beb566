// Wave-in capture from the virtual card on the manual sound backend: what the test renders is what
// the queued buffers receive, in order, with the input's selection and level applied.
#include "platform/mmsystem/MMSystem.h"
#include "platform/mmsystem/VirtualCard.h"
#include "platform/kernel/TimeScale.h"
#include "platform/ui/HiddenWindow.h"
#include "tests/engine/engine_helpers.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>
#include <samplerate.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

class CaptureTest : public dstest::ManualDevice {
protected:
    void SetUp() override
    {
        dstest::ManualDevice::SetUp();
        mmsystem::ResetCard();
        window = std::make_unique<THiddenWindow>([this](UINT msg, WPARAM, LPARAM lp) {
            if (msg == MM_WIM_DATA)
                done.push_back(reinterpret_cast<WAVEHDR*>(lp));
        });
    }
    void TearDown() override
    {
        if (in) {
            waveInReset(in);
            waveInClose(in);
        }
        window.reset();
        mmsystem::ResetCard();
        dstest::ManualDevice::TearDown();
    }

    void Open(DWORD rate, WORD channels = 2, WORD bits = 16)
    {
        format = dstest::Pcm(rate, channels, bits);
        ASSERT_EQ(
            waveInOpen(&in, 0, &format, reinterpret_cast<DWORD_PTR>(window.get()), 0, CALLBACK_WINDOW | WAVE_MAPPED),
            MMSYSERR_NOERROR);
    }
    void Queue(int buffers, DWORD frames)
    {
        for (int i = 0; i < buffers; ++i) {
            memory.emplace_back(frames * format.nBlockAlign);
            auto h = std::make_unique<WAVEHDR>();
            h->lpData = reinterpret_cast<LPSTR>(memory.back().data());
            h->dwBufferLength = frames * format.nBlockAlign;
            ASSERT_EQ(waveInPrepareHeader(in, h.get(), sizeof(WAVEHDR)), MMSYSERR_NOERROR);
            ASSERT_EQ(waveInAddBuffer(in, h.get(), sizeof(WAVEHDR)), MMSYSERR_NOERROR);
            headers.push_back(std::move(h));
        }
    }
    // Renders `frames` frames in engine-sized blocks, the capture taking each in as it comes.
    std::vector<int16_t> Render(int frames)
    {
        std::vector<int16_t> out;
        for (int doneFrames = 0; doneFrames < frames; doneFrames += 441) {
            auto part = engine::Engine::PullS16(static_cast<uint32_t>(std::min(441, frames - doneFrames)));
            out.insert(out.end(), part.begin(), part.end());
            mmsystem::DrainCapture();
        }
        ProcessMessages();
        return out;
    }
    std::vector<int16_t> Captured(const WAVEHDR* h)
    {
        const auto* s = reinterpret_cast<const int16_t*>(h->lpData);
        return std::vector<int16_t>(s, s + h->dwBytesRecorded / 2);
    }

    WAVEFORMATEX format{};
    HWAVEIN in = nullptr;
    std::unique_ptr<THiddenWindow> window;
    std::vector<std::vector<uint8_t>> memory;
    std::vector<std::unique_ptr<WAVEHDR>> headers;
    std::vector<WAVEHDR*> done;
};

TEST_F(CaptureTest, AtTheOutputRateBuffersHoldExactlyWhatWasRenderedAndStopHandsBackThePartOne)
{
    auto song = Playing(testsupport::NoiseS16(30000, 2, 3), 44100, 2);
    Open(44100);
    Queue(3, 4410);
    Render(1000); // before the start: not captured
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    const auto rendered = Render(10000);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0], headers[0].get());
    EXPECT_TRUE(done[0]->dwFlags & WHDR_DONE);
    EXPECT_FALSE(done[0]->dwFlags & WHDR_INQUEUE);
    auto got = Captured(done[0]);
    auto second = Captured(done[1]);
    got.insert(got.end(), second.begin(), second.end());
    ASSERT_EQ(got.size(), 8820u * 2);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), rendered.begin()));

    // The buffer being filled comes back with what it has; a fourth, empty one would stay queued.
    Queue(1, 4410);
    ASSERT_EQ(waveInStop(in), MMSYSERR_NOERROR);
    ProcessMessages();
    ASSERT_EQ(done.size(), 3u);
    EXPECT_EQ(done[2]->dwBytesRecorded, (10000u - 8820u) * 4);
    EXPECT_TRUE(std::equal(rendered.begin() + 8820 * 2, rendered.end(), Captured(done[2]).begin()));
    EXPECT_EQ(waveInClose(in), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveInUnprepareHeader(in, headers[3].get(), sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    ProcessMessages();
    ASSERT_EQ(done.size(), 4u);
    EXPECT_EQ(done[3]->dwBytesRecorded, 0u);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    in = nullptr;
}

TEST_F(CaptureTest, StoppedTimeIsLeftOutAndCaptureGoesOnSeamlessly)
{
    auto song = Playing(testsupport::NoiseS16(30000, 2, 5), 44100, 2);
    Open(44100);
    Queue(1, 6000);
    waveInStart(in);
    const auto a = Render(2000);
    waveInStop(in); // hands back the 2000 frames
    Render(3000);
    ProcessMessages();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0]->dwBytesRecorded, 2000u * 4);
    done.clear();
    waveInAddBuffer(in, headers[0].get(), sizeof(WAVEHDR));
    waveInStart(in);
    const auto c = Render(6000);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_TRUE(std::equal(c.begin(), c.end(), Captured(done[0]).begin()));
}

TEST_F(CaptureTest, At48kHzTheCaptureIsTheRenderedMixResampled)
{
    auto song = Playing(testsupport::SineS16(44100, 44100, 2, 1000.0, 12000), 44100, 2);
    Open(48000);
    Queue(2, 24000);
    waveInStart(in);
    const auto rendered = Render(44100);
    ASSERT_EQ(done.size(), 1u); // 48000 frames need the whole second plus the converter's look-ahead
    waveInStop(in);
    ProcessMessages();
    ASSERT_EQ(done.size(), 2u);
    auto got = Captured(done[0]);
    auto rest = Captured(done[1]);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_GT(got.size(), 47900u * 2);

    // The same conversion of the whole rendered block in one go, compared sample for sample.
    std::vector<float> inF(rendered.size()), outF(50000 * 2);
    src_short_to_float_array(rendered.data(), inF.data(), static_cast<int>(inF.size()));
    SRC_DATA d{};
    d.data_in = inF.data();
    d.input_frames = 44100;
    d.data_out = outF.data();
    d.output_frames = 50000;
    d.src_ratio = 48000.0 / 44100.0;
    ASSERT_EQ(src_simple(&d, SRC_SINC_FASTEST, 2), 0);
    int worst = 0;
    for (size_t i = 0; i < got.size(); ++i)
        worst = std::max(worst, std::abs(int(got[i]) - int(std::lrint(outF[i] * 32768.0f))));
    EXPECT_LE(worst, 2);
    std::vector<float> gotF(got.size());
    src_short_to_float_array(got.data(), gotF.data(), static_cast<int>(got.size()));
    EXPECT_NEAR(testsupport::ZeroCrossingHz(gotF, 2, 0, 48000), 1000.0, 5.0);
}

TEST_F(CaptureTest, SelectionVolumeAndMuteOfTheRecordingInputApply)
{
    auto song = Playing(std::vector<int16_t>(8820, 16000), 44100, 2);
    Open(44100);
    Queue(4, 441);
    waveInStart(in);
    HMIXER mixer = nullptr;
    ASSERT_EQ(mixerOpen(&mixer, 0, 0, 0, 0), MMSYSERR_NOERROR);
    const auto control = [&](int source, DWORD type) {
        MIXERLINEA line{};
        line.cbStruct = sizeof(line);
        line.dwDestination = 1;
        line.dwSource = static_cast<DWORD>(source);
        EXPECT_EQ(mixerGetLineInfoA(MixerObj(mixer), &line,
                                    source < 0 ? MIXER_GETLINEINFOF_DESTINATION : MIXER_GETLINEINFOF_SOURCE),
                  MMSYSERR_NOERROR);
        MIXERCONTROLA c{};
        MIXERLINECONTROLSA lc{};
        lc.cbStruct = sizeof(lc);
        lc.dwLineID = line.dwLineID;
        lc.dwControlType = type;
        lc.cControls = 1;
        lc.cbmxctrl = sizeof(c);
        lc.pamxctrl = &c;
        EXPECT_EQ(mixerGetLineControlsA(MixerObj(mixer), &lc, MIXER_GETLINECONTROLSF_ONEBYTYPE), MMSYSERR_NOERROR);
        return c;
    };
    const auto set = [&](const MIXERCONTROLA& c, std::vector<int32_t> values, DWORD channels) {
        MIXERCONTROLDETAILS d{};
        d.cbStruct = sizeof(d);
        d.dwControlID = c.dwControlID;
        d.cChannels = channels;
        d.cMultipleItems = c.cMultipleItems;
        d.cbDetails = 4;
        d.paDetails = values.data();
        EXPECT_EQ(mixerSetControlDetails(MixerObj(mixer), &d, 0), MMSYSERR_NOERROR);
    };
    Render(441);
    set(control(6, MIXERCONTROL_CONTROLTYPE_VOLUME), {65535, 0}, 2);
    Render(441);
    set(control(6, MIXERCONTROL_CONTROLTYPE_MUTE), {1}, 1);
    Render(441);
    set(control(-1, MIXERCONTROL_CONTROLTYPE_MUX), {0, 1, 0, 0, 0, 0, 0}, 1); // "Microphone"
    set(control(6, MIXERCONTROL_CONTROLTYPE_MUTE), {0}, 1);
    Render(441);
    ASSERT_EQ(done.size(), 4u);
    const auto frame = [&](int buffer) {
        return std::make_pair(Captured(done[buffer])[200], Captured(done[buffer])[201]);
    };
    EXPECT_EQ(frame(0), std::make_pair(int16_t(16000), int16_t(16000)));
    EXPECT_EQ(frame(1), std::make_pair(int16_t(16000), int16_t(0)));
    EXPECT_EQ(frame(2), std::make_pair(int16_t(0), int16_t(0)));
    EXPECT_EQ(frame(3), std::make_pair(int16_t(0), int16_t(0)));
    mixerClose(mixer);
}

TEST_F(CaptureTest, OpenRefusesBadFormatsASecondDeviceAndUnknownIds)
{
    WAVEFORMATEX bad = dstest::Pcm(44100, 2, 24);
    HWAVEIN h = nullptr;
    EXPECT_EQ(waveInOpen(&h, 0, &bad, 0, 0, 0), WAVERR_BADFORMAT);
    bad = dstest::Pcm(44100, 3, 16);
    EXPECT_EQ(waveInOpen(&h, 0, &bad, 0, 0, 0), WAVERR_BADFORMAT);
    WAVEFORMATEX good = dstest::Pcm(8000, 1, 8);
    EXPECT_EQ(waveInOpen(&h, 1, &good, 0, 0, 0), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveInOpen(&h, 0, &good, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    Open(8000, 1, 8);
    EXPECT_EQ(waveInOpen(&h, WAVE_MAPPER, &good, 0, 0, 0), MMSYSERR_ALLOCATED);
    char text[MAXERRORLENGTH];
    EXPECT_EQ(waveInGetErrorTextA(MMSYSERR_ALLOCATED, text, sizeof(text)), MMSYSERR_NOERROR);
    EXPECT_STREQ(text, "The specified device is already in use.");
    EXPECT_EQ(waveInGetErrorTextA(12345, text, sizeof(text)), MMSYSERR_BADERRNUM);
    WAVEHDR unprepared{};
    std::vector<char> data(100);
    unprepared.lpData = data.data();
    unprepared.dwBufferLength = 100;
    EXPECT_EQ(waveInAddBuffer(in, &unprepared, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
}

} // namespace

namespace {

// Without a playing device the input starts the sound output itself, and buffers come back at the
// output's pace: never faster than real time (scaled here), whatever the load of the machine.
TEST(WaveInPace, CaptureRunsAtTheSilentOutputsRealTimePace)
{
    setenv("DUODECK_AUDIO_BACKEND", "null", 1);
    engine::Engine::Reset();
    mmsystem::ResetCard();
    timescale::Scope fast(50);
    std::vector<WAVEHDR*> done;
    THiddenWindow window([&](UINT msg, WPARAM, LPARAM lp) {
        if (msg == MM_WIM_DATA)
            done.push_back(reinterpret_cast<WAVEHDR*>(lp));
    });
    WAVEFORMATEX format = dstest::Pcm(48000, 2, 16);
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveInOpen(&in, 0, &format, reinterpret_cast<DWORD_PTR>(&window), 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    EXPECT_EQ(engine::Engine::Instance().BackendName(), "null");
    std::vector<std::vector<uint8_t>> memory(3, std::vector<uint8_t>(48000 * 4 / 10)); // 100 ms each
    std::vector<WAVEHDR> headers(3);
    for (size_t i = 0; i < 3; ++i) {
        headers[i].lpData = reinterpret_cast<LPSTR>(memory[i].data());
        headers[i].dwBufferLength = static_cast<DWORD>(memory[i].size());
        waveInPrepareHeader(in, &headers[i], sizeof(WAVEHDR));
        waveInAddBuffer(in, &headers[i], sizeof(WAVEHDR));
    }
    const auto start = std::chrono::steady_clock::now();
    waveInStart(in);
    while (done.size() < 3 && std::chrono::steady_clock::now() - start < std::chrono::seconds(10))
        ProcessMessages();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(done.size(), 3u);
    EXPECT_EQ(done[2]->dwBytesRecorded, 48000u * 4 / 10);
    // 300 ms of program time take at least 6 ms at scale 50 (less a period of slack).
    EXPECT_GE(elapsed, std::chrono::microseconds(5000));
    waveInReset(in);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    engine::Engine::Reset();
}

} // namespace
