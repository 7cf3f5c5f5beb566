// Decoding speed of the reader against the decoding library called directly on the same files, and the
// time to open a long VBR MP3 that carries no frame count (the open runs on the UI thread).
// The songs are generated at start-up into a temporary folder: 3 minutes of noisy tone as 128 kbit/s
// MP3 and as 16-bit WAV, and 10 minutes as VBR MP3 without the frame-count header.
#include "decode/MxAudioFileRead.h"

#include <benchmark/benchmark.h>
#include <lame/lame.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kRate = 44100;
constexpr uint32_t kBlock = 70560; // 400 ms of 44.1 kHz 16-bit stereo: one refill of a channel

std::vector<short> Music(int seconds)
{
    std::vector<short> s(static_cast<size_t>(seconds) * kRate * 2);
    std::mt19937 gen(1);
    std::uniform_real_distribution<double> noise(-2000, 2000);
    for (size_t f = 0; f < s.size() / 2; ++f) {
        // A tone whose loudness swells, so that a VBR encoder varies its frame sizes.
        const double t = double(f) / kRate;
        const double level = 6000 + 5000 * std::sin(2 * M_PI * t / 7);
        for (int c = 0; c < 2; ++c)
            s[2 * f + c] = static_cast<short>(level * std::sin(2 * M_PI * (220 + 110 * c) * t) + noise(gen));
    }
    return s;
}

void WriteMp3(const fs::path& file, const std::vector<short>& s, bool vbr)
{
    lame_t gf = lame_init();
    lame_set_in_samplerate(gf, kRate);
    lame_set_num_channels(gf, 2);
    lame_set_mode(gf, JOINT_STEREO);
    if (vbr)
        lame_set_VBR(gf, vbr_default);
    else
        lame_set_brate(gf, 128);
    lame_set_bWriteVbrTag(gf, vbr ? 0 : 1);
    lame_set_quality(gf, 7);
    if (lame_init_params(gf) < 0)
        throw std::runtime_error("lame_init_params failed");
    const int frames = static_cast<int>(s.size() / 2);
    std::vector<unsigned char> out(static_cast<size_t>(frames) + 7200);
    int n = lame_encode_buffer_interleaved(gf, const_cast<short*>(s.data()), frames, out.data(), int(out.size()));
    n += lame_encode_flush(gf, out.data() + n, int(out.size()) - n);
    if (!vbr) {
        unsigned char tag[2880];
        const size_t t = lame_get_lametag_frame(gf, tag, sizeof tag);
        std::copy(tag, tag + t, out.begin());
    }
    lame_close(gf);
    FILE* f = std::fopen(file.c_str(), "wb");
    std::fwrite(out.data(), 1, static_cast<size_t>(n), f);
    std::fclose(f);
}

void WriteWav(const fs::path& file, const std::vector<short>& s)
{
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* sf = sf_open(file.c_str(), SFM_WRITE, &info);
    sf_writef_short(sf, s.data(), static_cast<sf_count_t>(s.size() / 2));
    sf_close(sf);
}

struct TSongs {
    fs::path Dir, Mp3, Wav, LongVbr;
    TSongs()
    {
        char tmpl[] = "/tmp/duodeck-bench-decode-XXXXXX";
        Dir = mkdtemp(tmpl);
        Mp3 = Dir / "three.mp3";
        Wav = Dir / "three.wav";
        LongVbr = Dir / "ten-vbr.mp3";
        const auto three = Music(180);
        WriteMp3(Mp3, three, false);
        WriteWav(Wav, three);
        WriteMp3(LongVbr, Music(600), true);
    }
    ~TSongs() { fs::remove_all(Dir); }
};

const TSongs& Songs()
{
    static TSongs songs;
    return songs;
}

void ThroughReader(benchmark::State& state, const fs::path& file)
{
    std::vector<uint8_t> buf(kBlock);
    int64_t bytes = 0;
    for (auto _ : state) {
        TMxAudioFileReader r(file.string());
        while (uint32_t n = r.Read(buf.data(), kBlock))
            bytes += n;
    }
    state.SetBytesProcessed(bytes);
    state.counters["x_realtime"] =
        benchmark::Counter(double(bytes) / (kRate * 4), benchmark::Counter::kIsRate); // audio seconds per second
}

void ThroughLibrary(benchmark::State& state, const fs::path& file)
{
    std::vector<short> buf(kBlock / 2);
    int64_t bytes = 0;
    for (auto _ : state) {
        SF_INFO info{};
        SNDFILE* sf = sf_open(file.c_str(), SFM_READ, &info);
        sf_count_t n;
        while ((n = sf_readf_short(sf, buf.data(), kBlock / 4)) > 0)
            bytes += n * 4;
        sf_close(sf);
    }
    state.SetBytesProcessed(bytes);
    state.counters["x_realtime"] = benchmark::Counter(double(bytes) / (kRate * 4), benchmark::Counter::kIsRate);
}

void BM_Mp3_Reader(benchmark::State& s)
{
    ThroughReader(s, Songs().Mp3);
}
void BM_Mp3_Library(benchmark::State& s)
{
    ThroughLibrary(s, Songs().Mp3);
}
void BM_Wav_Reader(benchmark::State& s)
{
    ThroughReader(s, Songs().Wav);
}
void BM_Wav_Library(benchmark::State& s)
{
    ThroughLibrary(s, Songs().Wav);
}

void BM_OpenTenMinuteVbrMp3WithoutFrameCount(benchmark::State& state)
{
    int64_t duration = 0;
    for (auto _ : state) {
        TMxAudioFileReader r(Songs().LongVbr.string());
        duration = r.Duration();
    }
    state.counters["song_s"] = double(duration) / MX_UNITS_PER_SECOND;
}

} // namespace

// Reader and library alternate so that a change in machine load hits both alike.
BENCHMARK(BM_Mp3_Library)->Unit(benchmark::kMillisecond)->Repetitions(3);
BENCHMARK(BM_Mp3_Reader)->Unit(benchmark::kMillisecond)->Repetitions(3);
BENCHMARK(BM_Wav_Library)->Unit(benchmark::kMillisecond)->Repetitions(3);
BENCHMARK(BM_Wav_Reader)->Unit(benchmark::kMillisecond)->Repetitions(3);
BENCHMARK(BM_OpenTenMinuteVbrMp3WithoutFrameCount)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
