#include "decode/MxAudioFileRead.h"
#include "tests/decode/DecodeFiles.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>

using namespace testsupport;
using namespace decodetest;
namespace fs = std::filesystem;

namespace {

constexpr int64_t kSecond = MX_UNITS_PER_SECOND;

// Reads everything from the current position in blocks of `block` bytes.
std::vector<uint8_t> ReadAll(TMxAudioFileReader& r, uint32_t block = 4096 * 4)
{
    std::vector<uint8_t> out, buf(block);
    while (uint32_t n = r.Read(buf.data(), block))
        out.insert(out.end(), buf.begin(), buf.begin() + n);
    return out;
}

int64_t Frames(const TMxAudioFileReader& r, size_t bytes)
{
    return static_cast<int64_t>(bytes / r.Format().nBlockAlign);
}

int64_t FramesOf(const TMxAudioFileReader& r)
{
    return (r.Duration() * r.Format().nSamplesPerSec + kSecond - 1) / kSecond; // Duration is truncated
}

int OpenDescriptors()
{
    int n = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

std::vector<float> ToFloat(const std::vector<uint8_t>& s16)
{
    std::vector<float> out(s16.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        int16_t v;
        std::memcpy(&v, s16.data() + 2 * i, 2);
        out[i] = v / 32768.0f;
    }
    return out;
}

class Decode : public ::testing::Test {
protected:
    TempDir dir;
    fs::path Put(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        WriteBytes(dir.file(name), bytes);
        return dir.file(name);
    }
};

} // namespace

TEST_F(Decode, UncompressedWavComesOutByteForByteAsStored)
{
    struct Case {
        int channels, bits;
        std::vector<uint8_t> data;
    };
    std::vector<uint8_t> u8(8000 * 3 + 7);
    for (size_t i = 0; i < u8.size(); ++i)
        u8[i] = static_cast<uint8_t>(128 + 100 * std::sin(i * 0.05));
    const Case cases[] = {{1, 8, u8}, {2, 16, S16Bytes(NoiseS16(44100 + 333, 2))}};
    for (const auto& c : cases) {
        auto file = dir.file("pcm" + std::to_string(c.bits) + ".wav");
        WriteWavBytes(file, c.channels == 1 ? 8000 : 44100, c.channels, c.bits, c.data);
        TMxAudioFileReader r(file.string());
        EXPECT_EQ(r.FileName(), file.string());
        const TMxWaveFormat& f = r.Format();
        EXPECT_EQ(f.wFormatTag, MX_WAVE_FORMAT_PCM);
        EXPECT_EQ(f.nChannels, c.channels);
        EXPECT_EQ(f.wBitsPerSample, c.bits);
        EXPECT_EQ(f.nBlockAlign, c.channels * c.bits / 8);
        EXPECT_EQ(f.nAvgBytesPerSec, f.nSamplesPerSec * f.nBlockAlign);
        // An odd-sized block and an unaligned buffer exercise the copy paths.
        std::vector<uint8_t> out, buf(1 + 999 * f.nBlockAlign);
        while (uint32_t n = r.Read(buf.data() + 1, 999 * f.nBlockAlign))
            out.insert(out.end(), buf.begin() + 1, buf.begin() + 1 + n);
        EXPECT_EQ(out, c.data) << c.bits << "-bit";
    }
}

TEST_F(Decode, ReadGivesFullBlocksThenOneShortBlockThenZeroWithExactTimes)
{
    const int frames = 44100 * 3 + 17;
    auto file = dir.file("a.wav");
    WriteWavS16(file, 44100, 2, SineS16(frames, 44100, 2, 440));
    TMxAudioFileReader r(file.string());
    EXPECT_EQ(r.Duration(), int64_t(frames) * kSecond / 44100);

    const uint32_t block = 4410 * 4;
    std::vector<uint8_t> buf(block);
    int64_t frame = 0;
    uint32_t n;
    while ((n = r.Read(buf.data(), block)) == block) {
        EXPECT_EQ(r.SampleStart(), frame * kSecond / 44100);
        frame += 4410;
        EXPECT_EQ(r.SampleEnd(), frame * kSecond / 44100);
        EXPECT_EQ(r.Position(), r.SampleEnd());
    }
    EXPECT_EQ(n, (frames % 4410) * 4u);
    EXPECT_EQ(r.SampleEnd(), r.Duration());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(r.Read(buf.data(), block), 0u);

    for (uint32_t bad : {0u, 6u, block + 1}) {
        try {
            r.Read(buf.data(), bad);
            ADD_FAILURE() << "size " << bad << " accepted";
        } catch (const EAudioReadError& e) {
            EXPECT_EQ(e.ErrorCode(), 0x08000001u);
            EXPECT_EQ(e.Message(), "Invalid buffer size.");
        }
    }
}

TEST_F(Decode, NoDriftOverAThreeHourSong)
{
    // 3 h at 8 kHz 8-bit mono: 86 MB would be too much for a test, so the data chunk claims it and the
    // file holds it sparse (zeros read as silence).
    const int64_t frames = int64_t(3) * 3600 * 8000 + 1;
    auto file = dir.file("long.wav");
    auto head = WavBytes({1, 1, 8000, 8, {}, frames}, {});
    WriteBytes(file, head);
    fs::resize_file(file, head.size() + frames);
    TMxAudioFileReader r(file.string());
    EXPECT_EQ(r.Duration(), frames * kSecond / 8000);
    r.Seek(r.Duration() - 1000 * 10'000);
    std::vector<uint8_t> buf(8000);
    EXPECT_EQ(r.Read(buf.data(), 7000), 7000u);
    EXPECT_EQ(r.SampleStart(), (frames - 8000) * kSecond / 8000);
    EXPECT_EQ(r.SampleEnd(), (frames - 1000) * kSecond / 8000);
    EXPECT_EQ(r.Read(buf.data(), 7000), 1000u);
    EXPECT_EQ(r.SampleEnd(), r.Duration());
}

TEST_F(Decode, RangeCutsTheCrossingBlockToWholeFramesAndEndsExactly)
{
    const int rate = 22050;
    auto samples = NoiseS16(rate * 20, 2);
    auto file = dir.file("r.wav");
    WriteWavS16(file, rate, 2, samples);
    TMxAudioFileReader r(file.string());
    r.SetStart(10 * kSecond);
    EXPECT_EQ(r.Position(), 10 * kSecond); // the start moved the reader forward
    r.SetLength(5 * kSecond);
    const uint32_t block = 7001 * 4; // no whole number of blocks fits in 5 s
    std::vector<uint8_t> out, buf(block);
    uint32_t n, last = 0;
    while ((n = r.Read(buf.data(), block)) != 0) {
        out.insert(out.end(), buf.begin(), buf.begin() + n);
        last = n;
    }
    EXPECT_LT(last, block);
    EXPECT_EQ(r.SampleEnd(), 15 * kSecond);
    EXPECT_EQ(r.Position(), 15 * kSecond);
    auto all = S16Bytes(samples);
    EXPECT_EQ(out, std::vector<uint8_t>(all.begin() + 10 * rate * 4, all.begin() + 15 * rate * 4));

    // Seek(0) lands on the range start and the range plays again, identically.
    r.Seek(0);
    EXPECT_EQ(r.Position(), 10 * kSecond);
    EXPECT_EQ(ReadAll(r, block), out);

    // An end 100 ns into a frame leaves that frame out: only frames wholly inside the range play.
    r.SetLength(5 * kSecond + 1);
    r.Seek(0);
    EXPECT_EQ(ReadAll(r, block), out);
    EXPECT_EQ(r.Position(), 15 * kSecond + 1);
}

TEST_F(Decode, SeekStartAndLengthClamp)
{
    auto file = dir.file("c.wav");
    WriteWavS16(file, 8000, 1, NoiseS16(8000 * 4, 1));
    TMxAudioFileReader r(file.string());
    std::vector<uint8_t> buf(1000);

    r.Seek(100 * kSecond);
    EXPECT_EQ(r.Position(), r.Duration());
    EXPECT_EQ(r.Read(buf.data(), 1000), 0u);

    r.SetStart(-5); // negative start is 0, which needs no seek
    EXPECT_EQ(r.Start(), 0);
    r.SetStart(kSecond);
    EXPECT_EQ(r.Position(), r.Duration()); // already past the start: no seek
    r.Seek(kSecond / 2);
    EXPECT_EQ(r.Position(), kSecond);
    EXPECT_EQ(r.Read(buf.data(), 2), 2u);
    EXPECT_EQ(r.SampleStart(), kSecond);

    r.SetLength(1); // at least 10 ms
    EXPECT_EQ(r.Length(), 100'000);
    r.SetLength(-7);
    EXPECT_EQ(r.Length(), 100'000);
    r.Seek(3 * kSecond);
    EXPECT_EQ(r.Position(), kSecond + 100'000);
    r.Seek(kSecond);
    EXPECT_EQ(ReadAll(r, 1000).size(), 80u * 2); // 10 ms of 8 kHz 16-bit mono
    r.SetLength(int64_t(1) << 62);
    EXPECT_EQ(r.Length(), 1'000'000'000'000'000);
    r.SetLength(0); // no range end: reads on to the end of the song
    EXPECT_EQ(r.Length(), 0);
    EXPECT_EQ(ReadAll(r, 1000).size(), (8000u * 4 - 8000 - 80) * 2);

    // A length that puts the range end before the position sends the reader back to the start.
    r.SetLength(kSecond);
    EXPECT_EQ(r.Position(), kSecond);
    // A start far beyond the song is kept; the reader stops at the song's end.
    r.SetStart(int64_t(1) << 62);
    EXPECT_EQ(r.Position(), r.Duration());
    EXPECT_EQ(r.Read(buf.data(), 1000), 0u);
}

TEST(AMCheck, MessagesFollowTheTableAndTheLibrary)
{
    EXPECT_NO_THROW(AMCheck(0));
    const std::pair<uint32_t, const char*> table[] = {
        {0x00040003, "Reached the end of the stream; the sample wasn't updated."},
        {0x80040404, "One or more media streams don't support seeking."},
        {0x80070057, "One of the parameters is invalid."},
        {0x12345678, "Unrecognized error value."},
    };
    for (auto [code, text] : table) {
        try {
            AMCheck(code);
            ADD_FAILURE() << std::hex << code;
        } catch (const EAudioReadError& e) {
            EXPECT_EQ(e.ErrorCode(), code);
            EXPECT_EQ(e.Message(), text);
        }
    }
    EXPECT_EQ(AMErrorText(MXAR_E_SYSTEM_BASE | ENOENT), std::strerror(ENOENT));
    EXPECT_NE(AMErrorText(MXAR_E_LIBRARY_BASE | 1), "Unrecognized error value.");
}

TEST_F(Decode, Mp3ToneDecodesToTheToneWithExactLength)
{
    struct Case {
        int rate, channels, kbps;
        bool xing;
    };
    // CBR and VBR, with and without the frame-count header, MPEG-1 and MPEG-2 rates.
    const Case cases[] = {{44100, 2, 128, true}, {44100, 2, 128, false}, {44100, 1, 0, true},
                          {44100, 2, 0, false},  {22050, 1, 0, false},   {48000, 2, 0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz " << c.channels << " ch " << c.kbps << " kbps xing "
                                        << c.xing);
        const int frames = c.rate * 4;
        auto file =
            Put("t.mp3", Mp3Bytes(c.rate, c.channels, SineS16(frames, c.rate, c.channels, 440), c.kbps, c.xing));
        TMxAudioFileReader r(file.string());
        EXPECT_EQ(r.Format().wBitsPerSample, 16);
        EXPECT_EQ(r.Format().nChannels, c.channels);
        EXPECT_EQ(r.Format().nSamplesPerSec, unsigned(c.rate));
        auto pcm = ReadAll(r);
        EXPECT_EQ(Frames(r, pcm.size()), FramesOf(r)) << "Duration is what decodes";
        EXPECT_EQ(r.SampleEnd(), r.Duration());
        // With the gapless fields the length is the source's; without them a few frames of padding.
        EXPECT_GE(Frames(r, pcm.size()), frames);
        EXPECT_LE(Frames(r, pcm.size()), frames + (c.xing ? 0 : 3 * 1152));
        // The tone without the decoder's lead-in and the encoder's tail.
        auto x = ToFloat(std::vector<uint8_t>(pcm.begin() + 4096 * c.channels * 2, pcm.end() - 4096 * c.channels * 2));
        EXPECT_NEAR(ZeroCrossingHz(x, c.channels, 0, c.rate), 440, 2);
        EXPECT_NEAR(Rms(x, c.channels, c.channels - 1), 12000 / 32768.0 / std::sqrt(2), 0.02);
    }
}

TEST_F(Decode, Mp3SeeksAreSampleExact)
{
    const int rate = 44100;
    for (bool xing : {true, false}) {
        auto file = Put("s.mp3", Mp3Bytes(rate, 2, NoiseS16(rate * 6, 2, 3), xing ? 0 : 160, xing)); // VBR / CBR
        TMxAudioFileReader r(file.string());
        const auto all = ReadAll(r);
        ASSERT_GT(all.size(), 0u);
        std::mt19937 gen(xing ? 11 : 12);
        std::uniform_int_distribution<int64_t> when(0, r.Duration());
        std::vector<uint8_t> buf(2000 * 4);
        for (int i = 0; i < 100; ++i) {
            const int64_t t = when(gen);
            r.Seek(t);
            const int64_t first = (t * rate + kSecond - 1) / kSecond; // first frame at or after t
            const uint32_t n = r.Read(buf.data(), static_cast<uint32_t>(buf.size()));
            const size_t expect = std::min(buf.size(), all.size() - static_cast<size_t>(first) * 4);
            ASSERT_EQ(n, expect) << "seek " << t;
            if (n == 0)
                continue;
            EXPECT_EQ(r.SampleStart(), first * kSecond / rate);
            ASSERT_EQ(0, std::memcmp(buf.data(), all.data() + first * 4, n)) << "seek " << t;
        }
    }
}

TEST_F(Decode, FilesThatOpenWithTheirTrueFormat)
{
    // Six channels, 24 bits, 32-bit float with NaN and infinity, a data chunk of no frames.
    auto six = Put("six.wav", WavBytes({1, 6, 44100, 16, {}, -1}, S16Bytes(NoiseS16(1000, 6))));
    std::vector<uint8_t> s24(3 * 2 * 500);
    for (size_t i = 0; i < s24.size(); ++i)
        s24[i] = static_cast<uint8_t>(i * 7);
    auto p24 = Put("p24.wav", WavBytes({1, 2, 44100, 24, {}, -1}, s24));
    const float fl[] = {0.5f, NAN, INFINITY, -INFINITY, -0.25f, 0.0f};
    std::vector<uint8_t> fbytes(sizeof fl);
    std::memcpy(fbytes.data(), fl, sizeof fl);
    auto pf = Put("float.wav", WavBytes({3, 2, 48000, 32, {}, -1}, fbytes));
    auto empty = Put("empty.wav", WavBytes({1, 2, 44100, 16, {}, -1}, {}));

    TMxAudioFileReader r6(six.string());
    EXPECT_EQ(r6.Format().nChannels, 6);
    EXPECT_EQ(FramesOf(r6), 1000);
    TMxAudioFileReader r24(p24.string());
    EXPECT_EQ(r24.Format().wBitsPerSample, 24);
    EXPECT_EQ(r24.Format().nBlockAlign, 6);
    EXPECT_EQ(ReadAll(r24, 600), s24);
    TMxAudioFileReader rf(pf.string());
    EXPECT_EQ(rf.Format().wBitsPerSample, 32);
    EXPECT_EQ(rf.Format().wFormatTag, MX_WAVE_FORMAT_IEEE_FLOAT);
    EXPECT_EQ(ReadAll(rf, 8), fbytes);
    TMxAudioFileReader re(empty.string());
    EXPECT_EQ(re.Duration(), 0);
    std::vector<uint8_t> buf(4);
    EXPECT_EQ(re.Read(buf.data(), 4), 0u);
}

TEST_F(Decode, OddButPlayableFiles)
{
    const auto tone = SineS16(44100, 44100, 2, 440);
    const auto pcm = S16Bytes(tone);
    const auto mp3 = Mp3Bytes(44100, 2, tone, 128, true);
    size_t mp3Frames;
    {
        auto f = Put("ref.mp3", mp3);
        TMxAudioFileReader r(f.string());
        mp3Frames = ReadAll(r).size() / 4;
    }
    struct Case {
        std::string name;
        std::vector<uint8_t> bytes;
        std::vector<uint8_t> expect; // empty: only the frame count is checked
        size_t frames;
    };
    std::vector<uint8_t> longData = WavBytes({}, pcm);
    std::vector<uint8_t> claimsMore = WavBytes({1, 2, 44100, 16, {}, int64_t(pcm.size()) * 10}, pcm);
    auto junk =
        WavBytes({1,
                  2,
                  44100,
                  16,
                  {Chunk("JUNK", std::vector<uint8_t>(501, 0xFF)), Chunk("abcd", std::vector<uint8_t>(64, 'x'))},
                  -1},
                 pcm);
    auto tagged = Id3Tag(300'000);
    tagged.insert(tagged.end(), mp3.begin(), mp3.end());
    std::vector<Case> cases = {
        {"wav-named.mp3", longData, pcm, 0},
        {"mp3-named.wav", mp3, {}, mp3Frames},
        {"data-larger-than-file.wav", claimsMore, pcm, 0},
        {"junk-chunks.wav", junk, pcm, 0},
        {"big-id3.mp3", tagged, {}, mp3Frames},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = Put(c.name, c.bytes);
        TMxAudioFileReader r(f.string());
        auto out = ReadAll(r);
        if (!c.expect.empty())
            EXPECT_EQ(out, c.expect);
        else
            EXPECT_EQ(out.size() / 4, c.frames);
        EXPECT_EQ(Frames(r, out.size()), FramesOf(r));
    }
}

TEST_F(Decode, DamagedMp3PlaysItsWholeFrames)
{
    const auto tone = SineS16(44100 * 2, 44100, 1, 440);
    for (bool xing : {true, false}) {
        auto mp3 = Mp3Bytes(44100, 1, tone, 64, xing);
        // Cut inside the last frame but one: everything before it still plays, and the length says so.
        mp3.resize(mp3.size() - 250);
        auto f = Put("cut.mp3", mp3);
        TMxAudioFileReader r(f.string());
        auto out = ReadAll(r);
        EXPECT_EQ(Frames(r, out.size()), FramesOf(r)) << "xing " << xing;
        EXPECT_GT(Frames(r, out.size()), 44100 * 2 - 3 * 1152);
    }
    // One frame of a stream without a frame-count header.
    auto mp3 = Mp3Bytes(44100, 2, tone, 128, false);
    mp3.resize(418); // 128 kbit/s at 44.1 kHz: 417 or 418 bytes per frame
    auto f = Put("one.mp3", mp3);
    TMxAudioFileReader r(f.string());
    auto out = ReadAll(r);
    EXPECT_EQ(Frames(r, out.size()), FramesOf(r));
    EXPECT_GE(out.size() / 4, 1152u - 529); // less the decoder's delay at most
    EXPECT_LE(out.size() / 4, 1152u);
}

TEST_F(Decode, Mp3WithJunkInTheMiddlePlaysOnAfterIt)
{
    // A bad sector's worth of junk between two tones, in a stream without a frame-count header.
    auto mp3 = Mp3Bytes(44100, 2, SineS16(44100 * 10, 44100, 2, 440, 10000), 128, false);
    std::vector<uint8_t> junk(50000);
    std::mt19937 gen(7);
    for (auto& b : junk)
        b = static_cast<uint8_t>(gen());
    const auto second = Mp3Bytes(44100, 2, SineS16(44100 * 10, 44100, 2, 1000, 10000), 128, false);
    mp3.insert(mp3.end(), junk.begin(), junk.end());
    mp3.insert(mp3.end(), second.begin(), second.end());
    TMxAudioFileReader r(Put("joined.mp3", mp3).string());
    EXPECT_NEAR(r.Duration() / double(kSecond), 20.0, 0.1);
    const auto out = ReadAll(r);
    EXPECT_EQ(Frames(r, out.size()), FramesOf(r));
    std::vector<int16_t> pcm(out.size() / 2);
    std::memcpy(pcm.data(), out.data(), pcm.size() * 2);
    ASSERT_GE(pcm.size(), 19u * 44100 * 2);
    const auto part = [&](double from, double to) {
        return std::vector<int16_t>(pcm.begin() + static_cast<long>(from * 44100) * 2,
                                    pcm.begin() + static_cast<long>(to * 44100) * 2);
    };
    EXPECT_NEAR(ToneLevel(part(1, 9), 2, 0, 44100, 440), 10000, 1000);
    EXPECT_NEAR(ToneLevel(part(11, 19), 2, 0, 44100, 1000), 10000, 1000);
}

TEST_F(Decode, Mp3CutToItsFirstKilobytePlaysItsWholeFramesOrSaysItHasNone)
{
    const auto tone = SineS16(44100 * 2, 44100, 2, 440);
    // CBR: the frame-count header, one whole frame and a part of the next. The header's end padding
    // belongs to the lost end and must not take the one frame's samples away.
    auto cbr = Mp3Bytes(44100, 2, tone, 128, true);
    cbr.resize(1024);
    TMxAudioFileReader r(Put("cbr.mp3", cbr).string());
    const auto out = ReadAll(r);
    EXPECT_EQ(Frames(r, out.size()), FramesOf(r));
    EXPECT_GE(Frames(r, out.size()), 1152 - 576 - 529); // one frame less the encoder's and decoder's delay
    // VBR: the header and no whole frame after it.
    auto vbr = Mp3Bytes(44100, 2, tone, 0, true);
    vbr.resize(1024);
    try {
        TMxAudioFileReader empty(Put("vbr.mp3", vbr).string());
        ADD_FAILURE() << "opened";
    } catch (const EAudioReadError& e) {
        EXPECT_EQ(e.ErrorCode(), MXAR_E_NOAUDIO);
        EXPECT_EQ(e.Message(), "The file holds no whole frame of audio: it may have been cut short.");
    }
}

TEST_F(Decode, PathsThatPlay)
{
    const auto pcm = S16Bytes(NoiseS16(4000, 1));
    // Longer than 1024 bytes in all, built from folders that each fit the name limit.
    fs::path deep = dir.path();
    while (deep.string().size() < 1300)
        deep /= std::string(200, 'd');
    fs::create_directories(deep);
    const fs::path paths[] = {deep / "song.wav", dir.file("caf\xE9-\xFF.wav")}; // the second is not UTF-8
    for (const auto& p : paths) {
        WriteWavBytes(p, 8000, 1, 16, pcm);
        TMxAudioFileReader r(p.string());
        EXPECT_EQ(ReadAll(r), pcm) << p.string().size();
    }
}

TEST_F(Decode, BadInputRaisesAClearErrorAndKeepsNothingOpen)
{
    const auto mp3 = Mp3Bytes(44100, 2, SineS16(44100, 44100, 2, 440), 128, true);
    const auto wav = WavBytes({}, S16Bytes(NoiseS16(1000, 2)));
    std::vector<uint8_t> noise(20000);
    std::mt19937 gen(5);
    for (auto& b : noise)
        b = static_cast<uint8_t>(gen());
    noise[0] = 0x42; // not the start of a frame sync by chance
    std::string text = "Playlist\nsong one.mp3\nsong two.mp3\n";
    std::vector<uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    png.resize(3000, 0x55);
    std::vector<uint8_t> hugeId3{'I', 'D', '3', 4, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F};
    hugeId3.insert(hugeId3.end(), mp3.begin(), mp3.end());

    std::vector<std::pair<std::string, std::vector<uint8_t>>> files = {
        {"zero.wav", {}},
        {"cut-header.wav", std::vector<uint8_t>(wav.begin(), wav.begin() + 30)},
        {"no-channels.wav", WavBytes({1, 0, 44100, 16, {}, -1}, std::vector<uint8_t>(400))},
        {"no-rate.wav", WavBytes({1, 2, 0, 16, {}, -1}, std::vector<uint8_t>(400))},
        {"noise.mp3", noise},
        {"text.mp3", std::vector<uint8_t>(text.begin(), text.end())},
        {"picture.mp3", png},
        {"huge-id3.mp3", hugeId3},
        {"one-frame.mp3", std::vector<uint8_t>(mp3.begin(), mp3.begin() + 500)}, // the header frame, cut
    };
    std::vector<fs::path> paths;
    for (auto& [name, bytes] : files)
        paths.push_back(Put(name, bytes));
    fs::create_directory(dir.file("folder.mp3"));
    paths.push_back(dir.file("folder.mp3"));
    ASSERT_EQ(mkfifo(dir.file("fifo.mp3").c_str(), 0600), 0);
    paths.push_back(dir.file("fifo.mp3"));
    fs::create_symlink(dir.file("gone.mp3"), dir.file("dangling.mp3"));
    paths.push_back(dir.file("dangling.mp3"));

    const int before = OpenDescriptors();
    for (const auto& p : paths) {
        try {
            TMxAudioFileReader r(p.string());
            ADD_FAILURE() << p.filename() << " opened";
        } catch (const EAudioReadError& e) {
            EXPECT_FALSE(e.Message().empty()) << p.filename();
            EXPECT_NE(e.Message(), "Unrecognized error value.") << p.filename();
            EXPECT_NE(e.ErrorCode(), 0u);
            // The library's words for a pipe or its internal checks never describe a regular file.
            if (fs::is_regular_file(p)) {
                EXPECT_EQ(e.Message().find("regular file"), std::string::npos) << p.filename() << e.Message();
            }
            EXPECT_EQ(e.Message().find("Internal error"), std::string::npos) << p.filename() << e.Message();
            std::cout << "    " << p.filename() << ": " << e.Message() << "\n";
        }
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(Decode, UnreadableFileRaises)
{
    auto f = dir.file("locked.wav");
    WriteWavS16(f, 8000, 1, NoiseS16(100, 1));
    chmod(f.c_str(), 0);
    if (geteuid() != 0) {
        EXPECT_THROW(TMxAudioFileReader r(f.string()), EAudioReadError);
        return;
    }
    // As root every file is readable: try as the unprivileged user in a child process.
    chmod(dir.path().c_str(), 0755);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int status = 3;
        if (setgid(65534) == 0 && setuid(65534) == 0) {
            try {
                TMxAudioFileReader r(f.string());
                status = 1;
            } catch (const EAudioReadError& e) {
                status = e.ErrorCode() == (MXAR_E_SYSTEM_BASE | EACCES) ? 0 : 2;
            }
        }
        _exit(status);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3)
        GTEST_SKIP() << "cannot become an unprivileged user";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(Decode, FileCutOrDeletedWhileReadingEndsCleanly)
{
    // Noise, long enough that the MP3s outgrow the reader's read-ahead (64 KiB).
    const auto tone = NoiseS16(44100 * 8, 2);
    const std::pair<std::string, std::vector<uint8_t>> files[] = {
        {"w.wav", WavBytes({}, S16Bytes(tone))},
        {"m.mp3", Mp3Bytes(44100, 2, tone, 128, true)},
        {"v.mp3", Mp3Bytes(44100, 2, tone, 0, false)},
    };
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        auto f = Put(name, bytes);
        std::vector<uint8_t> buf(44100);
        {
            TMxAudioFileReader r(f.string());
            ASSERT_EQ(r.Read(buf.data(), 44100), 44100u);
            fs::resize_file(f, bytes.size() / 2);
            size_t total = 44100;
            while (uint32_t n = r.Read(buf.data(), 44100))
                total += n;
            EXPECT_LT(total, 44100u * 8 * 4);
            EXPECT_NO_THROW(r.Seek(0));
            EXPECT_GT(r.Read(buf.data(), 44100), 0u);
        }
        WriteBytes(f, bytes);
        TMxAudioFileReader r(f.string());
        fs::remove(f);
        EXPECT_EQ(ReadAll(r).size() / 4, size_t(FramesOf(r)));
    }
}

TEST_F(Decode, StreamOfUnknownLengthIsMeasuredByWhatDecodes)
{
    // An Ogg Vorbis stream whose last page is damaged: the library cannot tell its length.
    auto file = dir.file("t.ogg");
    {
        SF_INFO info{};
        info.samplerate = 8000;
        info.channels = 1;
        info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
        SNDFILE* sf = sf_open(file.c_str(), SFM_WRITE, &info);
        ASSERT_NE(sf, nullptr);
        auto tone = SineS16(8000 * 3, 8000, 1, 440);
        sf_writef_short(sf, tone.data(), 8000 * 3);
        sf_close(sf);
    }
    auto bytes = ReadBytes(file);
    const std::string page = "OggS";
    auto last = std::find_end(bytes.begin(), bytes.end(), page.begin(), page.end());
    ASSERT_NE(last, bytes.end());
    last[3] = 'X';
    WriteBytes(file, bytes);
    TMxAudioFileReader r(file.string());
    EXPECT_LE(r.Duration(), 3 * kSecond);
    EXPECT_EQ(Frames(r, ReadAll(r).size()), FramesOf(r));
}

TEST_F(Decode, LosslessContainersComeOutAsTheirSamples)
{
    // Big-endian AIFF, signed 8-bit AIFF (delivered unsigned) and FLAC all give back what was written.
    const auto samples = NoiseS16(3000, 2, 9);
    std::vector<int16_t> coarse(samples);
    for (auto& s : coarse)
        s = static_cast<int16_t>(s & ~0xFF); // 8-bit resolution
    struct Case {
        const char* name;
        int format;
        int bits;
        const std::vector<int16_t>* source;
    };
    const Case cases[] = {{"a.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 16, &samples},
                          {"b.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_S8, 8, &coarse},
                          {"c.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 16, &samples}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto file = dir.file(c.name);
        SF_INFO info{};
        info.samplerate = 22050;
        info.channels = 2;
        info.format = c.format;
        SNDFILE* sf = sf_open(file.c_str(), SFM_WRITE, &info);
        ASSERT_NE(sf, nullptr);
        sf_writef_short(sf, c.source->data(), 3000);
        sf_close(sf);

        TMxAudioFileReader r(file.string());
        EXPECT_EQ(r.Format().wBitsPerSample, c.bits);
        std::vector<uint8_t> expect;
        if (c.bits == 16) {
            expect = S16Bytes(*c.source);
        } else {
            for (int16_t s : *c.source)
                expect.push_back(static_cast<uint8_t>((s >> 8) + 128));
        }
        EXPECT_EQ(ReadAll(r, 1000 * r.Format().nBlockAlign), expect);
    }
}
