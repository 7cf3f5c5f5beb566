// The recorder against the virtual card: the manual sound backend plays a known signal, the test
// renders it block by block, and the recorder's outputs are compared with what was rendered.
#include "platform/output/Loopback.h"
#include "platform/mmsystem/VirtualCard.h"
#include "platform/ui/ErrorDisplay.h"
#include "record/AudioRecord.h"
#include "tests/engine/engine_helpers.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <QCoreApplication>

#include <cmath>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

struct Decoded {
    int Rate = 0;
    int Channels = 0;
    std::vector<float> Samples;
    double Seconds() const { return Channels ? double(Samples.size()) / Channels / Rate : 0; }
};

Decoded Decode(const fs::path& file)
{
    SF_INFO info{};
    SNDFILE* sf = sf_open(file.c_str(), SFM_READ, &info);
    if (!sf)
        return {};
    Decoded d{info.samplerate, info.channels, {}};
    std::vector<float> block(4096 * static_cast<size_t>(info.channels));
    sf_count_t n;
    while ((n = sf_readf_float(sf, block.data(), 4096)) > 0)
        d.Samples.insert(d.Samples.end(), block.begin(), block.begin() + n * info.channels);
    sf_close(sf);
    return d;
}

std::vector<float> Slice(const Decoded& d, double from, double to)
{
    return {d.Samples.begin() + static_cast<long>(from * d.Rate) * d.Channels,
            d.Samples.begin() + static_cast<long>(to * d.Rate) * d.Channels};
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

// Three tones that no lag but 0 lines up: the 48 kHz capture is compared with the rendered mix by
// cross-correlation against a linear interpolation of it (the converter itself is checked sample by
// sample in the card's own tests).
std::vector<int16_t> ThreeTones(int frames)
{
    std::vector<int16_t> s(static_cast<size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        const double t = double(i) / 44100;
        const double v =
            5000 * (std::sin(2 * M_PI * 220 * t) + std::sin(2 * M_PI * 1330 * t) + std::sin(2 * M_PI * 3170 * t));
        s[2 * i] = static_cast<int16_t>(v);
        s[2 * i + 1] = static_cast<int16_t>(-v);
    }
    return s;
}

class Recorder : public dstest::ManualDevice {
protected:
    void SetUp() override
    {
        dstest::ManualDevice::SetUp();
        mmsystem::ResetCard();
        rec = std::make_unique<TAudioRecord>();
        rec->OnData = [this](void*, int64_t count) { reports.push_back(count); };
        rec->FileName = (dir.path() / "tem").string();
        oldAsk = SetOverwriteQuestion([this](const std::string& caption, const std::string& text) {
            questions.push_back(caption + "|" + text);
            return answer;
        });
        oldDisplay = SetErrorDisplay([this](const std::string& m) { errors.push_back(m); });
    }
    void TearDown() override
    {
        rec.reset();
        SetOverwriteQuestion(oldAsk);
        SetErrorDisplay(oldDisplay);
        song.Reset();
        mmsystem::ResetCard();
        dstest::ManualDevice::TearDown();
    }
    void Play(const std::vector<int16_t>& samples) { song = Playing(samples, 44100, 2); }
    void MainWindowSettings()
    {
        rec->SetRecSamplesPerSec(TSamplesPerSec::s48K);
        rec->Mp3VBRQuality = LVBRQUALITY::v6;
        rec->OutType = TOutType::Mp3FileStream;
    }
    // Renders `frames` frames of the mix; the capture takes each block in and its messages are handled.
    std::vector<int16_t> Render(int frames)
    {
        std::vector<int16_t> out;
        for (int done = 0; done < frames; done += 2205) {
            auto part = engine::Engine::PullS16(static_cast<uint32_t>(std::min(2205, frames - done)));
            out.insert(out.end(), part.begin(), part.end());
            mmsystem::DrainCapture();
            ProcessMessages();
        }
        return out;
    }
    std::vector<int16_t> WavData(const fs::path& file)
    {
        const auto bytes = testsupport::ReadBytes(file);
        std::vector<int16_t> s((bytes.size() - 44) / 2);
        std::memcpy(s.data(), bytes.data() + 44, s.size() * 2);
        return s;
    }

    testsupport::TempDir dir;
    ComPtr<IDirectSoundBuffer> song;
    std::unique_ptr<TAudioRecord> rec;
    std::vector<int64_t> reports;
    std::vector<std::string> questions, errors;
    bool answer = true;
    TAskYesNo oldAsk;
    ErrorDisplay oldDisplay;
};

TEST_F(Recorder, WavAt48kHoldsTheMixUpToStop)
{
    const auto mix = ThreeTones(44100 * 3);
    Play(mix);
    rec->SetRecSamplesPerSec(TSamplesPerSec::s48K);
    rec->OutType = TOutType::WAVFileStream;
    rec->Start();
    ASSERT_TRUE(rec->Active());
    const auto rendered = Render(44100 * 2 + 20000);
    rec->Stop();
    EXPECT_EQ(rec->BufferBytes(), 192000u);
    const fs::path file = dir.file("tem.wav");
    const auto bytes = testsupport::ReadBytes(file);
    // Two whole buffers and the part of a third, less what the rate converter still holds.
    EXPECT_NEAR((bytes.size() - 44) / 4.0, (44100 * 2 + 20000) * 48000.0 / 44100, 64);
    EXPECT_EQ(Le32(bytes, 4), bytes.size() - 8);
    EXPECT_EQ(Le32(bytes, 24), 48000u);
    EXPECT_EQ(Le32(bytes, 40), bytes.size() - 44);
    EXPECT_EQ((std::vector<int64_t>{44 + 192000, 44 + 2 * 192000, int64_t(bytes.size())}), reports);

    const auto got = WavData(file);
    const auto reference = [&](double frame, int ch) {
        const double at = frame * 44100.0 / 48000.0;
        const size_t i = static_cast<size_t>(at);
        const double f = at - i;
        return (1 - f) * rendered[2 * i + ch] + f * rendered[2 * (i + 1) + ch];
    };
    const auto correlation = [&](int lag) {
        double xy = 0, xx = 0, yy = 0;
        for (int n = 1000; n < 95000; ++n)
            for (int ch = 0; ch < 2; ++ch) {
                const double x = got[2 * n + ch], y = reference(n + lag, ch);
                xy += x * y, xx += x * x, yy += y * y;
            }
        return xy / std::sqrt(xx * yy);
    };
    EXPECT_GT(correlation(0), 0.999);
    for (int lag : {-3, -1, 1, 3})
        EXPECT_LT(correlation(lag), correlation(0)) << lag;
    double gotPower = 0, refPower = 0;
    for (int n = 1000; n < 95000; ++n)
        gotPower += double(got[2 * n]) * got[2 * n], refPower += reference(n, 0) * reference(n, 0);
    EXPECT_NEAR(std::sqrt(gotPower / refPower), 1.0, 0.01);
}

TEST_F(Recorder, PauseAndStopDeliverThePartBufferAndThePausedTimeIsLeftOut)
{
    Play(testsupport::NoiseS16(44100 * 2, 2, 9));
    rec->OutType = TOutType::WAVFileStream; // 44.1 kHz: no conversion, so the capture is exact
    rec->Start();
    const auto a = Render(30000);
    rec->Pause();
    EXPECT_TRUE(rec->isPause());
    ProcessMessages();
    ASSERT_EQ(reports.size(), 1u); // the part buffer, written at once
    EXPECT_EQ(reports[0], 44 + 30000 * 4);
    Render(20000);
    rec->Pause(); // already paused: nothing
    rec->Resume();
    EXPECT_FALSE(rec->isPause());
    // Stop keeps everything up to the click, also a buffer that the device completes only while
    // Stop takes in the last of the mix (rendered but not yet drained), and the part of the next.
    const auto c = Render(44100 * 2 - 1000);
    const auto d = engine::Engine::PullS16(1000 + 12345);
    rec->Stop();
    EXPECT_FALSE(rec->Active());
    auto want = a;
    want.insert(want.end(), c.begin(), c.end());
    want.insert(want.end(), d.begin(), d.end());
    EXPECT_EQ(WavData(dir.file("tem.wav")), want);
}

TEST_F(Recorder, Mp3FileDecodesToTheMixAndStopWhilePausedEndsNormally)
{
    Play(testsupport::SineS16(44100, 44100, 2, 1000, 12000));
    MainWindowSettings();
    rec->Start();
    EXPECT_EQ(EncoderConfig.format.LHV1.dwSampleRate, 48000u);
    EXPECT_EQ(EncoderConfig.format.LHV1.nVBRQuality, 6);
    Render(44100 * 3 + 10000); // the converter holds back a little of the input
    // A crash now: the file as it stands plays up to the last completed buffer.
    const fs::path file = dir.file("tem.Mp3");
    fs::copy_file(file, dir.file("crash.mp3"));
    rec->Pause();
    ProcessMessages(); // the part buffer comes back between the two clicks
    rec->Stop();
    EXPECT_FALSE(rec->isPause());
    ASSERT_EQ(reports.size(), 5u); // three seconds, the part buffer at Pause, the final size
    EXPECT_EQ(reports.back(), static_cast<int64_t>(fs::file_size(file)));

    const Decoded whole = Decode(file);
    ASSERT_EQ(whole.Rate, 48000);
    ASSERT_EQ(whole.Channels, 2);
    EXPECT_NEAR(whole.Seconds(), 3.0 + 10000 / 44100.0, 0.1);
    const auto middle = Slice(whole, 0.5, 2.5);
    EXPECT_NEAR(testsupport::ZeroCrossingHz(middle, 2, 0, 48000), 1000, 5);
    EXPECT_NEAR(testsupport::Rms(middle, 2, 0), 12000 / 32768.0 / std::sqrt(2.0), 0.02);
    const Decoded crash = Decode(dir.file("crash.mp3"));
    EXPECT_NEAR(crash.Seconds(), 3.0, 0.1);
}

TEST_F(Recorder, MemoryStreamBatchesAndReportsItselfAtStop)
{
    Play(testsupport::SineS16(44100, 44100, 2, 440));
    MainWindowSettings();
    rec->OutType = TOutType::Mp3MemoryStream;
    rec->SetEncBufferSize(1);
    std::vector<std::pair<TMemoryStream*, int64_t>> calls;
    rec->OnData = [&](void* data, int64_t count) {
        auto* stream = static_cast<TMemoryStream*>(data);
        calls.emplace_back(stream, count);
        EXPECT_EQ(stream->Size(), count);
    };
    rec->Start();
    Render(44100 * 3 + 1000);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].second, 0);               // staged
    EXPECT_GT(calls[1].second, 0);               // two buffers encoded
    EXPECT_EQ(calls[2].second, calls[1].second); // staged again
    rec->Stop();
    ASSERT_EQ(calls.size(), 5u);                               // the part buffer staged, then the final size
    EXPECT_NEAR(double(calls[4].second), 3 * 16000.0, 2000.0); // 128 kbit/s
}

TEST_F(Recorder, PropertiesMapAsStored)
{
    EXPECT_EQ(rec->RecBufferSize(), 4);
    EXPECT_EQ(rec->RecSamplesPerSec(), TSamplesPerSec::s44K);
    EXPECT_EQ(rec->WaveFormat().nAvgBytesPerSec, 176400u);
    EXPECT_EQ(rec->Mp3VBRQuality, LVBRQUALITY::v4);
    EXPECT_EQ(rec->OutType, TOutType::WAVBuffer);
    rec->SetRecBufferSize(9);
    EXPECT_EQ(rec->RecBufferSize(), 8);
    rec->SetEncBufferSize(7);
    EXPECT_EQ(rec->EncBufferSize(), 5);
    rec->SetRecSamplesPerSec(TSamplesPerSec::s8K);
    EXPECT_EQ(rec->RecSamplesPerSec(), TSamplesPerSec::s8K);
    rec->SetRecSamplesPerSec(TSamplesPerSec::s38K);
    EXPECT_EQ(rec->WaveFormat().nSamplesPerSec, 38000u);
    rec->SetRecSamplesPerSec(TSamplesPerSec::s96K);
    EXPECT_EQ(rec->WaveFormat().nSamplesPerSec, 96000u);
    EXPECT_EQ(rec->WaveFormat().nAvgBytesPerSec, 384000u);
    rec->SetRecChannels(LMODE::MONO);
    rec->SetRecBitsperSample(TBitsperSample::bs8Bit);
    EXPECT_EQ(rec->WaveFormat().nBlockAlign, 1);
    EXPECT_EQ(rec->WaveFormat().nAvgBytesPerSec, 96000u);
    rec->SetRecChannels(LMODE::JSTEREO);
    rec->SetRecBitsperSample(TBitsperSample::bs16Bit);
    EXPECT_EQ(rec->WaveFormat().nChannels, 2);
    rec->SetMp3BitRate(LBITRATE::b320);
    rec->SetMp3MaxBitRate(LMAXBITRATE::m160);
    EXPECT_EQ(rec->Mp3BitRate(), LBITRATE::b320);
    EXPECT_EQ(rec->Mp3MaxBitRate(), LMAXBITRATE::m160);
    rec->SetMp3MaxBitRate(LMAXBITRATE::m320);
    rec->OutType = TOutType::Mp3Buffer;
    rec->Start();
    EXPECT_EQ(EncoderConfig.format.LHV1.nMode, 1);
    EXPECT_EQ(EncoderConfig.format.LHV1.dwBitrate, 320u);
    rec->Stop();
}

TEST_F(Recorder, StateTableAndOperationsThatDoNotApply)
{
    Play(testsupport::NoiseS16(44100, 2, 4));
    rec->Stop();
    rec->Pause();
    rec->Resume();
    EXPECT_FALSE(rec->Active());
    EXPECT_FALSE(rec->isPause());
    rec->Start();
    rec->Resume(); // not paused: nothing
    rec->Start();  // already recording: nothing
    EXPECT_TRUE(rec->Active());
    EXPECT_FALSE(rec->isPause());
    Render(44100 + 100);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], 176400);
    rec->Stop();
    EXPECT_FALSE(rec->Active());
    EXPECT_EQ(reports, (std::vector<int64_t>{176400, 400})); // and the 100 frames since
    Render(44100);
    EXPECT_EQ(reports.size(), 2u);

    // With no data handler, buffers cycle but nothing is written; with no buffers nothing arrives.
    rec->OnData = nullptr;
    rec->OutType = TOutType::WAVFileStream;
    rec->Start();
    Render(44100 * 2);
    rec->Stop();
    EXPECT_EQ(fs::file_size(dir.file("tem.wav")), 44u);
    rec->OnData = [this](void*, int64_t count) { reports.push_back(count); };
    rec->SetRecBufferSize(0);
    rec->Start();
    Render(44100 * 2);
    rec->Stop();
    EXPECT_EQ(fs::file_size(dir.file("tem.wav")), 44u);
    EXPECT_EQ(reports.size(), 2u);
}

TEST_F(Recorder, AnExistingFileIsOverwrittenOnlyAfterYes)
{
    rec->OutType = TOutType::Mp3FileStream;
    testsupport::WriteBytes(dir.file("tem.Mp3"), {1, 2, 3});
    answer = false;
    rec->Start();
    EXPECT_FALSE(rec->Active());
    EXPECT_EQ(testsupport::ReadBytes(dir.file("tem.Mp3")), (std::vector<uint8_t>{1, 2, 3}));
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0], QCoreApplication::applicationName().toStdString() + "|目标文件已经存在，要覆盖吗？");
    answer = true;
    rec->Start();
    EXPECT_TRUE(rec->Active());
    EXPECT_EQ(fs::file_size(dir.file("tem.Mp3")), 0u);
    rec->Stop();
    EXPECT_EQ(questions.size(), 2u);
}

TEST_F(Recorder, StartThatCannotOpenTheDeviceOrTheEncoderRaisesAndStaysIdle)
{
    rec->OutType = TOutType::WAVFileStream;
    {
        auto taken = output::Loopback::Instance().Open(); // the card's only input is in use
        ASSERT_TRUE(taken);
        try {
            rec->Start();
            ADD_FAILURE() << "Start succeeded without a device";
        } catch (const ERecordError& e) {
            EXPECT_NE(e.Message().find("already in use"), std::string::npos) << e.Message();
        }
        EXPECT_FALSE(rec->Active());
        const auto bytes = testsupport::ReadBytes(dir.file("tem.wav"));
        ASSERT_EQ(bytes.size(), 44u);
        EXPECT_EQ(Le32(bytes, 4), 36u);
    }
    rec->OutType = TOutType::Mp3FileStream;
    rec->SetRecBitsperSample(TBitsperSample::bs8Bit);
    EXPECT_THROW(rec->Start(), ERecordError);
    EXPECT_FALSE(rec->Active());
    EXPECT_EQ(EncoderOutBuffer, nullptr);
    rec->SetRecBitsperSample(TBitsperSample::bs16Bit);
    rec->Start(); // nothing was left open
    EXPECT_TRUE(rec->Active());
}

TEST_F(Recorder, FullDiskStopsTheRecordingShowsWhyAndKeepsAPlayableFile)
{
    Play(testsupport::SineS16(44100, 44100, 2, 1000));
    MainWindowSettings();
    int stoppedByFailure = 0;
    rec->OnStoppedByFailure = [&] { ++stoppedByFailure; };
    rec->Start();
    {
        testsupport::FileSizeLimit full(40000); // about 2.5 s at 128 kbit/s
        Render(44100 * 5);
    }
    EXPECT_FALSE(rec->Active());
    EXPECT_EQ(stoppedByFailure, 1);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("File too large"), std::string::npos) << errors[0];
    const Decoded mp3 = Decode(dir.file("tem.Mp3"));
    EXPECT_EQ(fs::file_size(dir.file("tem.Mp3")) % 384, 0u); // whole 128 kbit/s frames
    EXPECT_NEAR(mp3.Seconds(), 2.0, 0.5);

    // Batched: the disk fills while Stop encodes what was staged; Stop raises, the frames stay whole.
    rec->SetEncBufferSize(5);
    rec->Start();
    Render(44100 * 3 + 10000);
    EXPECT_EQ(fs::file_size(dir.file("tem.Mp3")), 0u);
    {
        testsupport::FileSizeLimit full(20000);
        EXPECT_THROW(rec->Stop(), EStreamError);
    }
    EXPECT_FALSE(rec->Active());
    EXPECT_EQ(fs::file_size(dir.file("tem.Mp3")) % 384, 0u);
    EXPECT_NEAR(Decode(dir.file("tem.Mp3")).Seconds(), 20000 / 16000.0, 0.3);
    rec->SetEncBufferSize(0);

    rec->OutType = TOutType::WAVFileStream;
    rec->Start();
    {
        testsupport::FileSizeLimit full(44 + 2 * 192000 + 1000);
        Render(44100 * 4);
    }
    EXPECT_FALSE(rec->Active());
    EXPECT_EQ(errors.size(), 2u);
    const auto bytes = testsupport::ReadBytes(dir.file("tem.wav"));
    ASSERT_EQ(bytes.size(), 44u + 2 * 192000u);
    EXPECT_EQ(Le32(bytes, 40), 2 * 192000u);
    EXPECT_NEAR(Decode(dir.file("tem.wav")).Seconds(), 2.0, 1e-9);

    // The disk fills while Stop writes the part buffer: Stop raises, and the header counts what fit.
    rec->Start();
    Render(44100 * 2 + 20000);
    {
        testsupport::FileSizeLimit full(44 + 2 * 192000 + 1000);
        EXPECT_THROW(rec->Stop(), EStreamError);
    }
    EXPECT_FALSE(rec->Active());
    const auto cut = testsupport::ReadBytes(dir.file("tem.wav"));
    EXPECT_EQ(Le32(cut, 40), cut.size() - 44);
    EXPECT_NEAR(Decode(dir.file("tem.wav")).Seconds(), 2.0, 0.01);
}

} // namespace
