#include "record/Lame_Enc.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using testsupport::TempDir;

constexpr int Rate = 48000;
constexpr size_t SecondBytes = Rate * 4; // one captured buffer of the main window's recorder

TEncoderSettings MainWindowSettings()
{
    TEncoderSettings s;
    s.WaveFormat = {WAVE_FORMAT_PCM, 2, Rate, SecondBytes, 4, 16, 0};
    s.Mp3VBRQuality = LVBRQUALITY::v6;
    return s;
}

struct TDecoded {
    int Rate = 0;
    int Channels = 0;
    std::vector<float> Samples;
    double Seconds() const { return Channels ? double(Samples.size()) / Channels / Rate : 0; }
};

TDecoded Decode(const std::filesystem::path& file)
{
    SF_INFO info{};
    SNDFILE* sf = sf_open(file.c_str(), SFM_READ, &info);
    if (!sf)
        return {};
    TDecoded d{info.samplerate, info.channels, {}};
    std::vector<float> block(4096 * static_cast<size_t>(info.channels));
    sf_count_t n;
    while ((n = sf_readf_float(sf, block.data(), 4096)) > 0)
        d.Samples.insert(d.Samples.end(), block.begin(), block.begin() + n * info.channels);
    sf_close(sf);
    return d;
}

std::vector<float> Middle(const TDecoded& d, double fromSecond, double toSecond)
{
    auto at = [&](double s) { return d.Samples.begin() + static_cast<long>(s * d.Rate) * d.Channels; };
    return {at(fromSecond), at(toSecond)};
}

double Db(double ratio)
{
    return 20 * std::log10(ratio);
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

// The encoder is process-wide: every test leaves it closed.
class Encoder : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (EncoderOutBuffer)
            EncoderClose();
    }
    TempDir Dir;
};

// Runs `body` in a child process, whose files may not grow beyond `limit` bytes (the disk is "full"
// there); returns the child's exit code, or 128 + the signal that ended it.
int InChild(const std::function<int()>& body, rlim_t limit = RLIM_INFINITY)
{
    const pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit rl{};
        getrlimit(RLIMIT_FSIZE, &rl);
        rl.rlim_cur = std::min(limit, rl.rlim_max);
        int code = 100;
        if (setrlimit(RLIMIT_FSIZE, &rl) == 0) {
            try {
                code = body();
            } catch (...) {
                code = 101;
            }
        }
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 255;
}

const uint8_t* Second(const std::vector<int16_t>& pcm, int second)
{
    return reinterpret_cast<const uint8_t*>(pcm.data()) + second * SecondBytes;
}

TEST_F(Encoder, MainWindowSettingsFillTheRecordAndSizeThePieces)
{
    ASSERT_EQ(EncoderOpen(MainWindowSettings()), BE_ERR_SUCCESSFUL);
    const auto& c = EncoderConfig.format.LHV1;
    EXPECT_EQ(EncoderConfig.dwConfig, BE_CONFIG_LAME);
    EXPECT_EQ(c.dwStructVersion, 1u);
    EXPECT_EQ(c.dwStructSize, 332u);
    EXPECT_EQ(c.dwSampleRate, 48000u);
    EXPECT_EQ(c.dwReSampleRate, 48000u);
    EXPECT_EQ(c.nMode, 0);
    EXPECT_EQ(c.dwBitrate, 128u);
    EXPECT_EQ(c.dwMaxBitrate, 320u);
    EXPECT_EQ(c.nPreset, 2);
    EXPECT_EQ(c.bPrivate, 0);
    EXPECT_NE(c.bCRC, 0);
    EXPECT_EQ(c.bCopyright | c.bOriginal | c.bWriteVBRHeader | c.bEnableVBR, 0);
    EXPECT_EQ(c.nVBRQuality, 6);
    // Everything from dwVbrAbr_bps to the end was never written.
    const auto* raw = reinterpret_cast<const uint8_t*>(&EncoderConfig);
    EXPECT_TRUE(std::all_of(raw + 76, raw + sizeof EncoderConfig, [](uint8_t b) { return b == 0; }));

    EXPECT_EQ(EncoderSamples, 2304u); // one 1152-frame MP3 frame of two channels
    EXPECT_EQ(EncoderBlockAlign, 4u);
    EXPECT_EQ(EncoderChunkBytes, 2304u * 4);
    EXPECT_GE(EncoderMp3BufferSize, 7200u);
    EXPECT_NE(EncoderInBuffer, nullptr);
    EXPECT_NE(EncoderOutBuffer, nullptr);

    EXPECT_EQ(EncoderClose(), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(EncoderInBuffer, nullptr);
    EXPECT_EQ(EncoderOutBuffer, nullptr);
    EXPECT_EQ(EncoderClose(), BE_ERR_INVALID_HANDLE); // a second close touches nothing
}

TEST_F(Encoder, PcmItCannotEncodeLeavesItClosedAndSilent)
{
    TEncoderSettings eightBit = MainWindowSettings();
    eightBit.WaveFormat = {WAVE_FORMAT_PCM, 2, Rate, Rate * 2, 2, 8, 0};
    TEncoderSettings monoModeStereoPcm = MainWindowSettings();
    monoModeStereoPcm.RecChannels = LMODE::MONO;
    for (const auto& settings : {eightBit, monoModeStereoPcm}) {
        EXPECT_EQ(EncoderOpen(settings), BE_ERR_INVALID_FORMAT);
        EXPECT_EQ(EncoderInBuffer, nullptr);
        EXPECT_EQ(EncoderOutBuffer, nullptr);
    }

    const auto pcm = testsupport::SineS16(Rate, Rate, 2, 440);
    TMemoryStream out;
    EXPECT_EQ(EncodeBlock(pcm.data(), SecondBytes, out), ENC_ERR_EXCEPTION);
    EXPECT_FALSE(EncoderLastError().empty());
    TMemoryStream source;
    source.Write(pcm.data(), SecondBytes);
    source.SetPosition(0);
    EXPECT_EQ(EncodeStream(source, out), ENC_ERR_EXCEPTION);
    EXPECT_EQ(EncodeBlockToBuffer(pcm.data(), SecondBytes).second, 0u);
    EXPECT_EQ(EncoderFlushTo(out), BE_ERR_INVALID_HANDLE);
    EXPECT_EQ(out.Size(), 0);

    BE_CONFIG wrongKind{};
    wrongKind.dwConfig = BE_CONFIG_MP3;
    uint32_t samples = 0, bytes = 0;
    HBE_STREAM handle = 0;
    EXPECT_EQ(beInitStream(&wrongKind, &samples, &bytes, &handle), BE_ERR_INVALID_FORMAT);
    uint8_t buffer[16];
    EXPECT_EQ(beEncodeChunk(12345, 0, nullptr, buffer, &bytes), BE_ERR_INVALID_HANDLE);
}

TEST_F(Encoder, TenSecondsOfToneDecodeAtItsPitchAndLevel)
{
    const double amplitude = 12000;
    const auto pcm = testsupport::SineS16(10 * Rate, Rate, 2, 1000, amplitude);
    const auto file = Dir.file("tem.Mp3");
    {
        TFileStream out(file, TFileMode::Create);
        ASSERT_EQ(EncoderOpen(MainWindowSettings()), BE_ERR_SUCCESSFUL);
        for (int second = 0; second < 10; ++second)
            ASSERT_EQ(EncodeBlock(Second(pcm, second), SecondBytes, out), 0u);
        const int64_t beforeFlush = out.Size();
        ASSERT_EQ(EncoderFlushTo(out), BE_ERR_SUCCESSFUL);
        EXPECT_GT(EncoderFlushCount, 0u);
        EXPECT_EQ(out.Size(), beforeFlush + EncoderFlushCount); // the file ends with the flushed bytes
        EXPECT_EQ(EncoderOutBuffer, nullptr);
    }
    const TDecoded d = Decode(file);
    ASSERT_EQ(d.Rate, Rate);
    ASSERT_EQ(d.Channels, 2);
    EXPECT_NEAR(d.Seconds(), 10.0, 0.1);
    const auto middle = Middle(d, 1, 9);
    const double sourceRms = amplitude / 32768 / std::sqrt(2.0);
    for (int channel = 0; channel < 2; ++channel) {
        EXPECT_NEAR(testsupport::ZeroCrossingHz(middle, 2, channel, Rate), 1000, 5) << channel;
        EXPECT_NEAR(Db(testsupport::Rms(middle, 2, channel) / sourceRms), 0, 1) << channel;
    }
}

// However the PCM reaches the encoder (pieces, a stream, one block), the same bytes give the same MP3;
// a trailing odd byte is not encoded and an empty block encodes nothing.
TEST_F(Encoder, PiecesStreamsAndWholeBlocksGiveTheSameMp3)
{
    auto pcm = testsupport::NoiseS16(8000, 2, 7);
    const auto* bytes = reinterpret_cast<const uint8_t*>(pcm.data());
    const size_t n = 3 * 9216 + 1000; // three full pieces and a short one
    auto encode = [&](const std::function<void(TMemoryStream&)>& feed) {
        TMemoryStream out;
        EXPECT_EQ(EncoderOpen(MainWindowSettings()), BE_ERR_SUCCESSFUL);
        feed(out);
        EXPECT_EQ(EncoderFlushTo(out), BE_ERR_SUCCESSFUL);
        return std::vector<uint8_t>(out.Memory(), out.Memory() + out.Size());
    };

    const auto whole = encode([&](TMemoryStream& out) {
        const auto [buffer, count] = EncodeBlockToBuffer(bytes, n);
        out.Write(buffer, count);
    });
    ASSERT_GT(whole.size(), 1000u);

    EXPECT_EQ(encode([&](TMemoryStream& out) { EXPECT_EQ(EncodeBlock(bytes, n, out), 0u); }), whole);
    EXPECT_EQ(encode([&](TMemoryStream& out) {
                  EXPECT_EQ(EncodeBlock(bytes, 0, out), 0u);
                  EXPECT_EQ(out.Size(), 0);
                  EXPECT_EQ(EncodeBlock(bytes, n + 1, out), 0u);
              }),
              whole);
    EXPECT_EQ(encode([&](TMemoryStream& out) {
                  TMemoryStream staging;
                  staging.Write(bytes, n);
                  staging.SetPosition(0);
                  EXPECT_EQ(EncodeStream(staging, out), 0u);
              }),
              whole);

    // A staging stream left away from 0 is encoded to its end and no further: no stale PCM is repeated.
    const size_t tail = 4000;
    const auto tailOnly = encode([&](TMemoryStream& out) { EXPECT_EQ(EncodeBlock(bytes + n - tail, tail, out), 0u); });
    EXPECT_EQ(encode([&](TMemoryStream& out) {
                  TMemoryStream staging;
                  staging.Write(bytes, n);
                  staging.SetPosition(n - tail);
                  EXPECT_EQ(EncodeStream(staging, out), 0u);
              }),
              tailOnly);
}

TEST_F(Encoder, OtherRecorderSettingsDecodeAsRecorded)
{
    struct Case {
        LMODE Mode;
        int Rate;
        bool Vbr; // with its header: without one a decoder can only guess the length of a VBR stream
        int DecodedRate;
    };
    // 96 kHz has no MP3 rate: the stream comes out at 48 kHz.
    for (const Case c : {Case{LMODE::MONO, 44100, true, 44100}, Case{LMODE::JSTEREO, 22050, false, 22050},
                         Case{LMODE::DUALCHANNEL, 96000, false, 48000}}) {
        const int channels = c.Mode == LMODE::MONO ? 1 : 2;
        TEncoderSettings s;
        s.RecChannels = c.Mode;
        s.Mp3EnableVBR = c.Vbr;
        s.Mp3WriteVBRHeader = c.Vbr;
        s.WaveFormat = {
            WAVE_FORMAT_PCM, WORD(channels), DWORD(c.Rate), DWORD(c.Rate * channels * 2), WORD(channels * 2), 16, 0};
        const auto pcm = testsupport::SineS16(2 * c.Rate, c.Rate, channels, 500);
        const auto file = Dir.file("settings.Mp3");
        {
            TFileStream out(file, TFileMode::Create);
            ASSERT_EQ(EncoderOpen(s), BE_ERR_SUCCESSFUL) << c.Rate;
            EXPECT_EQ(EncoderConfig.format.LHV1.nMode, int32_t(c.Mode));
            ASSERT_EQ(EncodeBlock(pcm.data(), pcm.size() * 2, out), 0u);
            ASSERT_EQ(EncoderFlushTo(out), BE_ERR_SUCCESSFUL);
        }
        const TDecoded d = Decode(file);
        EXPECT_EQ(d.Rate, c.DecodedRate);
        EXPECT_EQ(d.Channels, channels);
        EXPECT_NEAR(d.Seconds(), 2.0, 0.1) << c.Rate;
        EXPECT_NEAR(testsupport::ZeroCrossingHz(Middle(d, 0.5, 1.5), channels, 0, d.Rate), 500, 5) << c.Rate;
    }
}

TEST_F(Encoder, FullDiskIsReportedAndTheMp3WrittenSoFarPlays)
{
    const auto pcm = testsupport::SineS16(10 * Rate, Rate, 2, 1000);
    const auto file = Dir.file("tem.Mp3");
    const rlim_t limit = 40000; // about 2.5 s at 128 kbit/s
    const int code = InChild(
        [&] {
            TFileStream out(file, TFileMode::Create);
            if (EncoderOpen(MainWindowSettings()) != 0)
                return 1;
            uint32_t result = 0;
            int second = 0;
            for (; second < 10 && result == 0; ++second)
                result = EncodeBlock(Second(pcm, second), SecondBytes, out);
            if (result != ENC_ERR_EXCEPTION || second < 2 ||
                EncoderLastError().find("File too large") == std::string::npos)
                return 2;
            try {
                EncoderFlushTo(out);
            } catch (const EStreamError&) {
            }
            return EncoderOutBuffer == nullptr && EncoderHandle == 0 ? 0 : 3;
        },
        limit);
    ASSERT_EQ(code, 0);
    const auto size = std::filesystem::file_size(file);
    EXPECT_LE(size, limit);
    const TDecoded d = Decode(file);
    ASSERT_EQ(d.Channels, 2);
    // 384-byte frames of 1152 sample frames each; a last frame cut short is not played.
    EXPECT_NEAR(d.Seconds(), double(size) / 384 * 1152 / Rate, 0.1);
    EXPECT_NEAR(testsupport::ZeroCrossingHz(Middle(d, 0.5, d.Seconds() - 0.5), 2, 0, Rate), 1000, 5);
}

TEST_F(Encoder, RecordingCutShortByACrashPlaysUpToItsLastBuffer)
{
    const auto pcm = testsupport::SineS16(3 * Rate, Rate, 2, 1000);
    const auto file = Dir.file("tem.Mp3");
    const int code = InChild([&] {
        TFileStream out(file, TFileMode::Create);
        EncoderOpen(MainWindowSettings());
        for (int second = 0; second < 3; ++second)
            EncodeBlock(Second(pcm, second), SecondBytes, out);
        raise(SIGKILL); // no flush, no close
        return 0;
    });
    ASSERT_EQ(code, 128 + SIGKILL);
    const TDecoded d = Decode(file);
    ASSERT_EQ(d.Channels, 2);
    // The encoder holds back a few frames' worth (well under 0.1 s) until the next block or the flush.
    EXPECT_NEAR(d.Seconds(), 3.0, 0.1);
    EXPECT_NEAR(testsupport::ZeroCrossingHz(Middle(d, 0.5, 2.5), 2, 0, Rate), 1000, 5);
}

TEST_F(Encoder, FullDiskKeepsTheWavWrittenSoFarWholeAndPatched)
{
    const auto pcm = testsupport::SineS16(3 * Rate, Rate, 2, 1000);
    const auto file = Dir.file("tem.wav");
    const int code = InChild(
        [&] {
            TFileStream out(file, TFileMode::Create);
            if (WriteWavHeader(MainWindowSettings().WaveFormat, out))
                return 1;
            try {
                for (int second = 0; second < 3; ++second)
                    out.Write(Second(pcm, second), SecondBytes);
                return 2;
            } catch (const EStreamError&) {
            }
            return PatchWavHeader(out) == 0 ? 0 : 3;
        },
        500000);
    ASSERT_EQ(code, 0);
    const auto bytes = testsupport::ReadBytes(file);
    ASSERT_EQ(bytes.size(), 44 + 2 * SecondBytes); // two whole captured buffers, nothing of the third
    EXPECT_EQ(Le32(bytes, 4), bytes.size() - 8);
    EXPECT_EQ(Le32(bytes, 40), 2 * SecondBytes);
    const TDecoded d = Decode(file);
    EXPECT_EQ(d.Samples.size(), 2 * SecondBytes / 2);
}

TEST_F(Encoder, WavHeaderBeforeAndAfterPatching)
{
    const auto file = Dir.file("tem.wav");
    const WAVEFORMATEX format{3 /* written as PCM all the same */, 2, 96000, 384000, 4, 16, 0};
    auto header = [](uint32_t riffSize, uint32_t dataSize) {
        std::vector<uint8_t> h;
        auto put = [&](uint32_t v, int bytes) {
            for (int i = 0; i < bytes; ++i)
                h.push_back(uint8_t(v >> 8 * i));
        };
        auto tag = [&](const char* t) {
            for (int i = 0; i < 4; ++i)
                h.push_back(uint8_t(t[i]));
        };
        tag("RIFF"), put(riffSize, 4), tag("WAVE"), tag("fmt "), put(16, 4), put(1, 2), put(2, 2), put(96000, 4);
        put(384000, 4), put(4, 2), put(16, 2), tag("data"), put(dataSize, 4);
        return h;
    };
    {
        TFileStream out(file, TFileMode::Create);
        EXPECT_FALSE(WriteWavHeader(format, out));
    }
    EXPECT_EQ(testsupport::ReadBytes(file), header(0, 0));
    {
        TFileStream out(file, TFileMode::OpenReadWrite);
        EXPECT_EQ(PatchWavHeader(out), 0); // stopped right after start
    }
    EXPECT_EQ(testsupport::ReadBytes(file), header(36, 0));
    {
        TFileStream out(file, TFileMode::OpenReadWrite);
        out.Seek(0, TSeekOrigin::End);
        const std::vector<uint8_t> pcm(4000, 0);
        out.Write(pcm.data(), 4000);
        EXPECT_EQ(PatchWavHeader(out), 0);
        EXPECT_EQ(out.Position(), 44 + 4000);
    }
    const auto bytes = testsupport::ReadBytes(file);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 44), header(36 + 4000, 4000));
    const TDecoded d = Decode(file);
    EXPECT_EQ(d.Rate, 96000);
    EXPECT_EQ(d.Samples.size(), 2000u);

    // A header that never got written is not "patched" into a nonsense one.
    TMemoryStream shortStream;
    shortStream.Write("RIFF", 4);
    EXPECT_EQ(PatchWavHeader(shortStream), 1);
    EXPECT_EQ(shortStream.Size(), 4);
}

TEST(Streams, FailuresNameTheFileAndMemoryStreamsTruncateLikeFiles)
{
    TempDir dir;
    try {
        TFileStream missing(dir.file("no-such-folder") / "tem.Mp3", TFileMode::Create);
        FAIL() << "created a file in a missing folder";
    } catch (const EStreamError& e) {
        EXPECT_NE(e.Message().find("no-such-folder/tem.Mp3"), std::string::npos) << e.Message();
    }

    TFileStream file(dir.file("a.bin"), TFileMode::Create);
    TMemoryStream memory;
    for (TStream* s : {static_cast<TStream*>(&file), static_cast<TStream*>(&memory)}) {
        s->Write("0123456789", 10);
        s->SetPosition(12);
        s->Write("AB", 2);
        EXPECT_EQ(s->Size(), 14);
        s->SetSize(6); // cut below the position: the position follows the end
        EXPECT_EQ(s->Position(), 6);
        s->SetPosition(0);
        char back[16] = {};
        EXPECT_EQ(s->Read(back, 16), 6);
        EXPECT_STREQ(back, "012345");
    }
}

} // namespace
