// Tempo analysis. First a 5-minute song (a kick and hat pattern at 128 BPM, as WAV and as MP3):
// the whole analysis from the file, in CPU seconds and as a multiple of real time, against aubio
// alone on the same decoded audio — the onset strength the analysis asks aubio for, and aubio's own beat tracker for
// comparison. Then the whole program on an X server, playing a tone on each deck through a private
// sound server while it analyses a playlist of 50 songs in the background: its CPU as a share of
// one core while it analyses and afterwards, the time the 50 songs take, and the dropouts heard on
// the server's monitor (10 ms stretches in which either deck's tone falls below half its level).
// Run under xvfb-run (the program part skips without a display or without PulseAudio).
#include "bench/ProcessCpu.h"
#include "decks/Tempo.h"
#include "decode/MxAudioFileRead.h"
#include "tests/decks/BeatPattern.h"
#include "tests/support/Fixtures.h"
#include "tests/support/SoundServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <aubio/aubio.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int Rate = 44100;
constexpr double SongSeconds = 300;

struct Songs {
    testsupport::TempDir Dir;
    std::filesystem::path Wav = Dir.file("song.wav"), Mp3 = Dir.file("song.mp3");
    std::vector<float> Mono; // the decoded song, as the analysis sees it
    Songs()
    {
        const std::vector<int16_t> pcm = beatpattern::KickHat(Rate, SongSeconds, 128);
        testsupport::WriteWavS16(Wav, Rate, 1, pcm);
        testsupport::WriteMp3S16(Mp3, Rate, 1, pcm);
        for (int16_t s : pcm)
            Mono.push_back(s / 32768.0f);
    }
};

Songs& TheSongs()
{
    static Songs songs;
    return songs;
}

// The time of a stretch is its thread's CPU time: on a machine shared with other work the wall
// time mostly measures the others (the program runs its analysis at the lowest priority anyway).
double ThreadCpu()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

void Report(benchmark::State& state, double cpuSeconds)
{
    state.SetIterationTime(cpuSeconds);
    state.counters["x_realtime"] = SongSeconds / cpuSeconds;
    state.counters["cpu_ms_per_song_minute"] = cpuSeconds * 1000 / (SongSeconds / 60);
}

double Since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_AnalyseFile(benchmark::State& state)
{
    const auto& path = state.range(0) ? TheSongs().Mp3 : TheSongs().Wav;
    for (auto _ : state) {
        const double start = ThreadCpu();
        const TTempo tempo = AnalyseTempoFile(path.string());
        Report(state, ThreadCpu() - start);
        state.counters["bpm"] = tempo.Steady() ? tempo.Sections[0].Bpm : 0;
    }
}

// The analysis from audio decoded beforehand: aubio's onset strength and the grid fitted to it.
void BM_AnalyseDecoded(benchmark::State& state)
{
    const std::vector<float>& mono = TheSongs().Mono;
    for (auto _ : state) {
        const double start = ThreadCpu();
        TOnsetStrength onsets(Rate);
        onsets.Feed(mono.data(), mono.size());
        const TTempo tempo = TempoFromOnsets(onsets.Values(), onsets.HopSeconds(), onsets.Offset());
        Report(state, ThreadCpu() - start);
        state.counters["bpm"] = tempo.Steady() ? tempo.Sections[0].Bpm : 0;
    }
}

// The waveform summary alone, which the analysis makes in the same pass, on the same decoded audio.
void BM_WaveSummaryDecoded(benchmark::State& state)
{
    const std::vector<float>& mono = TheSongs().Mono;
    for (auto _ : state) {
        const double start = ThreadCpu();
        TWaveBuilder wave(Rate);
        wave.Feed(mono.data(), mono.size());
        benchmark::DoNotOptimize(wave.Finish());
        Report(state, ThreadCpu() - start);
    }
}

// What the analysis asks of aubio, on audio decoded beforehand.
void BM_AubioOnsetStrengthAlone(benchmark::State& state)
{
    const std::vector<float>& mono = TheSongs().Mono;
    for (auto _ : state) {
        const double start = ThreadCpu();
        aubio_pvoc_t* pvoc = new_aubio_pvoc(TOnsetStrength::kWindow, TOnsetStrength::kHop);
        aubio_specdesc_t* flux = new_aubio_specdesc("specflux", TOnsetStrength::kWindow);
        fvec_t* in = new_fvec(TOnsetStrength::kHop);
        cvec_t* spectrum = new_cvec(TOnsetStrength::kWindow);
        fvec_t* out = new_fvec(1);
        double sum = 0;
        for (size_t at = 0; at + TOnsetStrength::kHop <= mono.size(); at += TOnsetStrength::kHop) {
            std::copy_n(mono.data() + at, TOnsetStrength::kHop, in->data);
            aubio_pvoc_do(pvoc, in, spectrum);
            aubio_specdesc_do(flux, spectrum, out);
            sum += out->data[0];
        }
        benchmark::DoNotOptimize(sum);
        del_fvec(out);
        del_cvec(spectrum);
        del_fvec(in);
        del_aubio_specdesc(flux);
        del_aubio_pvoc(pvoc);
        Report(state, ThreadCpu() - start);
    }
}

// aubio's own beat tracker over the same audio.
void BM_AubioTempoAlone(benchmark::State& state)
{
    const std::vector<float>& mono = TheSongs().Mono;
    for (auto _ : state) {
        const double start = ThreadCpu();
        aubio_tempo_t* tempo = new_aubio_tempo("default", TOnsetStrength::kWindow, TOnsetStrength::kHop, Rate);
        fvec_t* in = new_fvec(TOnsetStrength::kHop);
        fvec_t* out = new_fvec(2);
        for (size_t at = 0; at + TOnsetStrength::kHop <= mono.size(); at += TOnsetStrength::kHop) {
            std::copy_n(mono.data() + at, TOnsetStrength::kHop, in->data);
            aubio_tempo_do(tempo, in, out);
        }
        state.counters["bpm"] = aubio_tempo_get_bpm(tempo);
        del_fvec(out);
        del_fvec(in);
        del_aubio_tempo(tempo);
        Report(state, ThreadCpu() - start);
    }
}

// ---- the whole program -----------------------------------------------------------------------------

int CacheLines(const std::filesystem::path& file)
{
    std::ifstream in(file);
    return static_cast<int>(std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n')) - 1;
}

// 10 ms stretches of the recording in which the tone of `hz` falls below half of `level`.
int Dropouts(const std::vector<int16_t>& stereo, double hz, double level)
{
    int count = 0;
    constexpr size_t frames = Rate / 100;
    for (size_t at = 0; at + frames * 2 <= stereo.size(); at += frames * 2) {
        const std::vector<int16_t> window(stereo.begin() + at, stereo.begin() + at + frames * 2);
        if (testsupport::ToneLevel(window, 2, 0, Rate, hz) < level / 2)
            ++count;
    }
    return count;
}

void BM_ProgramAnalysing50Songs(benchmark::State& state)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        state.SkipWithError("no X display: run under xvfb-run -a -s \"-screen 0 1024x768x24\"");
        return;
    }
    if (!testsupport::SoundServer::Installed(testsupport::SoundServer::Kind::PulseAudio)) {
        state.SkipWithError("no sound server installed (Debian package pulseaudio)");
        return;
    }
    testsupport::SoundServer server;
    if (!server.Start()) {
        state.SkipWithError("the sound server did not start");
        return;
    }
    testsupport::TempDir dir;
    const QString folder = QString::fromStdString(dir.path().string());
    QFile::copy(DUODECK_EXE, folder + "/duodeck");
    QFile::copy(QFileInfo(DUODECK_EXE).dir().filePath("help.html"), folder + "/help.html");
    // Each deck's first entry is a tone it plays; then 25 songs each, hard links of one 3-minute
    // pattern (the cache keys by path, so each is analysed).
    constexpr int ToneSeconds = 600;
    testsupport::WriteWavS16(dir.file("left.wav"), Rate, 2,
                             testsupport::SineS16(Rate * ToneSeconds, Rate, 2, 1000, 8000));
    testsupport::WriteWavS16(dir.file("right.wav"), Rate, 2,
                             testsupport::SineS16(Rate * ToneSeconds, Rate, 2, 3000, 8000));
    testsupport::WriteWavS16(dir.file("pattern.wav"), Rate, 2, [] {
        const auto mono = beatpattern::KickHat(Rate, 180, 126);
        std::vector<int16_t> stereo;
        for (int16_t s : mono)
            stereo.insert(stereo.end(), {s, s});
        return stereo;
    }());
    // songs: false for the baseline, the tones alone.
    const auto writeLists = [&](bool songs) {
        std::string lists[4];
        for (int side = 0; side < 2; ++side) {
            const std::string tone = side ? "right.wav" : "left.wav";
            lists[side] = dir.file(tone).string() + "\n";
            lists[side + 2] = tone + "\n";
            for (int i = 0; songs && i < 25; ++i) {
                const std::string name = "song" + std::to_string(side * 25 + i) + ".wav";
                if (!std::filesystem::exists(dir.file(name)))
                    std::filesystem::create_hard_link(dir.file("pattern.wav"), dir.file(name));
                lists[side] += dir.file(name).string() + "\n";
                lists[side + 2] += name + "\n";
            }
        }
        const char* files[4] = {"FileListLeft.ini", "FileListRight.ini", "Listbox1.ini", "Listbox2.ini"};
        for (int i = 0; i < 4; ++i)
            testsupport::WriteBytes(dir.file(files[i]), std::vector<uint8_t>(lists[i].begin(), lists[i].end()));
    };
    std::filesystem::create_directory(dir.file("runtime"));
    std::filesystem::permissions(dir.file("runtime"), std::filesystem::perms::owner_all);

    // Starts the program, plays both tones, and runs `measure` while it plays.
    const auto run = [&](const std::function<void(QProcess&, testsupport::MonitorRecorder&)>& measure) {
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.file("runtime").string()));
        environment.insert("QT_QPA_PLATFORM", "xcb");
        environment.insert("DUODECK_AUDIO_BACKEND", "pulse");
        environment.insert("PULSE_SERVER", QString::fromStdString(server.Address()));
        program.setProcessEnvironment(environment);
        program.setWorkingDirectory(folder);
        program.start(folder + "/duodeck", {});
        program.waitForStarted(10000);
        QThread::sleep(3); // both windows up
        // The first entry of each playlist (the boxes at (16, 32) and (200, 32) of the playlist
        // window at (205, 356)), then Play both at (168, 118) of the main window at (205, 128).
        for (const auto& [x, y] : {std::pair{261, 394}, std::pair{445, 394}, std::pair{377, 250}})
            QProcess::execute("xdotool", {"mousemove", QString::number(x), QString::number(y), "click", "1"});
        testsupport::MonitorRecorder monitor(server.Address());
        monitor.Record(2.0); // the tones start
        measure(program, monitor);
        program.kill();
        program.waitForFinished(5000);
    };
    const std::filesystem::path cache = dir.file("TempoCache.txt");

    for (auto _ : state) {
        int baseline = 0, songs = 0;
        double baselineShare = 0, wall = 0, cpu = 0, idleShare = 0, left = 0, right = 0;
        std::vector<int16_t> analysing;
        writeLists(true);
        run([&](QProcess& program, testsupport::MonitorRecorder& monitor) {
            const auto start = Clock::now();
            const double cpu0 = CpuSecondsOf(program.processId());
            while (CacheLines(cache) < 52 && Since(start) < 300) {
                const auto chunk = monitor.Record(1.0);
                analysing.insert(analysing.end(), chunk.begin(), chunk.end());
            }
            wall = Since(start);
            cpu = CpuSecondsOf(program.processId()) - cpu0;
            const auto idleStart = Clock::now();
            const double idleCpu0 = CpuSecondsOf(program.processId());
            const std::vector<int16_t> idle = monitor.Record(10.0);
            idleShare = (CpuSecondsOf(program.processId()) - idleCpu0) / Since(idleStart);
            left = testsupport::ToneLevel(idle, 2, 0, Rate, 1000);
            right = testsupport::ToneLevel(idle, 2, 0, Rate, 3000);
            songs = CacheLines(cache) - 2; // the two tones have no beat
        });
        // The same seconds with the tones alone: the dropouts this machine's load causes anyway.
        writeLists(false);
        std::filesystem::remove(cache);
        run([&](QProcess& program, testsupport::MonitorRecorder& monitor) {
            const double cpu0 = CpuSecondsOf(program.processId());
            const auto start = Clock::now();
            const std::vector<int16_t> tones = monitor.Record(wall);
            baselineShare = (CpuSecondsOf(program.processId()) - cpu0) / Since(start);
            baseline = Dropouts(tones, 1000, left) + Dropouts(tones, 3000, right);
        });

        state.SetIterationTime(wall);
        state.counters["songs_analysed"] = songs;
        state.counters["analysing_s"] = wall;
        state.counters["analysing_core_pct"] = cpu / wall * 100;
        state.counters["playing_only_core_pct"] = idleShare * 100;
        state.counters["dropouts_10ms"] = Dropouts(analysing, 1000, left) + Dropouts(analysing, 3000, right);
        state.counters["baseline_dropouts_10ms"] = baseline;
        state.counters["baseline_core_pct"] = baselineShare * 100;
        state.counters["tone_levels_ok"] = left > 1000 && right > 1000;
    }
}

} // namespace

BENCHMARK(BM_AnalyseFile)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("mp3")
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AnalyseDecoded)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WaveSummaryDecoded)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AubioOnsetStrengthAlone)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AubioTempoAlone)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProgramAnalysing50Songs)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
