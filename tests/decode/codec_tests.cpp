// Each codec through its own library: lengths as the encoder was given them, loud masters clipped
// rather than wrapped, seeks that give what a straight decode gives, chained Ogg streams.
#include "decode/MxAudioFileRead.h"
#include "tests/decode/DecodeFiles.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <random>

using namespace testsupport;
using namespace decodetest;
namespace fs = std::filesystem;

namespace {

constexpr int64_t kSecond = MX_UNITS_PER_SECOND;

std::vector<int16_t> ReadS16(TMxAudioFileReader& r, uint32_t block = 4096 * 4)
{
    std::vector<int16_t> out;
    std::vector<uint8_t> buf(block);
    while (uint32_t n = r.Read(buf.data(), block)) {
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

// A tone per channel (440 Hz, 660 Hz...) at `level` of full scale, hard clipped at full scale when
// the level is above it: the shape of a loud master, whose decoded peaks overshoot full scale.
std::vector<float> Tones(int frames, int rate, int channels, double level, double seconds0 = 0)
{
    std::vector<float> s(static_cast<size_t>(frames) * channels);
    for (int f = 0; f < frames; ++f)
        for (int c = 0; c < channels; ++c) {
            const double t = seconds0 + double(f) / rate;
            const double v = level * std::sin(2 * M_PI * (440 + 220 * c) * t);
            s[static_cast<size_t>(f) * channels + c] = static_cast<float>(std::clamp(v, -1.0, 1.0));
        }
    return s;
}

std::vector<int16_t> ToS16(const std::vector<float>& f)
{
    std::vector<int16_t> s(f.size());
    for (size_t i = 0; i < f.size(); ++i)
        s[i] = static_cast<int16_t>(std::lrint(std::clamp(f[i] * 32767.0f, -32768.0f, 32767.0f)));
    return s;
}

struct TLossy {
    const char* Name;
    int Rate;
    std::vector<uint8_t> (*Make)(int rate, int channels, const std::vector<float>& samples);
};
const TLossy kLossy[] = {
    {"mp3", 44100,
     [](int rate, int ch, const std::vector<float>& s) { return Mp3Bytes(rate, ch, ToS16(s), 192, true); }},
    {"ogg", 44100, [](int rate, int ch, const std::vector<float>& s) { return VorbisBytes(rate, ch, s); }},
    {"opus", 48000, [](int, int ch, const std::vector<float>& s) { return OpusBytes(ch, s); }},
};

class Codec : public ::testing::Test {
protected:
    TempDir dir;
    std::string Put(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        WriteBytes(dir.file(name), bytes);
        return dir.file(name).string();
    }
};

} // namespace

TEST_F(Codec, LossyLengthsAreWhatTheEncoderWasGiven)
{
    const int frames = 3 * 44100 + 1234;
    for (const auto& c : kLossy) {
        for (int channels : {1, 2}) {
            SCOPED_TRACE(testing::Message() << c.Name << " " << channels << " ch");
            TMxAudioFileReader r(
                Put(std::string("len.") + c.Name, c.Make(c.Rate, channels, Tones(frames, c.Rate, channels, 0.5))));
            EXPECT_EQ(r.Format().nSamplesPerSec, unsigned(c.Rate));
            EXPECT_EQ(r.Format().nChannels, channels);
            EXPECT_EQ(FramesOf(r), frames);
            EXPECT_EQ(static_cast<int64_t>(ReadS16(r).size()) / channels, frames);
        }
    }
    // MP3 with CRC-protected frames and the encoder's gapless tag (`lame -p`): its delay and padding go.
    const auto tone = SineS16(frames, 44100, 2, 440);
    TMxAudioFileReader crc(Put("crc.mp3", Mp3Bytes(44100, 2, tone, 128, true, true)));
    EXPECT_EQ(FramesOf(crc), frames);
    const auto pcm = ReadS16(crc);
    ASSERT_EQ(pcm.size(), tone.size());
    // Gapless means in time, too: the decoded tone lines up with the source.
    double err = 0, ref = 0;
    for (size_t i = 4096; i < pcm.size() - 4096; ++i) {
        err += std::pow(pcm[i] - tone[i], 2);
        ref += std::pow(tone[i], 2);
    }
    EXPECT_LT(err / ref, 0.01);
    // Without the tag every decoded sample stays, the decoder's first 529 included.
    TMxAudioFileReader plain(Put("plain.mp3", Mp3Bytes(44100, 2, tone, 128, false)));
    EXPECT_EQ(FramesOf(plain) % 1152, 0);
    EXPECT_EQ(static_cast<int64_t>(ReadS16(plain).size() / 2), FramesOf(plain));
    // The same MP3 inside a RIFF WAVE (format tag 0x55): the length of its frames, not the header's guess.
    auto mp3 = Mp3Bytes(44100, 2, tone, 128, true);
    std::vector<uint8_t> fmt{0x55, 0, 2, 0, 0x44, 0xAC, 0, 0, 0, 0x7D, 0, 0, 1, 0, 0, 0, 0, 0};
    auto wav = WavBytes({}, {});
    wav.resize(12); // RIFF size WAVE
    for (const auto& chunk : {Chunk("fmt ", fmt), Chunk("data", mp3)})
        wav.insert(wav.end(), chunk.begin(), chunk.end());
    const uint32_t riff = static_cast<uint32_t>(wav.size() - 8);
    std::memcpy(wav.data() + 4, &riff, 4);
    TMxAudioFileReader inWav(Put("mp3-in.wav", wav));
    EXPECT_EQ(FramesOf(inWav), frames);
    EXPECT_EQ(static_cast<int64_t>(ReadS16(inWav).size() / 2), frames);
}

TEST_F(Codec, LoudMastersClipInsteadOfWrapping)
{
    for (const auto& c : kLossy) {
        SCOPED_TRACE(c.Name);
        // Tones 26 dB above full scale, clipped flat, nearly square: decoders overshoot on every flat top.
        const auto source = Tones(c.Rate * 3, c.Rate, 2, 20.0);
        TMxAudioFileReader r(Put(std::string("loud.") + c.Name, c.Make(c.Rate, 2, source)));
        const auto pcm = ReadS16(r);
        ASSERT_EQ(pcm.size(), source.size());
        // A wrap turns a flat top into full scale of the other sign; the decoders here are gapless, so
        // each decoded sample lines up with its source sample. Edges (±3 samples) are left out.
        int flips = 0, saturated = 0;
        for (size_t i = 6; i + 6 < pcm.size(); ++i) {
            bool flat = true;
            for (int k = -3; k <= 3; ++k)
                flat = flat && source[i + 2 * k] * source[i] > 0 && std::abs(source[i + 2 * k]) == 1.0f;
            if (flat && (pcm[i] > 0) != (source[i] > 0))
                ++flips;
            saturated += pcm[i] == 32767 || pcm[i] == -32768;
        }
        EXPECT_EQ(flips, 0);
        EXPECT_GT(saturated, 100) << "the decoder did not overshoot: the test proves nothing";
    }
}

TEST_F(Codec, SeeksAfterSeeksGiveWhatAStraightDecodeGives)
{
    struct Case {
        std::string name;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases;
    const auto music = Tones(44100 * 6, 44100, 2, 0.6);
    for (const auto& c : kLossy)
        cases.push_back({std::string("seek.") + c.Name,
                         c.Make(c.Rate, 2, c.Rate == 44100 ? music : Tones(48000 * 6, 48000, 2, 0.6))});
    // Codecs that libsndfile cannot seek in: Seek decodes forward to the place.
    for (int format : {SF_FORMAT_WAV | SF_FORMAT_GSM610, SF_FORMAT_AIFF | SF_FORMAT_DWVW_16}) {
        const auto file = dir.file("s.tmp");
        SF_INFO info{};
        info.samplerate = 8000;
        info.channels = 1;
        info.format = format;
        SNDFILE* sf = sf_open(file.c_str(), SFM_WRITE, &info);
        ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
        const auto s = ToS16(Tones(8000 * 6, 8000, 1, 0.5));
        sf_writef_short(sf, s.data(), static_cast<sf_count_t>(s.size()));
        sf_close(sf);
        cases.push_back({format & SF_FORMAT_GSM610 ? "gsm.wav" : "dwvw.aiff", ReadBytes(file)});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TMxAudioFileReader r(Put(c.name, c.bytes));
        const auto all = ReadS16(r);
        const int ch = r.Format().nChannels;
        const int rate = static_cast<int>(r.Format().nSamplesPerSec);
        ASSERT_EQ(static_cast<int64_t>(all.size() / ch), FramesOf(r));
        std::mt19937 gen(3);
        std::uniform_int_distribution<int64_t> when(0, r.Duration());
        std::uniform_int_distribution<int> blocks(1, 8);
        std::vector<uint8_t> buf(1000 * 2 * ch);
        for (int i = 0; i < 25; ++i) {
            const int64_t t = i == 0 ? 0 : when(gen);
            r.Seek(t);
            int64_t frame = (t * rate + kSecond - 1) / kSecond; // the first frame at or after t
            for (int b = blocks(gen); b > 0; --b) {             // then a few reads before the next seek
                const uint32_t n = r.Read(buf.data(), static_cast<uint32_t>(buf.size()));
                const size_t expect = std::min<size_t>(buf.size(), (all.size() - static_cast<size_t>(frame * ch)) * 2);
                ASSERT_EQ(n, expect) << "seek " << i << " to " << t;
                ASSERT_EQ(0, std::memcmp(buf.data(), all.data() + frame * ch, n)) << "seek " << i << " to " << t;
                frame += n / (2 * ch);
            }
        }
    }
}

TEST_F(Codec, ChainedOggPlaysEveryLink)
{
    // Vorbis: a stereo link, then a mono one (mixed up to stereo); Opus: the same at 48 kHz.
    const int a = 44100 * 2 + 100, b = 44100 + 7;
    auto vorbis = VorbisBytes(44100, 2, Tones(a, 44100, 2, 0.5), 1);
    const auto second = VorbisBytes(44100, 1, Tones(b, 44100, 1, 0.5), 2);
    vorbis.insert(vorbis.end(), second.begin(), second.end());
    auto opus = OpusBytes(2, Tones(a, 48000, 2, 0.5), 1);
    const auto opus2 = OpusBytes(1, Tones(b, 48000, 1, 0.5), 2);
    opus.insert(opus.end(), opus2.begin(), opus2.end());
    // Files joined by a script: both links under one serial number, which the libraries take for one stream.
    auto sameVorbis = VorbisBytes(44100, 2, Tones(a, 44100, 2, 0.5), 1);
    const auto sameVorbis2 = VorbisBytes(44100, 1, Tones(b, 44100, 1, 0.5), 1);
    sameVorbis.insert(sameVorbis.end(), sameVorbis2.begin(), sameVorbis2.end());
    auto sameOpus = OpusBytes(2, Tones(a, 48000, 2, 0.5), 1);
    const auto sameOpus2 = OpusBytes(1, Tones(b, 48000, 1, 0.5), 1);
    sameOpus.insert(sameOpus.end(), sameOpus2.begin(), sameOpus2.end());
    for (const auto& [name, bytes] : {std::pair{"chain.ogg", vorbis}, std::pair{"chain.opus", opus},
                                      std::pair{"same.ogg", sameVorbis}, std::pair{"same.opus", sameOpus}}) {
        SCOPED_TRACE(name);
        TMxAudioFileReader r(Put(name, bytes));
        EXPECT_EQ(r.Format().nChannels, 2);
        EXPECT_EQ(FramesOf(r), a + b);
        const auto pcm = ReadS16(r);
        ASSERT_EQ(static_cast<int64_t>(pcm.size() / 2), a + b);
        // The second link's 440 Hz in both channels, at its level.
        const std::vector<int16_t> tail(pcm.begin() + (a + 4000) * 2, pcm.end() - 4000);
        const int rate = static_cast<int>(r.Format().nSamplesPerSec);
        EXPECT_NEAR(ToneLevel(tail, 2, 0, rate, 440), 16384, 1500);
        EXPECT_NEAR(ToneLevel(tail, 2, 1, rate, 440), 16384, 1500);
        // A seek into the second link.
        const int64_t t = static_cast<int64_t>(a + 100) * kSecond / rate + 1;
        r.Seek(t);
        std::vector<uint8_t> buf(400);
        ASSERT_EQ(r.Read(buf.data(), 400), 400u);
        EXPECT_EQ(0, std::memcmp(buf.data(), pcm.data() + (t * rate + kSecond - 1) / kSecond * 2, 400));
    }
    // A link in another rate ends the song there.
    auto mixed = VorbisBytes(44100, 2, Tones(a, 44100, 2, 0.5), 1);
    const auto slow = VorbisBytes(22050, 2, Tones(b, 22050, 2, 0.5), 2);
    mixed.insert(mixed.end(), slow.begin(), slow.end());
    TMxAudioFileReader r(Put("rates.ogg", mixed));
    EXPECT_EQ(FramesOf(r), a);
    EXPECT_EQ(static_cast<int64_t>(ReadS16(r).size() / 2), a);
}

TEST_F(Codec, KindsNoLibraryHereDecodesAreNamed)
{
    std::vector<uint8_t> m4a{0, 0, 0, 0x20, 'f', 't', 'y', 'p', 'M', '4', 'A', ' ', 0, 0, 0, 0};
    std::vector<uint8_t> webm{0x1A, 0x45, 0xDF, 0xA3, 0x9F, 0x42, 0x86, 0x81, 0x01};
    std::vector<uint8_t> adts{0xFF, 0xF1, 0x50, 0x80, 0x02, 0x1F, 0xFC}; // AAC-LC, 44.1 kHz, stereo
    // An Ogg page whose first packet is FLAC's mapping header.
    std::vector<uint8_t> oggFlac{'O',  'g', 'g', 'S', 0,   2, 0, 0, 0, 0,   0,   0,   0,  0,
                                 1,    0,   0,   0,   0,   0, 0, 0, 0, 0,   0,   0,   1,  51,
                                 0x7F, 'F', 'L', 'A', 'C', 1, 0, 0, 1, 'f', 'L', 'a', 'C'};
    for (auto* f : {&m4a, &webm, &adts, &oggFlac})
        f->resize(4000, 0x11);
    const std::tuple<const char*, std::vector<uint8_t>, const char*> cases[] = {{"a.m4a", m4a, "MPEG-4"},
                                                                                {"a.webm", webm, "WebM"},
                                                                                {"a.aac", adts, "AAC"},
                                                                                {"a.oga", oggFlac, "FLAC in an Ogg"}};
    for (const auto& [name, bytes, kind] : cases) {
        try {
            TMxAudioFileReader r(Put(name, bytes));
            ADD_FAILURE() << name << " opened";
        } catch (const EAudioReadError& e) {
            EXPECT_NE(e.Message().find(kind), std::string::npos) << name << ": " << e.Message();
            EXPECT_EQ(e.Message(), AMErrorText(e.ErrorCode()));
        }
    }
}

TEST_F(Codec, PlayableOutputIsStereo16BitAtMost100kHz)
{
    // Six channels of 24 bits at 192 kHz: a tone on the front left, another on the front right.
    const int rate = 192000, frames = rate;
    std::vector<uint8_t> data;
    for (int f = 0; f < frames; ++f)
        for (int c = 0; c < 6; ++c) {
            const double v = c == 0   ? std::sin(2 * M_PI * 440 * f / rate)
                             : c == 1 ? std::sin(2 * M_PI * 1000 * f / rate)
                                      : 0;
            const auto s = static_cast<int32_t>(std::lrint(v * 0.9 * 8388607));
            for (int k = 0; k < 3; ++k)
                data.push_back(static_cast<uint8_t>(s >> (8 * k)));
        }
    const auto file = Put("six.wav", WavBytes({1, 6, rate, 24, {}, -1}, data));
    TMxAudioFileReader asIs(file);
    EXPECT_EQ(asIs.Format().nChannels, 6);
    EXPECT_EQ(asIs.Format().wBitsPerSample, 24);
    TMxAudioFileReader r(file, TMxReaderOutput::Playable);
    EXPECT_EQ(r.Format().nChannels, 2);
    EXPECT_EQ(r.Format().wBitsPerSample, 16);
    EXPECT_EQ(r.Format().nSamplesPerSec, 96000u);
    EXPECT_EQ(r.Format().nBlockAlign, 4);
    EXPECT_EQ(FramesOf(r), frames / 2);
    EXPECT_EQ(r.Duration(), asIs.Duration());
    const auto pcm = ReadS16(r);
    ASSERT_EQ(static_cast<int64_t>(pcm.size() / 2), frames / 2);
    const double level = 0.9 * 32768 / (1 + 2 * 0.70710678); // front left/right over the normalised 5.1 fold
    EXPECT_NEAR(ToneLevel(pcm, 2, 0, 96000, 440), level, level * 0.02);
    EXPECT_NEAR(ToneLevel(pcm, 2, 1, 96000, 1000), level, level * 0.02);
    EXPECT_LT(ToneLevel(pcm, 2, 0, 96000, 1000), level * 0.01);
}
