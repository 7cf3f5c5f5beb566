// Decoding speed per format, in multiples of real time: the reader, the decoding library called
// directly (its own 16-bit output), and ffmpeg decoding the same file to 16-bit in the same run
// (skipped with a message where ffmpeg is not installed). Also the time to open a long VBR MP3 that
// carries no frame count (the open runs on the UI thread).
// The songs are generated at start-up into a temporary folder: 3 minutes of a noisy, swelling
// stereo tone at 44.1 kHz (48 kHz for Opus) as 16-bit WAV, FLAC, 128 kbit/s MP3, Ogg Vorbis (q 0.5)
// and Opus (160 kbit/s), and 10 minutes as VBR MP3 without the frame-count header; where ffmpeg is
// installed also AAC in M4A and ADTS, ALAC, WMA, and Opus and Vorbis in WebM, made by its own encoders
// (the reader decodes those through FFmpeg's libraries: reader and ffmpeg only, no library column).
#include "decode/MxAudioFileRead.h"
#include "tests/decode/DecodeFiles.h"
#include "tests/support/Fixtures.h"

#include <benchmark/benchmark.h>
#include <mpg123.h>
#include <opusfile.h>
#include <sndfile.h>
#include <vorbis/vorbisfile.h>

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kBlock = 70560; // 400 ms of 44.1 kHz 16-bit stereo: one refill of a channel

std::vector<float> Music(int seconds, int rate)
{
    std::vector<float> s(static_cast<size_t>(seconds) * rate * 2);
    std::mt19937 gen(1);
    std::uniform_real_distribution<double> noise(-0.06, 0.06);
    for (size_t f = 0; f < s.size() / 2; ++f) {
        // A tone whose loudness swells, so that a VBR encoder varies its frame sizes.
        const double t = double(f) / rate;
        const double level = 0.18 + 0.15 * std::sin(2 * M_PI * t / 7);
        for (int c = 0; c < 2; ++c)
            s[2 * f + c] = static_cast<float>(level * std::sin(2 * M_PI * (220 + 110 * c) * t) + noise(gen));
    }
    return s;
}

std::vector<int16_t> S16(const std::vector<float>& f)
{
    std::vector<int16_t> s(f.size());
    for (size_t i = 0; i < f.size(); ++i)
        s[i] = static_cast<int16_t>(std::lrint(f[i] * 32767));
    return s;
}

void WriteSndfile(const fs::path& file, int format, const std::vector<int16_t>& s)
{
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = format;
    SNDFILE* sf = sf_open(file.c_str(), SFM_WRITE, &info);
    sf_writef_short(sf, s.data(), static_cast<sf_count_t>(s.size() / 2));
    sf_close(sf);
}

struct TSongs {
    fs::path Dir, Wav, Flac, Mp3, Vorbis, Opus, LongVbr, M4a, Adts, Alac, Wma, WebmOpus, WebmVorbis;
    TSongs()
    {
        char tmpl[] = "/tmp/duodeck-bench-decode-XXXXXX";
        Dir = mkdtemp(tmpl);
        const auto music = Music(180, 44100);
        const auto pcm = S16(music);
        Wav = Dir / "three.wav";
        WriteSndfile(Wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, pcm);
        Flac = Dir / "three.flac";
        WriteSndfile(Flac, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, pcm);
        Mp3 = Dir / "three.mp3";
        testsupport::WriteBytes(Mp3, decodetest::Mp3Bytes(44100, 2, pcm, 128, true));
        Vorbis = Dir / "three.ogg";
        testsupport::WriteBytes(Vorbis, decodetest::VorbisBytes(44100, 2, music));
        Opus = Dir / "three.opus";
        testsupport::WriteBytes(Opus, decodetest::OpusBytes(2, Music(180, 48000)));
        const auto encode = [this](const char* name, const char* options) {
            const fs::path out = Dir / name;
            const std::string command =
                "ffmpeg -nostdin -loglevel error -y -i '" + Wav.string() + "' " + options + " '" + out.string() + "'";
            if (std::system(command.c_str()) != 0)
                std::fprintf(stderr, "bench_decode: could not make %s\n", name);
            return out;
        };
        if (std::system("ffmpeg -version >/dev/null 2>&1") == 0) {
            M4a = encode("three.m4a", "-c:a aac -b:a 160k");
            Adts = encode("three.aac", "-c:a aac -b:a 160k -f adts");
            Alac = encode("three-alac.m4a", "-c:a alac");
            Wma = encode("three.wma", "-c:a wmav2 -b:a 160k");
            WebmOpus = encode("three-opus.webm", "-c:a libopus -b:a 160k");
            WebmVorbis = encode("three-vorbis.webm", "-c:a libvorbis -q:a 5");
        }
        LongVbr = Dir / "ten-vbr.mp3";
        testsupport::WriteBytes(LongVbr, decodetest::Mp3Bytes(44100, 2, S16(Music(600, 44100)), 0, false));
    }
    ~TSongs() { fs::remove_all(Dir); }
};

const TSongs& Songs()
{
    static TSongs songs;
    return songs;
}

// Counts the audio decoded (in seconds) per second of processor time: on a shared, loaded machine the
// processor time of each decoder compares them, where wall time would measure the other loads.
void Report(benchmark::State& state, double audioSeconds)
{
    state.counters["x_realtime"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
}

void Reader(benchmark::State& state, const fs::path& file)
{
    std::vector<uint8_t> buf(kBlock);
    double seconds = 0;
    for (auto _ : state) {
        TMxAudioFileReader r(file.string());
        while (r.Read(buf.data(), kBlock)) {
        }
        seconds += double(r.Duration()) / MX_UNITS_PER_SECOND;
    }
    Report(state, seconds);
}

// The libraries alone, each the way it is usually called for 16-bit output.
double SndfileAlone(const fs::path& file)
{
    std::vector<short> buf(kBlock / 2);
    SF_INFO info{};
    SNDFILE* sf = sf_open(file.c_str(), SFM_READ, &info);
    sf_count_t frames = 0, n;
    while ((n = sf_readf_short(sf, buf.data(), kBlock / 4)) > 0)
        frames += n;
    sf_close(sf);
    return double(frames) / info.samplerate;
}

double Mpg123Alone(const fs::path& file)
{
    mpg123_handle* h = mpg123_new(nullptr, nullptr);
    mpg123_param(h, MPG123_FLAGS, MPG123_GAPLESS | MPG123_QUIET, 0);
    mpg123_open(h, file.c_str());
    long rate = 0;
    int channels = 0, enc = 0;
    mpg123_getformat(h, &rate, &channels, &enc);
    std::vector<unsigned char> buf(kBlock);
    size_t done = 0, total = 0;
    while (mpg123_read(h, buf.data(), buf.size(), &done) == MPG123_OK)
        total += done;
    total += done;
    mpg123_close(h);
    mpg123_delete(h);
    return double(total) / (2.0 * channels * rate);
}

double VorbisAlone(const fs::path& file)
{
    OggVorbis_File vf;
    ov_fopen(file.c_str(), &vf);
    std::vector<char> buf(kBlock);
    int link = 0;
    long n, total = 0;
    while ((n = ov_read(&vf, buf.data(), static_cast<int>(buf.size()), 0, 2, 1, &link)) > 0)
        total += n;
    const double seconds = double(total) / (4.0 * ov_info(&vf, 0)->rate);
    ov_clear(&vf);
    return seconds;
}

double OpusAlone(const fs::path& file)
{
    OggOpusFile* of = op_open_file(file.c_str(), nullptr);
    std::vector<opus_int16> buf(kBlock / 2);
    int n;
    long total = 0;
    while ((n = op_read_stereo(of, buf.data(), static_cast<int>(buf.size()))) > 0)
        total += n;
    op_free(of);
    return double(total) / 48000;
}

void Library(benchmark::State& state, double (*decode)(const fs::path&), const fs::path& file)
{
    double seconds = 0;
    for (auto _ : state)
        seconds += decode(file);
    Report(state, seconds);
}

bool HaveFfmpeg()
{
    static const bool have = std::system("ffmpeg -version >/dev/null 2>&1") == 0;
    return have;
}

void Ffmpeg(benchmark::State& state, const fs::path& file, double songSeconds)
{
    if (!HaveFfmpeg()) {
        state.SkipWithError("ffmpeg is not installed: no comparison (apt-get install ffmpeg)");
        return;
    }
    const std::string command =
        "ffmpeg -nostdin -loglevel error -threads 1 -i '" + file.string() + "' -f s16le -y /dev/null";
    double seconds = 0;
    for (auto _ : state) {
        // ffmpeg's processor time: what its process used, as the children's usage grows by it.
        rusage before{}, after{};
        getrusage(RUSAGE_CHILDREN, &before);
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("ffmpeg failed");
            return;
        }
        getrusage(RUSAGE_CHILDREN, &after);
        const auto cpu = [](const rusage& u) {
            return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                   1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
        };
        state.SetIterationTime(cpu(after) - cpu(before));
        seconds += songSeconds;
    }
    Report(state, seconds);
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

// Per format: the library, the reader and ffmpeg one after the other, so that a change in machine
// load hits all three alike.
void Register(const char* name, const fs::path TSongs::*file, double (*alone)(const fs::path&))
{
    const auto songFile = [file] { return Songs().*file; };
    benchmark::RegisterBenchmark((std::string(name) + "/library").c_str(),
                                 [=](benchmark::State& s) { Library(s, alone, songFile()); })
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(3)
        ->ReportAggregatesOnly(true);
    benchmark::RegisterBenchmark((std::string(name) + "/reader").c_str(),
                                 [=](benchmark::State& s) { Reader(s, songFile()); })
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(3)
        ->ReportAggregatesOnly(true);
    benchmark::RegisterBenchmark((std::string(name) + "/ffmpeg").c_str(),
                                 [=](benchmark::State& s) { Ffmpeg(s, songFile(), 180); })
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Repetitions(3)
        ->ReportAggregatesOnly(true);
}

// FFmpeg's kinds: the reader and ffmpeg one after the other.
void RegisterFfmpegKind(const char* name, const fs::path TSongs::*file)
{
    const auto songFile = [file] { return Songs().*file; };
    benchmark::RegisterBenchmark((std::string(name) + "/reader").c_str(),
                                 [=](benchmark::State& s) {
                                     if (songFile().empty())
                                         s.SkipWithError("ffmpeg is not installed: no file of this kind");
                                     else
                                         Reader(s, songFile());
                                 })
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(3)
        ->ReportAggregatesOnly(true);
    benchmark::RegisterBenchmark((std::string(name) + "/ffmpeg").c_str(),
                                 [=](benchmark::State& s) { Ffmpeg(s, songFile(), 180); })
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Repetitions(3)
        ->ReportAggregatesOnly(true);
}

} // namespace

int main(int argc, char** argv)
{
    Register("Wav", &TSongs::Wav, SndfileAlone);
    Register("Flac", &TSongs::Flac, SndfileAlone);
    Register("Mp3", &TSongs::Mp3, Mpg123Alone);
    Register("Vorbis", &TSongs::Vorbis, VorbisAlone);
    Register("Opus", &TSongs::Opus, OpusAlone);
    RegisterFfmpegKind("M4aAac", &TSongs::M4a);
    RegisterFfmpegKind("Adts", &TSongs::Adts);
    RegisterFfmpegKind("Alac", &TSongs::Alac);
    RegisterFfmpegKind("Wma", &TSongs::Wma);
    RegisterFfmpegKind("WebmOpus", &TSongs::WebmOpus);
    RegisterFfmpegKind("WebmVorbis", &TSongs::WebmVorbis);
    benchmark::RegisterBenchmark("OpenTenMinuteVbrMp3WithoutFrameCount", BM_OpenTenMinuteVbrMp3WithoutFrameCount)
        ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
