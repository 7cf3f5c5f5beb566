#include "tests/support/SoundServer.h"

#include <pulse/simple.h>

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace testsupport {

namespace {

bool Answers(const std::string& socketPath)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof(addr.sun_path) - 1);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

bool OnPath(const char* program)
{
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

bool SoundServer::Installed(Kind kind)
{
    if (kind == Kind::PulseAudio)
        return OnPath("pulseaudio");
    return OnPath("pipewire") && OnPath("pipewire-pulse") && OnPath("wireplumber") && OnPath("dbus-daemon") &&
           OnPath("pactl");
}

SoundServer::~SoundServer()
{
    Kill();
}

std::string SoundServer::SocketPath() const
{
    return (FDir.path() / (FKind == Kind::PulseAudio ? "native" : "pulse/native")).string();
}

std::string SoundServer::LogPath(const std::string& name) const
{
    return (FDir.path() / (name + ".log")).string();
}

// Runs `command` with the server's private folders as its home, runtime and configuration folders,
// its output appended to a log of its own. posix_spawn, not fork: the test process has threads, and
// a forked child of a threaded process may not call setenv or malloc before exec. The child starts
// with no blocked signals and default handlers, whatever the test process set, in a session of its
// own as a desktop starts its sound server: the kernel shares the CPU between sessions first, and in
// ours the server would share one share with the program under test.
void SoundServer::Spawn(const std::vector<std::string>& command)
{
    const std::string dir = FDir.path().string();
    const std::vector<std::string> own = {
        "HOME=" + dir,
        "XDG_RUNTIME_DIR=" + dir,
        "XDG_CONFIG_HOME=" + dir + "/config",
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir + "/bus",
        "PULSE_SERVER=unix:" + SocketPath(),
    };
    std::vector<std::string> environment = own;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view line(*entry);
        const bool overridden = std::any_of(own.begin(), own.end(), [&](const std::string& mine) {
            return line.substr(0, line.find('=') + 1) == std::string_view(mine).substr(0, mine.find('=') + 1);
        });
        if (!overridden)
            environment.emplace_back(line);
    }
    std::vector<char*> envp;
    for (std::string& line : environment)
        envp.push_back(line.data());
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, LogPath(command[0]).c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&files, STDOUT_FILENO, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argv[0], &files, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&files);
    if (error != 0)
        throw std::runtime_error("cannot start " + command[0] + ": " + std::strerror(error));
    FProcesses.push_back({command[0], pid});
}

bool SoundServer::ServeAtPriority(int priority)
{
    const std::string protocol = FKind == Kind::PulseAudio ? "pulseaudio" : "pipewire-pulse";
    sched_param param{};
    param.sched_priority = priority;
    return std::any_of(FProcesses.begin(), FProcesses.end(), [&](const Process& p) {
        return p.Name == protocol && sched_setscheduler(p.Pid, SCHED_FIFO, &param) == 0;
    });
}

bool SoundServer::WaitUntil(const std::string& step, double seconds, const std::function<bool()>& ready)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        for (auto process = FProcesses.begin(); process != FProcesses.end(); ++process) {
            int status = 0;
            if (waitpid(process->Pid, &status, WNOHANG) != process->Pid)
                continue;
            std::ostringstream how;
            how << process->Name << " ended while waiting for " << step << ": ";
            if (WIFSIGNALED(status))
                how << "killed by signal " << WTERMSIG(status) << " (" << strsignal(WTERMSIG(status)) << ")";
            else
                how << "exit status " << WEXITSTATUS(status);
            FFailure += how.str() + "\n";
            FProcesses.erase(process);
            return false;
        }
        if (ready())
            return true;
        if (std::chrono::steady_clock::now() > end) {
            FFailure += step + " did not happen within " + std::to_string(seconds) + " s\n";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool SoundServer::Start()
{
    if (!FProcesses.empty())
        return true;
    FFailure.clear();
    for (int attempt = 1; attempt <= 2; ++attempt) {
        if (StartOnce())
            return true;
        Kill();
        FFailure += "(start " + std::to_string(attempt) + " of 2 failed)\n";
    }
    return false;
}

bool SoundServer::StartOnce()
{
    const std::string dir = FDir.path().string();
    const std::string socketPath = SocketPath();
    // Sockets a killed server left behind.
    for (const char* stale : {"native", "pulse/native", "bus", "pipewire-0", "pipewire-0.lock"})
        unlink((dir + "/" + stale).c_str());
    const std::string sink = "module-null-sink sink_name=duodeck_test sink_properties=device.description=DuoDeckTest";
    const auto answers = [](const std::string& path) { return [path] { return Answers(path); }; };
    if (FKind == Kind::PulseAudio) {
        const std::string proto = "module-native-protocol-unix auth-anonymous=1 socket=" + socketPath;
        Spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no", "--disallow-exit",
               "--log-level=error", "-L", sink, "-L", proto});
        return WaitUntil("the PulseAudio socket", 10, answers(socketPath));
    }
    Spawn({"dbus-daemon", "--session", "--address=unix:path=" + dir + "/bus", "--nofork", "--nopidfile"});
    if (!WaitUntil("the session bus", 5, answers(dir + "/bus")))
        return false;
    Spawn({"pipewire"});
    // Its clients give up when the graph's own socket is not there yet.
    if (!WaitUntil("the PipeWire socket", 5, answers(dir + "/pipewire-0")))
        return false;
    Spawn({"wireplumber"});
    Spawn({"pipewire-pulse"});
    if (!WaitUntil("the pulse service's socket", 10, answers(socketPath)))
        return false;
    // The pulse service answers before the session manager has set up the graph: the default sink
    // holds only once the session manager keeps the defaults.
    const std::string pactl =
        "HOME=" + dir + " XDG_RUNTIME_DIR=" + dir + " PULSE_SERVER=unix:" + socketPath + " pactl ";
    const std::string pactlLog = " >>" + LogPath("pactl") + " 2>&1";
    if (!WaitUntil("the null sink", 10,
                   [&] { return std::system((pactl + "load-module " + sink + pactlLog).c_str()) == 0; }))
        return false;
    return WaitUntil("the null sink as the default sink", 10, [&] {
        return std::system((pactl + "set-default-sink duodeck_test" + pactlLog).c_str()) == 0 &&
               std::system((pactl + "get-default-sink 2>/dev/null | grep -qx duodeck_test").c_str()) == 0;
    });
}

void SoundServer::Kill()
{
    for (const Process& process : FProcesses)
        kill(process.Pid, SIGKILL);
    for (const Process& process : FProcesses)
        waitpid(process.Pid, nullptr, 0);
    FProcesses.clear();
}

void SoundServer::Pause()
{
    for (const Process& process : FProcesses)
        kill(process.Pid, SIGSTOP);
}

void SoundServer::Resume()
{
    for (const Process& process : FProcesses)
        kill(process.Pid, SIGCONT);
}

bool SoundServer::AddSink(const std::string& name)
{
    const std::string dir = FDir.path().string();
    return std::system(("HOME=" + dir + " XDG_RUNTIME_DIR=" + dir + " PULSE_SERVER=" + Address() +
                        " pactl load-module module-null-sink sink_name=" + name +
                        " sink_properties=device.description=" + name + " >>" + LogPath("pactl") + " 2>&1")
                           .c_str()) == 0;
}

std::string SoundServer::Address() const
{
    return "unix:" + SocketPath();
}

std::string SoundServer::Log() const
{
    std::stringstream text;
    text << FFailure;
    for (const char* name : {"pulseaudio", "dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse", "pactl"}) {
        std::ifstream in(LogPath(name));
        if (in)
            text << "== " << name << " ==\n" << in.rdbuf();
    }
    return text.str();
}

MonitorRecorder::MonitorRecorder(const std::string& address, const std::string& sink)
{
    pa_sample_spec sampleFormat{PA_SAMPLE_S16LE, 44100, 2};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    // 20 ms: the recording's timing stays close to the sink's. Not 10: PipeWire would run its graph
    // in 5.3 ms cycles for it, shorter than the program's own, and a short stall of the machine
    // would then leave a cycle silent that no listener would have.
    attr.fragsize = 882 * 4;
    int error = 0;
    FStream = pa_simple_new(address.c_str(), "DuoDeck test", PA_STREAM_RECORD, (sink + ".monitor").c_str(), "monitor",
                            &sampleFormat, nullptr, &attr, &error);
}

MonitorRecorder::~MonitorRecorder()
{
    if (FStream)
        pa_simple_free(FStream);
}

std::vector<int16_t> MonitorRecorder::Record(double seconds)
{
    std::vector<int16_t> out(static_cast<size_t>(seconds * 44100) * 2);
    if (!FStream || pa_simple_read(FStream, out.data(), out.size() * 2, nullptr) < 0)
        return {};
    return out;
}

long FirstFrameWithTone(const std::vector<int16_t>& stereo, int rate, double hz, double level, int windowFrames)
{
    const long frames = static_cast<long>(stereo.size() / 2);
    long first = -1;
    for (long start = 0; start + windowFrames <= frames; start += windowFrames) {
        const std::vector<int16_t> window(stereo.begin() + 2 * start, stereo.begin() + 2 * (start + windowFrames));
        if (ToneLevel(window, 2, 0, rate, hz) >= level / 2) {
            if (first < 0)
                first = start;
        } else {
            first = -1;
        }
    }
    return first;
}

} // namespace testsupport
