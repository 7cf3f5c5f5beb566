// The sound output against a real sound server that each test starts privately (PulseAudio, and
// PipeWire's pulse service; a null sink as the default sink): what comes out of the sink's monitor,
// also with every core busy; a server that holds the stream back at its start; a server that dies
// and comes back, with and without another stream on it; a suspended sink; Close with and without
// the server.
#include "platform/kernel/Realtime.h"
#include "tests/engine/engine_helpers.h"
#include "tests/support/Fixtures.h"
#include "tests/support/SoundServer.h"

#include <chrono>
#include <cmath>
#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>
#include <utility>

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace dstest;
using engine::Engine;
using testsupport::FirstFrameWithTone;
using testsupport::MonitorRecorder;
using testsupport::SoundServer;
using testsupport::ToneLevel;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Rate = 44100;
constexpr double LowHz = 441, HighHz = 1000;
constexpr double LowLevel = 8000, HighLevel = 4000;

double Db(double level, double reference)
{
    return 20 * std::log10(level / reference);
}

// A server of our own, the engine on its default choice, and two looping one-second tones.
class ServerPlayback : public ::testing::TestWithParam<SoundServer::Kind> {
protected:
    void SetUp() override
    {
        if (!SoundServer::Installed(GetParam()))
            GTEST_SKIP() << SoundServer::Name(GetParam())
                         << " is not installed here (Debian packages pulseaudio; pipewire, pipewire-pulse, "
                            "wireplumber, dbus): skipped";
        ASSERT_TRUE(FServer.Start()) << FServer.Log();
        setenv("PULSE_SERVER", FServer.Address().c_str(), 1);
        unsetenv("DUODECK_AUDIO_BACKEND");
        Engine::Reset();
    }
    void TearDown() override
    {
        FLow.Reset();
        FHigh.Reset();
        FDevice.Reset();
        Engine::Reset();
        unsetenv("PULSE_SERVER");
    }

    void Play()
    {
        ASSERT_EQ(DSoundLibrary().DirectSoundCreate(nullptr, FDevice.Put(), nullptr), DS_OK);
        ASSERT_EQ(FDevice->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY), DS_OK);
        FLow = Tone(LowHz, LowLevel);
        FHigh = Tone(HighHz, HighLevel);
    }

    ComPtr<IDirectSoundBuffer> Tone(double hz, double level)
    {
        // One second holds a whole number of cycles of both tones, so the loop is seamless.
        return PlayingBuffer(FDevice.Get(), testsupport::SineS16(Rate, Rate, 2, hz, level), Rate, 2);
    }

    // Seconds from now until the low tone is steadily on the monitor; negative when it is not
    // within `limit` seconds.
    double SecondsUntilHeard(double limit)
    {
        const auto start = Clock::now();
        MonitorRecorder monitor(FServer.Address());
        if (!monitor.Ok())
            return -1;
        const double opened = std::chrono::duration<double>(Clock::now() - start).count();
        // In pieces, so that the wait ends once the tone has held for a fifth of a second.
        std::vector<int16_t> heard;
        long frame = -1;
        while (heard.size() < size_t(limit * Rate) * 2) {
            const auto piece = monitor.Record(0.1);
            if (piece.empty())
                return -1;
            heard.insert(heard.end(), piece.begin(), piece.end());
            frame = FirstFrameWithTone(heard, Rate, LowHz, LowLevel, Rate / 20);
            if (frame >= 0 && long(heard.size() / 2) - frame >= Rate / 5)
                break;
        }
        return frame < 0 ? -1 : opened + double(frame) / Rate;
    }

    void ExpectCleanWhile(const std::function<std::function<void()>()>& disturb);

    SoundServer FServer{GetParam()};
    ComPtr<IDirectSound> FDevice;
    ComPtr<IDirectSoundBuffer> FLow, FHigh;
};

} // namespace

// What is wrong with 5 s of the two tones heard on the monitor: a level off by more than 0.5 dB, a
// gap (a 10 ms window without the sum's energy) or a click (a step steeper than the two tones': a
// server cycle left silent, 5 ms or 10 ms, is too short for a gap but makes two); empty when
// nothing is.
static std::string TakeFaults(const std::vector<int16_t>& heard)
{
    std::ostringstream faults;
    for (const auto& [channel, hz, level] :
         {std::tuple(0, LowHz, LowLevel), std::tuple(0, HighHz, HighLevel), std::tuple(1, LowHz, LowLevel)}) {
        const double db = Db(ToneLevel(heard, 2, channel, Rate, hz), level);
        if (std::abs(db) > 0.5)
            faults << hz << " Hz on channel " << channel << " at " << db << " dB; ";
    }
    const double steepest = 2 * M_PI * (LowHz * LowLevel + HighHz * HighLevel) / Rate;
    const double rms = std::sqrt((LowLevel * LowLevel + HighLevel * HighLevel) / 2);
    long quiet = 0, clicks = 0;
    for (size_t start = 0; start + 882 <= heard.size(); start += 882) {
        double sum = 0;
        for (size_t i = start; i < start + 882; i += 2)
            sum += double(heard[i]) * heard[i];
        quiet += std::sqrt(sum / 441) < rms / 2;
    }
    int worst = 0;
    size_t worstAt = 0;
    for (size_t i = 2; i < heard.size(); i += 2) {
        const int step = std::abs(heard[i] - heard[i - 2]);
        clicks += step > steepest * 1.1 + 2;
        if (step > worst) {
            worst = step;
            worstAt = i / 2;
        }
    }
    if (quiet > 0)
        faults << quiet << " quiet windows; ";
    if (clicks > 0)
        faults << clicks << " clicks, steepest step " << worst << " at frame " << worstAt << " (the tones allow "
               << steepest << ")";
    return faults.str();
}

TEST_P(ServerPlayback, BothTonesComeOutAtTheirLevelsWithoutAGapOrAClick)
{
    ListedDevices listed;
    ASSERT_EQ(DSoundLibrary().DirectSoundEnumerateA(&ListedDevices::Collect, &listed), DS_OK);
    ASSERT_FALSE(listed.Names.empty());
    EXPECT_EQ(listed.Names.front(), "DuoDeckTest"); // the server's sinks, its default first
    Play();
    EXPECT_EQ(Engine::Instance().BackendName(), "pulse");

    MonitorRecorder monitor(FServer.Address());
    ASSERT_TRUE(monitor.Ok());
    monitor.Record(0.5); // the stream's start
    const auto heard = monitor.Record(5);
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(TakeFaults(heard), "");
}

TEST_P(ServerPlayback, AServerThatHoldsTheStreamBackAtItsStartIsWaitedFor)
{
    Play();
    FServer.Pause();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    FServer.Resume();
    const double after = SecondsUntilHeard(3);
    EXPECT_GE(after, 0) << "the tone never came";
    EXPECT_LT(after, 2.0);
    EXPECT_EQ(Engine::Instance().BackendName(), "pulse");
}

TEST_P(ServerPlayback, AServerThatDiesIsReplacedByTheNullPaceAndTheSoundComesBackWithIt)
{
    Play();
    ASSERT_GE(SecondsUntilHeard(2), 0);
    testing::internal::CaptureStderr();

    FServer.Kill();
    const auto killed = Clock::now();
    EXPECT_TRUE(WaitFor([] { return Engine::Instance().BackendName() == "null"; }, std::chrono::milliseconds(1000)));
    const DWORD before = PlayCursor(FLow.Get());
    EXPECT_TRUE(WaitFor([&] { return PlayCursor(FLow.Get()) != before; }, std::chrono::milliseconds(500)));
    // Several retries against no server at all.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500) - (Clock::now() - killed));

    ASSERT_TRUE(FServer.Start()) << FServer.Log();
    const double back = SecondsUntilHeard(3);
    const std::string console = testing::internal::GetCapturedStderr();
    EXPECT_GE(back, 0) << "the tone did not come back\n" << console;
    EXPECT_LT(back, 2.0) << console;
    EXPECT_EQ(Engine::Instance().BackendName(), "pulse");
    EXPECT_LE(std::count(console.begin(), console.end(), '\n'), 3) << console;
}

// The same with nothing else on the restarted server to wake its sink: PulseAudio's idle null sink
// holds a new stream back (any client's) until its 2-s block ends or another stream wakes it, here
// the monitor's recording, opened 1.3 s after the server answers. The sound is on 1.5 s after the answer.
TEST_P(ServerPlayback, ARestartedServerWithNoOtherStreamIsHeardSoon)
{
    Play();
    ASSERT_GE(SecondsUntilHeard(2), 0);
    testing::internal::CaptureStderr();
    FServer.Kill();
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    ASSERT_TRUE(FServer.Start()) << FServer.Log();
    std::this_thread::sleep_until(Clock::now() + std::chrono::milliseconds(1300));
    MonitorRecorder monitor(FServer.Address());
    ASSERT_TRUE(monitor.Ok());
    const auto heard = monitor.Record(0.5);
    const std::string console = testing::internal::GetCapturedStderr();
    const long from = FirstFrameWithTone(heard, Rate, LowHz, LowLevel, Rate / 20);
    EXPECT_TRUE(from >= 0 && from <= Rate / 5) << "not yet heard (from frame " << from << ")\n" << console;
}

TEST_P(ServerPlayback, CloseIsPromptWithTheServerAliveDeadOrStopped)
{
    // 3: stopped long enough that the device has been handed over and is being tried again, so
    // that Close meets a connection attempt under way.
    for (int how = 0; how < 4; ++how) {
        Play();
        ASSERT_GE(SecondsUntilHeard(2), 0);
        if (how == 1)
            FServer.Kill();
        // Case 3 needs a device that has played past its start, where a silent device is given
        // StartGraceMs; heard for 0.2 s may still be a few renders short of it.
        if (how == 3)
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        if (how >= 2)
            FServer.Pause();
        if (how == 3) {
            testing::internal::CaptureStderr();
            EXPECT_TRUE(WaitFor([] { return Engine::Instance().BackendName() == "null"; }, std::chrono::seconds(2)));
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            testing::internal::GetCapturedStderr();
        }
        const auto start = Clock::now();
        FLow.Reset();
        FHigh.Reset();
        FDevice.Reset();
        Engine::Reset();
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500)) << "case " << how;
        FServer.Resume();
        if (how == 1) {
            ASSERT_TRUE(FServer.Start());
        }
        setenv("PULSE_SERVER", FServer.Address().c_str(), 1);
    }
}

namespace {

// Counts the frames a looping buffer's play cursor moves, wraps included, on a thread of its own
// that looks every 5 ms, from its construction to Seconds().
class PaceWatch {
public:
    PaceWatch(IDirectSoundBuffer* buffer, DWORD bytes) : FStart(Clock::now())
    {
        FThread = std::thread([this, buffer, bytes] {
            DWORD last = PlayCursor(buffer);
            while (!FStop.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                const DWORD now = PlayCursor(buffer);
                FFrames.fetch_add(((now + bytes - last) % bytes) / 4);
                last = now;
            }
        });
    }
    ~PaceWatch() { Stop(); }
    // Real seconds since the start, and the song's seconds played meanwhile; the watch ends.
    std::pair<double, double> Stop()
    {
        if (FThread.joinable()) {
            FStop.store(true);
            FThread.join();
            FElapsed = std::chrono::duration<double>(Clock::now() - FStart).count();
        }
        return {FElapsed, double(FFrames.load()) / Rate};
    }

private:
    const Clock::time_point FStart;
    std::atomic<bool> FStop{false};
    std::atomic<long> FFrames{0};
    double FElapsed = 0;
    std::thread FThread;
};

int Lines(const std::string& text, const std::string& part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

bool Pactl(const SoundServer& server, const std::string& arguments)
{
    return std::system(("PULSE_SERVER=" + server.Address() + " pactl " + arguments + " >/dev/null 2>&1").c_str()) == 0;
}

// Whether the server has a corked playback stream.
bool Corked(const SoundServer& server)
{
    const std::string command = "PULSE_SERVER=" + server.Address() + " pactl list sink-inputs 2>/dev/null";
    FILE* out = popen(command.c_str(), "r");
    if (!out)
        return false;
    std::string text;
    char chunk[512];
    while (size_t n = fread(chunk, 1, sizeof chunk, out))
        text.append(chunk, n);
    pclose(out);
    return text.find("Corked: yes") != std::string::npos;
}

} // namespace

// With nothing playing for a while the stream is corked, so the sink can idle; a song started
// then is heard at once.
TEST_P(ServerPlayback, NothingPlayingCorksTheStreamAndPlayWakesIt)
{
    if (GetParam() == SoundServer::Kind::PipeWire)
        GTEST_SKIP() << "the same client code as on PulseAudio: tested there";
    Play();
    ASSERT_GE(SecondsUntilHeard(2), 0);
    ASSERT_EQ(FLow->Stop(), DS_OK);
    ASSERT_EQ(FHigh->Stop(), DS_OK);
    EXPECT_FALSE(Corked(FServer));
    EXPECT_TRUE(WaitFor([&] { return Corked(FServer); }, std::chrono::seconds(8)));
    testing::internal::CaptureStderr();
    ASSERT_EQ(FLow->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    const double heard = SecondsUntilHeard(2);
    EXPECT_GE(heard, 0) << "no sound after the stream was corked";
    EXPECT_LT(heard, 0.5);
    EXPECT_FALSE(Corked(FServer));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// A sink that takes the stream and does not play it (suspended; a Bluetooth sink that will not
// start) is seen within half a second; the null pace goes on from the position the device reached,
// at real time, so the song is where the clock says when the sound comes back with the sink.
TEST_P(ServerPlayback, ASuspendedSinkKeepsThePaceAndTheSoundComesBackWithIt)
{
    if (GetParam() == SoundServer::Kind::PipeWire)
        GTEST_SKIP() << "PipeWire's null sink goes on consuming while suspended: nothing to recover from";
    Play();
    ASSERT_GE(SecondsUntilHeard(2), 0);
    testing::internal::CaptureStderr();
    PaceWatch pace(FLow.Get(), Rate * 4);
    const auto suspended = Clock::now();
    ASSERT_TRUE(Pactl(FServer, "suspend-sink duodeck_test 1"));
    EXPECT_TRUE(WaitFor([] { return Engine::Instance().BackendName() == "null"; }, std::chrono::seconds(2)));
    EXPECT_LT(Clock::now() - suspended, std::chrono::milliseconds(500)) << "the stall was seen late";
    std::this_thread::sleep_until(suspended + std::chrono::seconds(6));
    ASSERT_TRUE(Pactl(FServer, "suspend-sink duodeck_test 0"));
    const double back = SecondsUntilHeard(3);
    EXPECT_GE(back, 0) << "the tone did not come back";
    EXPECT_LT(back, 2.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000)); // no further change comes
    const auto [elapsed, played] = pace.Stop();
    EXPECT_NEAR(played, elapsed, 0.3) << "the song is off real time";
    const std::string console = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Lines(console, "stopped responding"), 1) << console;
    EXPECT_EQ(Lines(console, "is back"), 1) << console;
    EXPECT_EQ(Lines(console, "\n"), 2) << console;
}

// The program starts before the server answers, and is heard soon after it does.
TEST_P(ServerPlayback, AServerThatStartsAfterTheProgramIsHeardSoonAfter)
{
    FServer.Kill();
    Engine::Reset();
    testing::internal::CaptureStderr();
    Play();
    EXPECT_EQ(Engine::Instance().BackendName(), "null");
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    ASSERT_TRUE(FServer.Start()) << FServer.Log();
    const double heard = SecondsUntilHeard(4);
    EXPECT_GE(heard, 0) << "the tone never came";
    EXPECT_LT(heard, 2.0);
    const std::string console = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Lines(console, "\n"), 2) << console;
}

// Whether this process may start a SCHED_FIFO thread at `priority`.
static bool MayRunAt(int priority)
{
    rlimit limit{};
    getrlimit(RLIMIT_RTPRIO, &limit);
    return geteuid() == 0 || limit.rlim_cur >= rlim_t(priority);
}

// Nothing wrong on the monitor over 5 s while `disturb` runs (it returns what stops it), and no
// underflow meanwhile; skipped where the render thread may not run at real-time priority.
void ServerPlayback::ExpectCleanWhile(const std::function<std::function<void()>()>& disturb)
{
    const bool allowed = MayRunAt(realtime::Priority);
    Play();
    MonitorRecorder monitor(FServer.Address());
    ASSERT_TRUE(monitor.Ok());
    monitor.Record(0.5); // the stream's start
    if (!allowed && realtime::RealtimeThreads() == 0)
        GTEST_SKIP() << "real-time scheduling is not allowed here (not root, no RLIMIT_RTPRIO, no RealtimeKit)";
    EXPECT_GE(realtime::RealtimeThreads(), 1) << "the render thread runs at normal priority";
    // The server passes every request and every block through its main loop, which it runs at
    // normal priority: under busy loops its requests come up to 10 ms late, and now and then late
    // enough to drain any client's 40-ms buffer (pacat's too). Raised here, below our render
    // thread, what is left to fail is this program's own path.
    if (!FServer.ServeAtPriority(realtime::Priority - 1))
        GTEST_SKIP() << "the server's main loop may not run at real-time priority here";
    const std::function<void()> stop = disturb();
    const uint64_t underflows = Engine::Instance().Underflows();
    const auto heard = monitor.Record(5);
    const uint64_t more = Engine::Instance().Underflows() - underflows;
    stop();
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(TakeFaults(heard), "");
    EXPECT_EQ(more, 0u);
}

// Both tones while twice as many busy loops as cores run at normal priority: the render thread,
// real-time, keeps up, so the sink's monitor holds no gap and the server reports no underflow.
TEST_P(ServerPlayback, BusyLoopsOnEveryCoreLeaveNoGap)
{
    ExpectCleanWhile([] {
        // Other programs: processes in sessions of their own, as a desktop starts them (the
        // kernel shares the CPU between sessions first).
        std::vector<pid_t> loops;
        for (unsigned i = 0; i < 2 * std::max(1u, std::thread::hardware_concurrency()); ++i)
            if (const pid_t pid = fork(); pid == 0) {
                setsid();
                for (volatile unsigned long n = 0;;)
                    n = n + 1;
            } else {
                loops.push_back(pid);
            }
        return [loops] {
            for (const pid_t pid : loops)
                kill(pid, SIGKILL);
            for (const pid_t pid : loops)
                waitpid(pid, nullptr, 0);
        };
    });
}

// Every core taken for 7 ms four times a second by a thread above every audio thread, as a virtual
// machine's host or a slow interrupt may: the server's and our buffers bridge it.
TEST_P(ServerPlayback, ShortStallsOfEveryCoreLeaveNoGap)
{
    if (!MayRunAt(sched_get_priority_max(SCHED_FIFO)))
        GTEST_SKIP() << "a thread above the sound server's may not be started here (not root)";
    ExpectCleanWhile([] {
        auto stop = std::make_shared<std::atomic<bool>>(false);
        std::vector<std::thread> stalls;
        for (unsigned core = 0; core < std::max(1u, std::thread::hardware_concurrency()); ++core)
            stalls.emplace_back([stop, core] {
                cpu_set_t one;
                CPU_ZERO(&one);
                CPU_SET(core, &one);
                pthread_setaffinity_np(pthread_self(), sizeof(one), &one);
                sched_param top{sched_get_priority_max(SCHED_FIFO)};
                if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &top) != 0)
                    return;
                auto next = Clock::now();
                while (!stop->load()) {
                    next += std::chrono::milliseconds(250);
                    std::this_thread::sleep_until(next);
                    for (const auto end = Clock::now() + std::chrono::milliseconds(7); Clock::now() < end;) {
                    }
                }
            });
        return [stop, stalls = std::make_shared<std::vector<std::thread>>(std::move(stalls))] {
            stop->store(true);
            for (std::thread& t : *stalls)
                t.join();
        };
    });
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerPlayback,
                         ::testing::Values(SoundServer::Kind::PulseAudio, SoundServer::Kind::PipeWire),
                         [](const auto& info) { return std::string(SoundServer::Name(info.param)); });

// The desktop's server does not answer at start, so the device chosen is a PortAudio one: an ALSA
// device that plays into a second server. That server dies; both servers come back. The chosen
// device is tried again (not the desktop's server that now answers) and is heard again.
TEST(PortAudioThroughServer, ADeviceWhoseServerDiesAndReturnsIsBack)
{
    if (!SoundServer::Installed(SoundServer::Kind::PulseAudio))
        GTEST_SKIP() << "PulseAudio is not installed here: skipped";
    SoundServer desktop, device;
    ASSERT_TRUE(device.Start()) << device.Log();
    testsupport::TempDir home;
    {
        std::ofstream rc(home.file(".asoundrc"));
        rc << "pcm.duodeckpulse { type pulse server \"" << device.Address() << "\" }\n";
        rc << "pcm.!a52 { type null }\n";
    }
    const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", home.path().c_str(), 1);
    setenv("PULSE_SERVER", desktop.Address().c_str(), 1); // not started yet: nobody answers there
    unsetenv("DUODECK_AUDIO_BACKEND");
    Engine::Reset();
    struct Restore {
        std::string Home;
        ~Restore()
        {
            Engine::Reset();
            setenv("HOME", Home.c_str(), 1);
            unsetenv("PULSE_SERVER");
        }
    } restore{oldHome};

    ListedDevices listed;
    ASSERT_EQ(DSoundLibrary().DirectSoundEnumerateA(&ListedDevices::Collect, &listed), DS_OK);
    const auto it = std::find(listed.Names.begin(), listed.Names.end(), "duodeckpulse");
    if (it == listed.Names.end())
        GTEST_SKIP() << "PortAudio does not offer the ALSA device of the sound server's plugin here "
                        "(Debian package libasound2-plugins): skipped";
    const GUID guid = listed.Guids[it - listed.Names.begin()];

    ComPtr<IDirectSound> ds;
    ASSERT_EQ(DSoundLibrary().DirectSoundCreate(&guid, ds.Put(), nullptr), DS_OK);
    ASSERT_EQ(Engine::Instance().BackendName(), "portaudio");
    ASSERT_EQ(ds->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY), DS_OK);
    ComPtr<IDirectSoundBuffer> tone =
        PlayingBuffer(ds.Get(), testsupport::SineS16(Rate, Rate, 2, LowHz, LowLevel), Rate, 2);

    const auto heardOn = [&](SoundServer& server, double seconds) {
        MonitorRecorder monitor(server.Address());
        const auto start = Clock::now();
        while (monitor.Ok() && Clock::now() - start < std::chrono::duration<double>(seconds)) {
            if (FirstFrameWithTone(monitor.Record(0.3), Rate, LowHz, LowLevel, Rate / 20) >= 0)
                return true;
        }
        return false;
    };
    ASSERT_TRUE(heardOn(device, 3));
    testing::internal::CaptureStderr();
    device.Kill();
    EXPECT_TRUE(WaitFor([] { return Engine::Instance().BackendName() == "null"; }, std::chrono::seconds(2)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(desktop.Start()) << desktop.Log();
    ASSERT_TRUE(device.Start()) << device.Log();
    EXPECT_TRUE(heardOn(device, 5)) << "the device did not come back";
    EXPECT_EQ(Engine::Instance().BackendName(), "portaudio");
    tone.Reset();
    ds.Reset();
    const std::string console = testing::internal::GetCapturedStderr();
    // PortAudio's own complaints about the broken stream come on the console too.
    EXPECT_EQ(Lines(console, "DuoDeck sound output"), 2) << console;
}
