// The whole program as a user runs it, on an X server with the null sound backend (real-time pace):
// the time from exec to both windows mapped; the program's CPU (utime + stime of /proc/<pid>/stat,
// all threads, and the UI thread apart) as a share of one core while two MP3 songs play, one at a
// moved frequency knob, and then while the mix is recorded; its peak resident memory (VmHWM). Next
// to it the floor measured in this process (the least of three runs): the same seconds of audio
// decoded, resampled, converted and encoded directly, plus a bare Qt window with the program's
// repaints (both send their pixels through X shared memory where the display offers it).
// Then the same two songs through a private sound server (a null sink): the program's CPU with the
// server's (its /proc ticks), against the program on the null backend while `pacat` plays the same
// mix into the server at the same latency; the latency the server reports for the stream and the
// sink's own configured latency (which a good neighbour leaves above its minimum); the time from a
// frequency knob move to the changed pitch on the sink's monitor; and the underflows the program
// counted (its closing console line) beside pacat's.
// Each stretch lasts DUODECK_BENCH_SECONDS seconds (60 unless set; 30 at most through the server).
// Run under xvfb-run.
#include "bench/ProcessCpu.h"
#include "decode/MxAudioFileRead.h"
#include "tests/support/Fixtures.h"
#include "tests/support/SoundServer.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <benchmark/benchmark.h>
#include <lame/lame.h>
#include <poll.h>
#include <samplerate.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int SongRate = 44100;
constexpr int OutputRate = 44100;
constexpr int RecordRate = 48000;
// The left frequency knob sits at 84 after a load; 6 px down gives (90 - 32) * 100000 / 120 Hz.
constexpr int FrequencyKnobDrop = 6;
constexpr int LeftFrequency = (84 + FrequencyKnobDrop - 32) * 100000 / 120;
const int MainLeft = 205, MainTop = 128, ListTop = 128 + 228;
// The left deck's tone in the server run, and the pitches it is heard at before and after the drag
// (a knob at position k plays at (k - 32) * 100000 / 120 Hz).
constexpr double ToneHz = 3000;
constexpr double ToneBeforeHz = ToneHz * ((84 - 32) * 100000 / 120) / SongRate;
constexpr double ToneAfterHz = ToneHz * LeftFrequency / SongRate;

int Seconds()
{
    const int s = qEnvironmentVariableIntValue("DUODECK_BENCH_SECONDS");
    return s > 0 ? s : 60;
}

double ProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// Time on a CPU of one thread of another process, in seconds (nanosecond schedstat).
double ThreadCpuSecondsOf(qint64 pid, qint64 tid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/schedstat");
    unsigned long long ns = 0;
    in >> ns;
    return static_cast<double>(ns) * 1e-9;
}

// Peak resident memory of a process, in MiB.
double PeakRssMiB(qint64 pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

// The songs and a copy of the program in one scratch folder, made once.
struct Scratch {
    testsupport::TempDir Dir;
    QString Folder() const { return QString::fromStdString(Dir.path().string()); }
    std::filesystem::path Left() const { return Dir.file("left.mp3"); }
    std::filesystem::path Right() const { return Dir.file("right.mp3"); }
    // A steady tone for the left deck, whose pitch the server run follows.
    std::filesystem::path LeftTone() const { return Dir.file("tone.mp3"); }

    Scratch()
    {
        // Long enough for both stretches at the faster left deck, so no song ends on the way.
        const int frames = SongRate * (2 * Seconds() + 10);
        testsupport::WriteMp3S16(Left(), SongRate, 2, testsupport::NoiseS16(frames, 2, 7, 6000));
        testsupport::WriteMp3S16(Right(), SongRate, 2, testsupport::SineS16(frames, SongRate, 2, 1000, 8000));
        testsupport::WriteMp3S16(LeftTone(), SongRate, 2, testsupport::SineS16(frames, SongRate, 2, ToneHz, 8000));
        QFile::copy(DUODECK_EXE, Folder() + "/duodeck");
        QFile::copy(QFileInfo(DUODECK_EXE).dir().filePath("help.html"), Folder() + "/help.html");
        WriteList("FileListLeft.ini", Left().string());
        WriteList("Listbox1.ini", "left.mp3");
        WriteList("FileListRight.ini", Right().string());
        WriteList("Listbox2.ini", "right.mp3");
        std::filesystem::create_directory(Dir.file("runtime"));
        std::filesystem::permissions(Dir.file("runtime"), std::filesystem::perms::owner_all);
    }
    void WriteList(const char* name, const std::string& line) const
    {
        const std::string text = line + "\r\n";
        testsupport::WriteBytes(Dir.file(name), std::vector<uint8_t>(text.begin(), text.end()));
    }
};

Scratch& TheScratch()
{
    static Scratch scratch;
    return scratch;
}

void Xdo(const QStringList& arguments)
{
    QProcess::execute("xdotool", arguments);
}
void MoveTo(int x, int y)
{
    Xdo({"mousemove", QString::number(x), QString::number(y)});
}
void Click(int x, int y)
{
    MoveTo(x, y);
    Xdo({"click", "1"});
}

// The title of a top-level window, from WM_NAME of any encoding.
std::string Title(Display* display, Window window)
{
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(display, window, XA_WM_NAME, 0, 256, False, AnyPropertyType, &type, &format, &items, &after,
                           &data) == Success &&
        data) {
        if (format == 8)
            title.assign(reinterpret_cast<char*>(data), items);
        XFree(data);
    }
    return title;
}

// A running copy of the program; Close ends it (or a kill, when that fails).
class Program {
public:
    // Starts the program and waits for both windows to be mapped; StartupMs is the time from the
    // start request to the second map.
    explicit Program(Display* display, const QProcessEnvironment& extra = {})
    {
        Scratch& s = TheScratch();
        XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
        XSync(display, True);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(s.Dir.file("runtime").string()));
        environment.insert("QT_QPA_PLATFORM", "xcb");
        environment.insert("DUODECK_AUDIO_BACKEND", "null");
        environment.insert(extra);
        FProcess.setProcessEnvironment(environment);
        FProcess.setWorkingDirectory(s.Folder());
        const auto start = Clock::now();
        FProcess.start(s.Folder() + "/duodeck", {});
        FProcess.waitForStarted(10000); // the map events queue up meanwhile
        std::set<std::string> mapped;
        const auto deadline = start + std::chrono::seconds(20);
        while (mapped.size() < 2 && Clock::now() < deadline) {
            while (XPending(display)) {
                XEvent event;
                XNextEvent(display, &event);
                if (event.type != MapNotify)
                    continue;
                const std::string title = Title(display, event.xmap.window);
                if (title == "DuoDeck" || title == "DuoDeck Playlists")
                    mapped.insert(title);
            }
            if (mapped.size() < 2) {
                pollfd fd{ConnectionNumber(display), POLLIN, 0};
                poll(&fd, 1, 5);
            }
        }
        XSelectInput(display, DefaultRootWindow(display), NoEventMask);
        Shown = mapped.size() == 2;
        StartupMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
    ~Program()
    {
        if (FProcess.state() == QProcess::NotRunning)
            return;
        Click(MainLeft + 375, MainTop + 18); // Close
        if (!FProcess.waitForFinished(10000)) {
            FProcess.kill();
            FProcess.waitForFinished(5000);
        }
    }
    qint64 Pid() const { return FProcess.processId(); }
    std::string Ending()
    {
        return "exit code " + std::to_string(FProcess.exitCode()) + ", status " +
               std::to_string(FProcess.exitStatus()) + ": " + FProcess.readAllStandardError().toStdString();
    }
    // What the program has written to stderr so far (its first line names the sound output).
    std::string Console()
    {
        FProcess.setReadChannel(QProcess::StandardError);
        FProcess.waitForReadyRead(200); // takes in what the pipe holds
        return FProcess.readAllStandardError().toStdString();
    }
    // Closes the program and returns what it wrote to stderr since the last look.
    std::string CloseAndRead()
    {
        Click(MainLeft + 375, MainTop + 18); // Close
        if (!FProcess.waitForFinished(10000))
            FProcess.kill();
        FProcess.waitForFinished(5000);
        return FProcess.readAllStandardError().toStdString();
    }
    bool Running()
    {
        FProcess.waitForFinished(0); // takes in a pending end
        return FProcess.state() == QProcess::Running;
    }

    bool Shown = false;
    double StartupMs = 0;

private:
    QProcess FProcess;
};

Display* TheDisplay()
{
    static Display* display = XOpenDisplay(nullptr);
    return display;
}

// ---- The floor: the same audio work done directly --------------------------------------------------

// Decodes `frames` frames of a 44.1 kHz stereo song.
void Decode(TMxAudioFileReader& reader, std::vector<int16_t>& out, size_t frames)
{
    out.resize(frames * 2);
    size_t done = 0;
    while (done < frames) {
        const uint32_t want = static_cast<uint32_t>(std::min<size_t>(4096, frames - done)) * 4;
        const uint32_t got = reader.Read(out.data() + done * 2, want);
        if (got == 0)
            break;
        done += got / 4;
    }
    out.resize(done * 2);
}

std::vector<float> Resample(SRC_STATE* state, const std::vector<int16_t>& in, double ratio)
{
    std::vector<float> input(in.size()), output(static_cast<size_t>(in.size() * ratio) + 4096);
    src_short_to_float_array(in.data(), input.data(), static_cast<int>(in.size()));
    SRC_DATA d{};
    d.data_in = input.data();
    d.input_frames = static_cast<long>(in.size() / 2);
    d.data_out = output.data();
    d.output_frames = static_cast<long>(output.size() / 2);
    d.src_ratio = ratio;
    d.end_of_input = 0;
    src_process(state, &d);
    output.resize(static_cast<size_t>(d.output_frames_gen) * 2);
    return output;
}

// 1 / `parts` of a second of output: the two songs decoded, the left one resampled from its knob's
// frequency to the output rate, and mixed into `mix` (sized for it).
void PlayBlock(TMxAudioFileReader& left, TMxAudioFileReader& right, SRC_STATE* pitch, int parts,
               std::vector<int16_t>& a, std::vector<int16_t>& b, std::vector<int16_t>& mix)
{
    Decode(left, a, LeftFrequency / parts);
    Decode(right, b, SongRate / parts);
    const std::vector<float> pitched = Resample(pitch, a, static_cast<double>(OutputRate) / LeftFrequency);
    for (size_t i = 0; i < mix.size(); ++i) {
        const float l = i < pitched.size() ? pitched[i] * 32767.0f : 0.0f;
        const float r = i < b.size() ? static_cast<float>(b[i]) : 0.0f;
        mix[i] = static_cast<int16_t>(std::clamp(l + r, -32768.0f, 32767.0f));
    }
    benchmark::DoNotOptimize(mix.data());
}

struct FloorFigures {
    double Playing = 0;   // share of one core
    double Recording = 0; // playing plus the recording's work
    double Paced = 0;     // playing, at the null pace's cadence
    double Window = 0;    // the bare window's repaints, counted in all three
};

// A bare window with the program's repaints while both decks play: the two waveform views' scrolling
// parts (384 x 78) every frame of the display, the two level displays (75 x 105) every 50 ms; each
// paint only fills its area.
class FloorWindow : public QWidget {
public:
    FloorWindow()
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
        resize(400, 300);
        const QScreen* screen = QGuiApplication::primaryScreen();
        const double hz = screen && screen->refreshRate() > 1 ? screen->refreshRate() : 60.0;
        connect(&FFrames, &QTimer::timeout, this, [this] {
            update(6, 30, 384, 78);
            update(6, 167, 384, 78);
        });
        connect(&FLevels, &QTimer::timeout, this, [this] {
            update(10, 10, 75, 105);
            update(200, 10, 75, 105);
        });
        FFrames.setTimerType(Qt::PreciseTimer);
        FFrames.start(std::max(1, static_cast<int>(1000 / hz)));
        FLevels.start(50);
    }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        QPainter p(this);
        p.fillRect(event->rect(), QColor(0x1b, 0x1f, 0x26 + (++FPaints & 1)));
    }

private:
    QTimer FFrames, FLevels;
    unsigned FPaints = 0;
};

// The bare window's share of one core over `seconds` of wall time, shown on the X display.
double FloorWindowShare(int seconds)
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return 0;
    const auto run = [](int ms) {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    };
    FloorWindow window;
    window.show();
    run(1000); // mapped and painted once
    const double begin = ProcessCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    run(seconds * 1000);
    return (ProcessCpuSeconds() - begin) / (wall.nsecsElapsed() / 1e9);
}

FloorFigures& Floor()
{
    static FloorFigures floor;
    return floor;
}

// The bare window's share, measured once for all the floors.
double WindowShare()
{
    if (Floor().Window == 0)
        Floor().Window = FloorWindowShare(std::min(Seconds(), 20));
    return Floor().Window;
}

// One second of output at a time: the two songs decoded, the left one resampled from its knob's
// frequency to the output rate and mixed; for the recording, the mix converted to 48 kHz and
// encoded at 128 kbit/s CBR stereo, algorithm quality 2.
void BM_Floor(benchmark::State& state)
{
    const bool recording = state.range(0) != 0;
    Scratch& s = TheScratch();
    double share = 1e9; // the least of the iterations: noise on this machine only ever adds
    for (auto _ : state) {
        int error = 0;
        TMxAudioFileReader left(s.Left().string()), right(s.Right().string());
        SRC_STATE* pitch = src_new(SRC_SINC_FASTEST, 2, &error);
        SRC_STATE* toRecord = src_new(SRC_SINC_FASTEST, 2, &error);
        lame_global_flags* lame = lame_init();
        lame_set_in_samplerate(lame, RecordRate);
        lame_set_out_samplerate(lame, RecordRate);
        lame_set_num_channels(lame, 2);
        lame_set_mode(lame, STEREO);
        lame_set_brate(lame, 128);
        lame_set_VBR(lame, vbr_off);
        lame_set_quality(lame, 2);
        lame_init_params(lame);
        std::vector<int16_t> a, b, mix(OutputRate * 2), pcm48;
        std::vector<unsigned char> mp3(RecordRate * 2 + 7200);

        const double begin = ProcessCpuSeconds();
        for (int second = 0; second < Seconds(); ++second) {
            PlayBlock(left, right, pitch, 1, a, b, mix);
            if (!recording)
                continue;
            const std::vector<float> converted = Resample(toRecord, mix, static_cast<double>(RecordRate) / OutputRate);
            pcm48.resize(converted.size());
            src_float_to_short_array(converted.data(), pcm48.data(), static_cast<int>(converted.size()));
            const int bytes = lame_encode_buffer_interleaved(lame, pcm48.data(), static_cast<int>(pcm48.size() / 2),
                                                             mp3.data(), static_cast<int>(mp3.size()));
            benchmark::DoNotOptimize(bytes);
        }
        if (recording)
            lame_encode_flush(lame, mp3.data(), static_cast<int>(mp3.size()));
        const double cpu = ProcessCpuSeconds() - begin;
        state.SetIterationTime(cpu);
        share = std::min(share, cpu / Seconds());
        lame_close(lame);
        src_delete(toRecord);
        src_delete(pitch);
    }
    share += WindowShare();
    (recording ? Floor().Recording : Floor().Playing) = share;
    state.counters["core_pct"] = share * 100;
    state.counters["window_pct"] = Floor().Window * 100;
    state.counters["audio_s"] = Seconds();
}

// The floor's playing work at the null pace's cadence: 50 ms of output at a time, each block after a
// sleep until it is due, as a player that keeps real time must. Here a wake-up finds the caches cold,
// which the one-second blocks above never pay: the difference is the price of the pace alone.
void BM_PacedFloor(benchmark::State& state)
{
    Scratch& s = TheScratch();
    double share = 1e9;
    for (auto _ : state) {
        int error = 0;
        TMxAudioFileReader left(s.Left().string()), right(s.Right().string());
        SRC_STATE* pitch = src_new(SRC_SINC_FASTEST, 2, &error);
        constexpr int Blocks = 20; // a second
        std::vector<int16_t> a, b, mix(OutputRate / Blocks * 2);
        const double begin = ProcessCpuSeconds();
        auto due = Clock::now();
        for (int block = 0; block < Seconds() * Blocks; ++block) {
            PlayBlock(left, right, pitch, Blocks, a, b, mix);
            due += std::chrono::milliseconds(1000 / Blocks);
            std::this_thread::sleep_until(due);
        }
        const double cpu = ProcessCpuSeconds() - begin;
        state.SetIterationTime(cpu);
        share = std::min(share, cpu / Seconds());
        src_delete(pitch);
    }
    Floor().Paced = share + WindowShare();
    state.counters["core_pct"] = Floor().Paced * 100;
    state.counters["window_pct"] = Floor().Window * 100;
}

// ---- The program ------------------------------------------------------------------------------------

void BM_Startup(benchmark::State& state)
{
    if (!TheDisplay()) {
        state.SkipWithError("no X display: run under xvfb-run -a -s \"-screen 0 1024x768x24\"");
        return;
    }
    TheScratch();
    double worst = 0, total = 0;
    int runs = 0;
    for (auto _ : state) {
        Program program(TheDisplay());
        if (!program.Shown) {
            state.SkipWithError("the windows did not appear");
            return;
        }
        state.SetIterationTime(program.StartupMs / 1000.0);
        worst = std::max(worst, program.StartupMs);
        total += program.StartupMs;
        ++runs;
        QThread::msleep(300); // let it settle before Close
    }
    state.counters["mean_ms"] = total / runs;
    state.counters["worst_ms"] = worst;
    state.counters["target_ms"] = 300;
}

// Selects the first song of each list and presses Play both.
void PlayBoth()
{
    QThread::msleep(500);
    Click(MainLeft + 16 + 40, ListTop + 32 + 6);
    Click(MainLeft + 200 + 40, ListTop + 32 + 6);
    Click(MainLeft + 168 + 4, MainTop + 118 + 4); // Play both
    QThread::msleep(300);
}

// Drags the left frequency knob down by FrequencyKnobDrop pixels in one move; returns the time of
// that move.
Clock::time_point DragLeftFrequency()
{
    MoveTo(MainLeft + 45 + 7, MainTop + 84 + 5);
    Xdo({"mousedown", "1"});
    QThread::msleep(100);
    const auto moved = Clock::now();
    MoveTo(MainLeft + 45 + 7, MainTop + 84 + 5 + FrequencyKnobDrop);
    Xdo({"mouseup", "1"});
    return moved;
}

// The whole process's CPU, and its UI thread's (the main thread, whose id is the process id) apart,
// as shares of one core over `seconds`.
struct Share {
    double Process = 0, Ui = 0;
};
// Each thread's name and its time on a CPU so far, seconds.
std::map<qint64, std::pair<std::string, double>> ThreadTimes(qint64 pid)
{
    std::map<qint64, std::pair<std::string, double>> times;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        const qint64 tid = std::stoll(task.path().filename().string());
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        times[tid] = {name, ThreadCpuSecondsOf(pid, tid)};
    }
    return times;
}

// Also says on stderr which threads took the time, as shares of one core.
Share Stretch(Program& program, int seconds)
{
    const double cpu = CpuSecondsOf(program.Pid());
    const double ui = ThreadCpuSecondsOf(program.Pid(), program.Pid());
    const auto threads = ThreadTimes(program.Pid());
    const auto start = Clock::now();
    QThread::sleep(static_cast<unsigned long>(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    std::fprintf(stderr, "threads, %% of a core:");
    for (const auto& [tid, now] : ThreadTimes(program.Pid())) {
        const auto before = threads.find(tid);
        const double was = before == threads.end() ? 0 : before->second.second;
        std::fprintf(stderr, " %s %.2f", now.first.c_str(), (now.second - was) / wall * 100);
    }
    std::fprintf(stderr, "\n");
    return Share{(CpuSecondsOf(program.Pid()) - cpu) / wall,
                 (ThreadCpuSecondsOf(program.Pid(), program.Pid()) - ui) / wall};
}

// Play both with the left frequency knob moved, a stretch; then Record, another stretch.
void BM_PlayingThenRecording(benchmark::State& state)
{
    if (!TheDisplay()) {
        state.SkipWithError("no X display: run under xvfb-run -a -s \"-screen 0 1024x768x24\"");
        return;
    }
    for (auto _ : state) {
        Program program(TheDisplay());
        if (!program.Shown) {
            state.SkipWithError("the windows did not appear");
            return;
        }
        PlayBoth();
        DragLeftFrequency();
        MoveTo(0, 0);
        QThread::sleep(1);

        const Share playing = Stretch(program, Seconds());
        Click(MainLeft + 40 + 30, MainTop + 188 + 12); // Record
        QThread::sleep(1);
        const Share recording = Stretch(program, Seconds());
        const double peak = PeakRssMiB(program.Pid());
        const auto taken = std::filesystem::exists(TheScratch().Dir.file("tem.Mp3"))
                               ? std::filesystem::file_size(TheScratch().Dir.file("tem.Mp3"))
                               : 0;
        const bool alive = program.Running();
        Click(MainLeft + 40 + 30, MainTop + 188 + 12); // Record again: stop
        state.SetIterationTime(2.0 * Seconds());
        if (!alive) {
            state.SkipWithError(("the program ended during the run, " + program.Ending()).c_str());
            return;
        }
        if (taken < 16000u * (Seconds() - 1)) { // 128 kbit/s
            state.SkipWithError("the recording did not grow as it should");
            return;
        }
        state.counters["play_core_pct"] = playing.Process * 100;
        state.counters["rec_core_pct"] = recording.Process * 100;
        state.counters["play_ui_pct"] = playing.Ui * 100;
        state.counters["rec_ui_pct"] = recording.Ui * 100;
        state.counters["play_vs_floor"] = Floor().Playing > 0 ? playing.Process / Floor().Playing : 0;
        state.counters["rec_vs_floor"] = Floor().Recording > 0 ? recording.Process / Floor().Recording : 0;
        state.counters["play_vs_paced_floor"] = Floor().Paced > 0 ? playing.Process / Floor().Paced : 0;
        state.counters["peak_rss_MiB"] = peak;
        state.counters["stretch_s"] = Seconds();
        state.counters["left_hz"] = LeftFrequency;
    }
}

// ---- Through a sound server --------------------------------------------------------------------------

// What `pactl list <what>` says about the server at `address`.
std::string PactlList(const std::string& address, const QString& what)
{
    QProcess pactl;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PULSE_SERVER", QString::fromStdString(address));
    pactl.setProcessEnvironment(environment);
    pactl.start("pactl", {"list", what});
    pactl.waitForFinished(5000);
    return pactl.readAllStandardOutput().toStdString();
}

// The stream latency the server reports for its only playback stream (its buffer plus the sink's), ms.
double ServerLatencyMs(const std::string& address)
{
    const std::string text = PactlList(address, "sink-inputs");
    double ms = 0;
    const std::regex field("(Buffer|Sink) Latency: ([0-9]+) usec");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), field); it != std::sregex_iterator(); ++it)
        ms += std::stod((*it)[2]) / 1000.0;
    return ms;
}

// The configured latency of the test sink, ms: what the streams on it have asked it for.
double SinkConfiguredLatencyMs(const std::string& address)
{
    const std::string text = PactlList(address, "sinks");
    std::smatch m;
    const std::regex field("configured ([0-9]+) usec");
    return std::regex_search(text, m, field) ? std::stod(m[1]) / 1000.0 : -1;
}

double ServerCpuSeconds(const testsupport::SoundServer& server)
{
    double sum = 0;
    for (pid_t pid : server.Pids())
        sum += CpuSecondsOf(pid);
    return sum;
}

// The time from the knob's move to the first 10 ms on the monitor that carries the new pitch more
// than the old one, ms; each piece of the recording is dated by its arrival, so the monitor's own
// latency counts against us. Negative when the change is not heard.
double PitchLatencyMs(const std::string& address)
{
    testsupport::MonitorRecorder monitor(address);
    if (!monitor.Ok())
        return -1;
    constexpr int Piece = SongRate / 400; // 2.5 ms
    std::vector<int16_t> heard;
    std::vector<Clock::time_point> arrived;
    std::thread recorder([&] {
        for (int i = 0; i < 600; ++i) { // 1.5 s
            const auto piece = monitor.Record(double(Piece) / SongRate);
            arrived.push_back(Clock::now());
            heard.insert(heard.end(), piece.begin(), piece.end());
        }
    });
    QThread::msleep(500);
    const auto moved = DragLeftFrequency();
    recorder.join();
    constexpr int Window = SongRate / 100;
    for (size_t start = 0; start + Window * 2 <= heard.size(); start += Piece * 2) {
        const std::vector<int16_t> window(heard.begin() + start, heard.begin() + start + Window * 2);
        if (testsupport::ToneLevel(window, 2, 0, SongRate, ToneAfterHz) >
            testsupport::ToneLevel(window, 2, 0, SongRate, ToneBeforeHz)) {
            const size_t piece = (start / 2 + Window / 2) / Piece; // the window's middle
            return std::chrono::duration<double, std::milli>(arrived[std::min(piece, arrived.size() - 1)] - moved)
                .count();
        }
    }
    return -1;
}

// Closes the program and reads its console: false, with the benchmark skipped, when it did not play
// through the server; `underflows` gets the count it gives on closing.
bool ClosedAfterServer(benchmark::State& state, Program& program, double& underflows)
{
    const std::string console = program.Console() + program.CloseAndRead();
    if (console.find("sound server") == std::string::npos) {
        state.SkipWithError(("the program did not play through the server: " + console).c_str());
        return false;
    }
    std::smatch m;
    if (std::regex_search(console, m, std::regex("([0-9]+) underflows")))
        underflows = std::stod(m[1]);
    return true;
}

// The underruns a verbose pacat reported ("Stream underrun.").
int PacatUnderruns(QProcess& pacat)
{
    const std::string said = pacat.readAllStandardError().toStdString();
    int count = 0;
    for (size_t at = said.find("underrun"); at != std::string::npos; at = said.find("underrun", at + 1))
        ++count;
    return count;
}

// What both server runs need: a display, a private server, the left deck on the steady tone, and
// the mix pacat plays (the two songs' signals summed, raw 44.1 kHz 16-bit stereo) for `seconds` and
// five more. False, with the benchmark skipped, when something is missing.
bool ServerRun(benchmark::State& state, testsupport::SoundServer& server, int seconds,
               const std::filesystem::path& mixFile)
{
    if (!TheDisplay()) {
        state.SkipWithError("no X display: run under xvfb-run -a -s \"-screen 0 1024x768x24\"");
        return false;
    }
    if (!testsupport::SoundServer::Installed(testsupport::SoundServer::Kind::PulseAudio)) {
        state.SkipWithError("no sound server installed (Debian package pulseaudio)");
        return false;
    }
    if (!server.Start()) {
        state.SkipWithError("the sound server did not start");
        return false;
    }
    Scratch& s = TheScratch();
    s.WriteList("FileListLeft.ini", s.LeftTone().string());
    s.WriteList("Listbox1.ini", "tone.mp3");
    const int frames = SongRate * (seconds + 5);
    const auto a = testsupport::SineS16(frames, SongRate, 2, ToneHz, 8000);
    const auto b = testsupport::SineS16(frames, SongRate, 2, 1000, 8000);
    std::vector<uint8_t> bytes(a.size() * 2);
    for (size_t i = 0; i < a.size(); ++i) {
        const auto v = static_cast<int16_t>(std::clamp(a[i] + b[i], -32768, 32767));
        std::memcpy(&bytes[i * 2], &v, 2);
    }
    testsupport::WriteBytes(mixFile, bytes);
    return true;
}

// The program playing two songs through the server, against the program on the null backend while
// pacat plays the same mix into the server at the same latency.
void BM_SoundServer(benchmark::State& state)
{
    testsupport::SoundServer server;
    const int seconds = std::min(Seconds(), 30);
    const std::filesystem::path mixFile = TheScratch().Dir.file("mix.raw");
    if (!ServerRun(state, server, seconds, mixFile))
        return;
    for (auto _ : state) {
        Share shares[2];
        double serverShare[2] = {0, 0};
        double latency = 0, pitch = -1, sinkLatency = -1, underflows = 0, pacatUnderflows = 0;
        for (int run = 0; run < 2; ++run) {
            QProcessEnvironment environment;
            environment.insert("DUODECK_AUDIO_BACKEND", run ? "pulse" : "null");
            environment.insert("PULSE_SERVER", QString::fromStdString(server.Address()));
            Program program(TheDisplay(), environment);
            if (!program.Shown) {
                state.SkipWithError("the windows did not appear");
                return;
            }
            QProcess pacat;
            if (run == 0) {
                QProcessEnvironment pe = QProcessEnvironment::systemEnvironment();
                pe.insert("PULSE_SERVER", QString::fromStdString(server.Address()));
                pacat.setProcessEnvironment(pe);
                pacat.start("pacat",
                            {"-v", "--raw", "--format=s16le", "--rate=44100", "--channels=2", "--latency-msec=25",
                             "--process-time-msec=6", QString::fromStdString(mixFile.string())});
                pacat.waitForStarted(5000);
            }
            PlayBoth();
            MoveTo(0, 0);
            QThread::sleep(1);
            const double serverBefore = ServerCpuSeconds(server);
            const auto start = Clock::now();
            shares[run] = Stretch(program, seconds);
            serverShare[run] =
                (ServerCpuSeconds(server) - serverBefore) / std::chrono::duration<double>(Clock::now() - start).count();
            if (run == 0) {
                pacat.kill();
                pacat.waitForFinished(5000);
                // Its verbose output says "Stream underrun." at each one.
                pacatUnderflows += PacatUnderruns(pacat);
            } else {
                latency = ServerLatencyMs(server.Address());
                sinkLatency = SinkConfiguredLatencyMs(server.Address());
                pitch = PitchLatencyMs(server.Address());
                if (!ClosedAfterServer(state, program, underflows))
                    return;
            }
        }
        state.SetIterationTime(2.0 * seconds);
        state.counters["null_core_pct"] = shares[0].Process * 100;
        state.counters["pacat_server_core_pct"] = serverShare[0] * 100;
        state.counters["server_core_pct"] = shares[1].Process * 100;
        state.counters["its_server_core_pct"] = serverShare[1] * 100;
        state.counters["vs_null_and_pacat"] =
            (shares[1].Process + serverShare[1]) / std::max(1e-9, shares[0].Process + serverShare[0]);
        state.counters["stream_latency_ms"] = latency;
        state.counters["sink_latency_ms"] = sinkLatency;
        state.counters["knob_to_sound_ms"] = pitch;
        state.counters["underflows"] = underflows;
        state.counters["pacat_underflows"] = pacatUnderflows;
        state.counters["stretch_s"] = seconds;
    }
}

// ---- Under load ---------------------------------------------------------------------------------------

// Busy loops at normal priority, each in a session of its own as a desktop starts programs (the
// kernel shares the CPU between sessions first); killed with the object.
class BusyLoops {
public:
    explicit BusyLoops(int count)
    {
        for (int i = 0; i < count; ++i)
            if (const pid_t pid = fork(); pid == 0) {
                setsid();
                for (volatile unsigned long n = 0;;)
                    n = n + 1;
            } else if (pid > 0) {
                FPids.push_back(pid);
            }
    }
    ~BusyLoops()
    {
        for (const pid_t pid : FPids)
            kill(pid, SIGKILL);
        for (const pid_t pid : FPids)
            waitpid(pid, nullptr, 0);
    }

private:
    std::vector<pid_t> FPids;
};

// 10-ms windows of the monitor's left channel whose level falls under a quarter of the median's.
int Gaps(const std::vector<int16_t>& stereo)
{
    constexpr size_t Window = SongRate / 100;
    std::vector<double> levels;
    for (size_t at = 0; at + 2 * Window <= stereo.size(); at += 2 * Window) {
        double sum = 0;
        for (size_t i = at; i < at + 2 * Window; i += 2)
            sum += double(stereo[i]) * stereo[i];
        levels.push_back(std::sqrt(sum / Window));
    }
    if (levels.empty())
        return -1;
    std::vector<double> sorted = levels;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double median = sorted[sorted.size() / 2];
    return int(std::count_if(levels.begin(), levels.end(), [&](double l) { return l < median / 4; }));
}

// The gaps on the sink's monitor over `seconds` while 16 busy loops run, after half a second of it.
int GapsUnderLoad(const testsupport::SoundServer& server, int seconds)
{
    testsupport::MonitorRecorder monitor(server.Address());
    monitor.Record(0.5);
    BusyLoops loops(16);
    return Gaps(monitor.Record(seconds));
}

// Each thread of a process: its name and scheduling policy (SCHED_OTHER 0, FIFO 1, RR 2) and
// real-time priority, from /proc.
std::string ThreadPolicies(qint64 pid)
{
    std::ostringstream out;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
        std::ifstream in(task.path() / "stat");
        std::string stat;
        std::getline(in, stat);
        const size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(close + 2));
        std::vector<std::string> fields;
        for (std::string f; rest >> f;)
            fields.push_back(f);
        // After the name: state is field 3; rt_priority 40 and policy 41 (1-based, of the whole line).
        if (fields.size() < 39)
            continue;
        const int policy = std::stoi(fields[38]) & 0xff;
        const char* names[] = {"OTHER", "FIFO", "RR", "BATCH", "ISO", "IDLE"};
        out << stat.substr(open + 1, close - open - 1) << ":" << (policy < 6 ? names[policy] : "?");
        if (policy == 1 || policy == 2)
            out << fields[37];
        out << " ";
    }
    return out.str();
}

// Both decks keylocked at +6 % while the mix is recorded, through a private server, with 16 busy
// loops on the 2 cores; then pacat playing a mix of the same songs at the same latency under the same
// load. Gaps on the sink's monitor and underflows of each; the program's thread policies on stderr.
void BM_UnderLoad(benchmark::State& state)
{
    testsupport::SoundServer server;
    const int seconds = Seconds();
    const std::filesystem::path mixFile = TheScratch().Dir.file("loadmix.raw");
    if (!ServerRun(state, server, seconds, mixFile))
        return;
    for (auto _ : state) {
        double gaps = -1, underflows = 0, pacatGaps = -1, pacatUnderflows = 0;
        {
            QProcessEnvironment environment;
            environment.insert("DUODECK_AUDIO_BACKEND", "pulse");
            environment.insert("PULSE_SERVER", QString::fromStdString(server.Address()));
            Program program(TheDisplay(), environment);
            if (!program.Shown) {
                state.SkipWithError("the windows did not appear");
                return;
            }
            PlayBoth();
            // Keylock on both decks, then six tempo steps up each (1 % a step); Record.
            Xdo({"search", "--name", "^DuoDeck$", "windowfocus", "--sync"});
            if (state.range(0) & 1) {
                Xdo({"key", "x", "comma"});
                for (int i = 0; i < 6; ++i)
                    Xdo({"key", "w", "p"});
            }
            if (state.range(0) & 2)
                Xdo({"key", "F9"});
            MoveTo(0, 0);
            QThread::sleep(1);
            std::fprintf(stderr, "program threads: %s\n", ThreadPolicies(program.Pid()).c_str());
            gaps = GapsUnderLoad(server, seconds);
            if (!ClosedAfterServer(state, program, underflows))
                return;
        }
        {
            QProcess pacat;
            QProcessEnvironment pe = QProcessEnvironment::systemEnvironment();
            pe.insert("PULSE_SERVER", QString::fromStdString(server.Address()));
            pacat.setProcessEnvironment(pe);
            pacat.start("pacat", {"-v", "--raw", "--format=s16le", "--rate=44100", "--channels=2", "--latency-msec=25",
                                  "--process-time-msec=6", QString::fromStdString(mixFile.string())});
            pacat.waitForStarted(5000);
            pacatGaps = GapsUnderLoad(server, seconds);
            pacat.kill();
            pacat.waitForFinished(5000);
            pacatUnderflows += PacatUnderruns(pacat);
        }
        state.SetIterationTime(2.0 * seconds);
        state.counters["gaps"] = gaps;
        state.counters["underflows"] = underflows;
        state.counters["pacat_gaps"] = pacatGaps;
        state.counters["pacat_underflows"] = pacatUnderflows;
        state.counters["loops"] = 16;
        state.counters["stretch_s"] = seconds;
    }
}

} // namespace

BENCHMARK(BM_Floor)->Arg(0)->Arg(1)->ArgName("recording")->Iterations(3)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_PacedFloor)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_Startup)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlayingThenRecording)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_SoundServer)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_UnderLoad)
    ->Arg(3)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->ArgName("keylock_rec")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

int main(int argc, char** argv)
{
    // A window for the floor where there is a display; the program's own runs need none here.
    std::unique_ptr<QCoreApplication> app;
    if (TheDisplay())
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
