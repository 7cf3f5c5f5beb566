// The waveform window's cost. The whole program on an X server, both decks playing two songs through
// a private sound server (a null sink): its CPU (utime + stime of /proc/<pid>/stat, all threads) as
// a share of one core with the waveform window drawing at the display's rate, and with the window
// hidden (its menu entry); the underflows the program counted while drawing (its closing console
// line). Next to them a bare Qt window, a child of this program, that puts the same pixels on the
// screen at the same rate (the window's picture, scrolled by a pixel a frame): the least any Qt
// window could pay for them; and the underflows of the program without its window while the bare
// window draws beside it.
// Each stretch lasts DUODECK_BENCH_SECONDS seconds (20 unless set). Run under xvfb-run.
#include "bench/ProcessCpu.h"
#include "tests/support/Fixtures.h"
#include "tests/support/SoundServer.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <regex>
#include <string>
#include <thread>

namespace {

constexpr int SongRate = 44100;
const int MainLeft = 205, MainTop = 128;
// The waveform window's place and size for the main window there (WaveformWindow.h).
const QRect WavesAt(MainLeft + 390, MainTop - 46, 396, 274);

int Seconds()
{
    const int s = qEnvironmentVariableIntValue("DUODECK_BENCH_SECONDS");
    return s > 0 ? s : 20;
}

void Xdo(const QStringList& arguments)
{
    QProcess::execute("xdotool", arguments);
}
void Click(int x, int y, int button = 1)
{
    Xdo({"mousemove", QString::number(x), QString::number(y)});
    Xdo({"click", QString::number(button)});
}
void Sleep(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// Songs with a beat, their tempos and waveforms found once, and a copy of the program.
struct Scratch {
    testsupport::TempDir Dir;
    QString Folder() const { return QString::fromStdString(Dir.path().string()); }
    Scratch()
    {
        const int frames = SongRate * (3 * Seconds() + 30);
        for (const auto& [name, bpm] : {std::pair{"left.wav", 126.5}, std::pair{"right.wav", 123.0}}) {
            std::vector<int16_t> song(size_t(frames) * 2);
            const double beat = 60 / bpm * SongRate;
            for (int k = 0; k * beat < frames; ++k)
                for (int i = 0; i < SongRate / 8 && k * beat + i < frames; ++i) {
                    const double x = double(i) / SongRate;
                    const auto v = static_cast<int16_t>(20000 * std::exp(-x * 25) * std::sin(2 * M_PI * 60 * x));
                    song[size_t(k * beat + i) * 2] = song[size_t(k * beat + i) * 2 + 1] = v;
                }
            testsupport::WriteWavS16(Dir.file(name), SongRate, 2, song);
        }
        QFile::copy(DUODECK_EXE, Folder() + "/duodeck");
        QFile::copy(QFileInfo(DUODECK_EXE).dir().filePath("help.html"), Folder() + "/help.html");
        WriteList("FileListLeft.ini", Dir.file("left.wav").string());
        WriteList("Listbox1.ini", "left.wav");
        WriteList("FileListRight.ini", Dir.file("right.wav").string());
        WriteList("Listbox2.ini", "right.wav");
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

testsupport::SoundServer* TheServer()
{
    static testsupport::SoundServer server;
    static const bool started =
        testsupport::SoundServer::Installed(testsupport::SoundServer::Kind::PulseAudio) && server.Start();
    return started ? &server : nullptr;
}

struct Run {
    double Share = 0;       // of one core
    double Underflows = -1; // as the program counted them
};

// The program with both decks playing; `hideWaves` hides the waveform window through its menu entry.
Run PlayBoth(bool hideWaves, bool measure)
{
    Scratch& s = TheScratch();
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(s.Dir.file("runtime").string()));
    environment.insert("QT_QPA_PLATFORM", "xcb");
    environment.insert("DUODECK_AUDIO_BACKEND", "pulse");
    environment.insert("PULSE_SERVER", QString::fromStdString(TheServer()->Address()));
    program.setProcessEnvironment(environment);
    program.setWorkingDirectory(s.Folder());
    program.start(s.Folder() + "/duodeck", {});
    program.waitForStarted(10000);
    Sleep(3);
    if (hideWaves) {
        Click(MainLeft + 200, MainTop + 70, 3); // the menu: Headphones…, Mixer…, Waveforms
        Sleep(0.5);
        Xdo({"key", "Down", "Down", "Down", "Return"});
        Sleep(0.5);
    }
    Click(MainLeft + 100, MainTop + 21); // deck A's Play
    Click(MainLeft + 268, MainTop + 21); // deck B's Play
    Run run;
    if (measure) {
        Sleep(3);
        const double before = CpuSecondsOf(program.processId());
        const auto start = std::chrono::steady_clock::now();
        Sleep(Seconds());
        const double cpu = CpuSecondsOf(program.processId()) - before;
        run.Share = cpu / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!hideWaves) {
            QProcess::execute(
                "import",
                {"-window", "root", "-crop",
                 QString("%1x%2+%3+%4").arg(WavesAt.width()).arg(WavesAt.height()).arg(WavesAt.x()).arg(WavesAt.y()),
                 s.Folder() + "/waves.png"});
        }
    } else {
        Sleep(20); // both songs analysed: their waveforms are in the cache from now on
    }
    Click(MainLeft + 375, MainTop + 18); // Close
    if (!program.waitForFinished(10000))
        program.kill();
    program.waitForFinished(5000);
    std::smatch m;
    const std::string console = program.readAllStandardError().toStdString();
    run.Underflows = std::regex_search(console, m, std::regex("([0-9]+) underflows")) ? std::stod(m[1]) : 0;
    return run;
}

void BM_ProgramWithWaveforms(benchmark::State& state)
{
    if (!TheServer()) {
        state.SkipWithError("no private PulseAudio server");
        return;
    }
    PlayBoth(false, false); // the analysis, once
    for (auto _ : state) {
        const Run drawn = PlayBoth(false, true);
        const Run hidden = PlayBoth(true, true);
        state.SetIterationTime(Seconds());
        state.counters["cpu_with_waves_pct"] = drawn.Share * 100;
        state.counters["cpu_without_waves_pct"] = hidden.Share * 100;
        state.counters["underflows_with_waves"] = drawn.Underflows;
        state.counters["underflows_without_waves"] = hidden.Underflows;
        // The program without its window while a bare window draws the same pixels beside it: what
        // drawing them costs the sound on this machine, whoever draws.
        QProcess bare;
        bare.start(QCoreApplication::applicationFilePath(), {"--bare", TheScratch().Folder() + "/waves.png"});
        bare.waitForStarted(10000);
        const Run beside = PlayBoth(true, true);
        bare.kill();
        bare.waitForFinished(5000);
        state.counters["underflows_bare_window_beside"] = beside.Underflows;
    }
}

// The bare window: this program again, with --bare <picture>.
void BM_BareQtWindow(benchmark::State& state)
{
    const QString picture = TheScratch().Folder() + "/waves.png";
    if (!QFile::exists(picture)) {
        state.SkipWithError("no picture of the waveform window");
        return;
    }
    for (auto _ : state) {
        QProcess bare;
        bare.start(QCoreApplication::applicationFilePath(), {"--bare", picture});
        bare.waitForStarted(10000);
        Sleep(2);
        const double before = CpuSecondsOf(bare.processId());
        Sleep(Seconds());
        state.counters["cpu_bare_window_pct"] = (CpuSecondsOf(bare.processId()) - before) / Seconds() * 100;
        bare.kill();
        bare.waitForFinished(5000);
        state.SetIterationTime(Seconds());
    }
}

BENCHMARK(BM_ProgramWithWaveforms)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_BareQtWindow)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// Draws `picture` at the display's rate, scrolled by a pixel each frame.
int Bare(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QImage picture(QString::fromLocal8Bit(argv[2]));
    class Window : public QWidget {
    public:
        explicit Window(QImage p) : FPicture(QPixmap::fromImage(std::move(p))) { setFixedSize(FPicture.size()); }
        int Shift = 0;

    protected:
        void paintEvent(QPaintEvent*) override
        {
            QPainter p(this);
            const int w = width(), s = Shift % w;
            p.drawPixmap(0, 0, FPicture, s, 0, w - s, height());
            p.drawPixmap(w - s, 0, FPicture, 0, 0, s, height());
        }

    private:
        QPixmap FPicture;
    } window(picture);
    window.move(WavesAt.topLeft());
    window.show();
    QTimer frames;
    const double hz = window.screen() && window.screen()->refreshRate() > 1 ? window.screen()->refreshRate() : 60;
    QObject::connect(&frames, &QTimer::timeout, &window, [&] {
        ++window.Shift;
        window.update();
    });
    frames.setTimerType(Qt::PreciseTimer);
    frames.start(static_cast<int>(1000 / hz));
    return app.exec();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--bare")
        return Bare(argc, argv);
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
