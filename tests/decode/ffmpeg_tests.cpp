// The kinds FFmpeg decodes, each made at test time by FFmpeg's own encoders from one generated source:
// the length the container states, the source at the expected lag, seeks that give what a straight
// decode gives, and a file cut short that plays up to the cut.
#include "decode/MxAudioFileRead.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr int64_t kSecond = MX_UNITS_PER_SECOND;
constexpr int kFrames = 3 * 44100 + 1234; // of the source, at its rate

struct TKind {
    const char* Name;
    const char* File;
    const char* Encoder; // ffmpeg's output options
    int Rate;
    int Lag; // where the source's frame 0 lands in the decode
    int64_t (*Length)(int64_t source);
};

const TKind kKinds[] = {
    // The edit list removes the encoder's 1024 frames of priming and its padding. Its duration counts
    // in the movie's time scale, which must be the rate for a length exact to the frame.
    {"M4aAac", "a.m4a", "-c:a aac -aac_pns 0 -b:a 160k -movie_timescale 44100 -movflags +faststart", 44100, 0,
     [](int64_t n) { return n; }},
    // No edit list; iTunes's gapless tag (priming 1024, then the length) says the same.
    {"M4aItunesTag", "t.m4a",
     "-c:a aac -aac_pns 0 -b:a 160k -use_editlist 0 -movflags +faststart+use_metadata_tags "
     "-metadata iTunSMPB=' 00000000 00000400 00000000 000000000002099E'",
     44100, 0, [](int64_t n) { return n; }},
    // ADTS states neither priming nor padding: every decoded frame stays, as for MP3 without its tag.
    {"Adts", "a.aac", "-c:a aac -aac_pns 0 -b:a 160k -f adts", 44100, 1024,
     [](int64_t n) { return (n + 1024 + 1023) / 1024 * 1024; }},
    {"Alac", "l.m4a", "-c:a alac -movflags +faststart", 44100, 0, [](int64_t n) { return n; }},
    // FFmpeg's WMA encoder writes no priming and drops the last partial frame.
    {"Wma", "a.wma", "-c:a wmav2 -b:a 160k", 44100, 0, [](int64_t n) { return n / 2048 * 2048; }},
    // The codec delay is the pre-skip; the discard padding trims the end.
    {"WebmOpus", "a.webm", "-c:a libopus -b:a 160k", 48000, 0, [](int64_t n) { return n; }},
};
void PrintTo(const TKind& kind, std::ostream* os)
{
    *os << kind.Name;
}
static_assert(kFrames == 0x2099E, "the iTunes tag above states the source's length");

std::vector<int16_t> ReadS16(TMxAudioFileReader& r)
{
    std::vector<int16_t> out;
    std::vector<uint8_t> buf(4096 * 4);
    while (uint32_t n = r.Read(buf.data(), static_cast<uint32_t>(buf.size()))) {
        const size_t at = out.size();
        out.resize(at + n / 2);
        std::memcpy(out.data() + at, buf.data(), n);
    }
    return out;
}

int64_t FramesOf(const TMxAudioFileReader& r)
{
    return (r.Duration() * r.Format().nSamplesPerSec + kSecond - 1) / kSecond; // Duration is truncated
}

// A rising sweep in the left channel and a falling one in the right: no period, so the correlation
// has one peak.
std::vector<int16_t> Sweeps(int frames, int rate)
{
    std::vector<int16_t> s(static_cast<size_t>(frames) * 2);
    const double seconds = double(frames) / rate;
    for (int f = 0; f < frames; ++f) {
        const double t = double(f) / rate;
        const double up = 2 * M_PI * (100 * t + (4000 - 100) * t * t / (2 * seconds));
        const double down = 2 * M_PI * (3000 * t - (3000 - 200) * t * t / (2 * seconds));
        s[2 * f] = static_cast<int16_t>(std::lrint(10000 * std::sin(up)));
        s[2 * f + 1] = static_cast<int16_t>(std::lrint(10000 * std::sin(down)));
    }
    return s;
}

// The lag of `decoded` against `source` (left channels) with the largest correlation, within ±3000.
int BestLag(const std::vector<int16_t>& source, const std::vector<int16_t>& decoded)
{
    int best = 0;
    double bestSum = -1e300;
    const int64_t from = 40000, to = 44000;
    for (int lag = -3000; lag <= 3000; ++lag) {
        double sum = 0;
        for (int64_t i = from; i < to; ++i)
            if (const int64_t j = i + lag; j >= 0 && static_cast<size_t>(2 * j) < decoded.size())
                sum += double(source[2 * i]) * decoded[2 * j];
        if (sum > bestSum) {
            bestSum = sum;
            best = lag;
        }
    }
    return best;
}

class FfmpegKinds : public ::testing::TestWithParam<TKind> {
protected:
    static void SetUpTestSuite()
    {
        if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
            GTEST_FAIL() << "ffmpeg is needed to make the files (scripts/bootstrap installs it)";
    }
    TempDir dir;
};

} // namespace

TEST_P(FfmpegKinds, ExactLengthAlignmentSeeksAndACutFile)
{
    const TKind& k = GetParam();
    const int frames = static_cast<int>(int64_t(kFrames) * k.Rate / 44100);
    const auto source = Sweeps(frames, k.Rate);
    WriteWavS16(dir.file("source.wav"), k.Rate, 2, source);
    const fs::path file = dir.file(k.File);
    const std::string command = "ffmpeg -nostdin -loglevel error -y -i '" + dir.file("source.wav").string() + "' " +
                                k.Encoder + " '" + file.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    TMxAudioFileReader r(file.string());
    ASSERT_EQ(r.Format().nSamplesPerSec, unsigned(k.Rate));
    ASSERT_EQ(r.Format().nChannels, 2);
    const int64_t length = k.Length(frames);
    EXPECT_EQ(FramesOf(r), length) << "before playing";
    const auto all = ReadS16(r);
    ASSERT_EQ(static_cast<int64_t>(all.size() / 2), length) << "decoded";
    EXPECT_EQ(BestLag(source, all), k.Lag);
    if (k.Name == std::string("Alac")) { // lossless: the source itself
        EXPECT_TRUE(all == source);
    }

    std::mt19937 gen(7);
    std::uniform_int_distribution<int64_t> when(0, r.Duration());
    std::vector<uint8_t> buf(3000 * 4);
    for (int i = 0; i < 30; ++i) {
        const int64_t t = when(gen);
        r.Seek(t);
        const int64_t frame = (t * k.Rate + kSecond - 1) / kSecond; // the first frame at or after t
        const uint32_t n = r.Read(buf.data(), static_cast<uint32_t>(buf.size()));
        ASSERT_EQ(n, std::min<size_t>(buf.size(), (all.size() - static_cast<size_t>(frame * 2)) * 2))
            << "seek to " << t;
        ASSERT_EQ(0, std::memcmp(buf.data(), all.data() + frame * 2, n)) << "seek " << i << " to frame " << frame;
    }

    // Cut at 60 %: what is left plays as the whole file played it, up to the cut.
    auto bytes = ReadBytes(file);
    bytes.resize(bytes.size() * 6 / 10);
    WriteBytes(dir.file("cut"), bytes);
    TMxAudioFileReader cut(dir.file("cut").string());
    const auto part = ReadS16(cut);
    EXPECT_LE(static_cast<int64_t>(part.size() / 2), FramesOf(cut));
    EXPECT_GT(part.size(), all.size() / 2);
    ASSERT_LE(part.size(), all.size());
    const size_t same = all.size() * 4 / 10;
    EXPECT_TRUE(std::equal(part.begin(), part.begin() + static_cast<std::ptrdiff_t>(same), all.begin()));
}

INSTANTIATE_TEST_SUITE_P(Decode, FfmpegKinds, ::testing::ValuesIn(kKinds),
                         [](const testing::TestParamInfo<TKind>& info) { return std::string(info.param.Name); });
