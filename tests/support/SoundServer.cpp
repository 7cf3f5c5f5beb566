#include "tests/support/SoundServer.h"

#include <pulse/simple.h>

#include <fcntl.h>
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

// Runs `command` with the server's private folders as its home, runtime and configuration
// folders, its output appended to the log.
pid_t SoundServer::Spawn(const std::vector<std::string>& command)
{
    const std::string dir = FDir.path().string();
    const std::string log = (FDir.path() / "server.log").string();
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    setenv("HOME", dir.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir + "/bus").c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + SocketPath()).c_str(), 1);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
    }
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

bool SoundServer::Start()
{
    if (!FPids.empty())
        return true;
    const std::string dir = FDir.path().string();
    const std::string socketPath = SocketPath();
    unlink(socketPath.c_str());
    const std::string sink = "module-null-sink sink_name=duodeck_test sink_properties=device.description=DuoDeckTest";
    if (FKind == Kind::PulseAudio) {
        const std::string proto = "module-native-protocol-unix auth-anonymous=1 socket=" + socketPath;
        FPids.push_back(Spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                               "--disallow-exit", "--log-level=error", "-L", sink, "-L", proto}));
    } else {
        FPids.push_back(
            Spawn({"dbus-daemon", "--session", "--address=unix:path=" + dir + "/bus", "--nofork", "--nopidfile"}));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        FPids.push_back(Spawn({"pipewire"}));
        // Its clients give up when the graph's own socket is not there yet.
        const auto ready = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!Answers(dir + "/pipewire-0") && std::chrono::steady_clock::now() < ready)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        FPids.push_back(Spawn({"wireplumber"}));
        FPids.push_back(Spawn({"pipewire-pulse"}));
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool up = false;
    while (!up && std::chrono::steady_clock::now() < end) {
        up = Answers(socketPath);
        for (pid_t pid : FPids) {
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                FPids.erase(std::find(FPids.begin(), FPids.end(), pid));
                Kill();
                return false;
            }
        }
        if (!up)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (up && FKind == Kind::PipeWire) {
        // The pulse service answers before the session manager has set up the graph.
        const std::string pactl =
            "HOME=" + dir + " XDG_RUNTIME_DIR=" + dir + " PULSE_SERVER=unix:" + socketPath + " pactl ";
        up = std::system((pactl + "load-module " + sink + " >/dev/null 2>&1").c_str()) == 0 &&
             std::system((pactl + "set-default-sink duodeck_test >/dev/null 2>&1").c_str()) == 0;
    }
    if (!up)
        Kill();
    return up;
}

void SoundServer::Kill()
{
    for (pid_t pid : FPids)
        kill(pid, SIGKILL);
    for (pid_t pid : FPids)
        waitpid(pid, nullptr, 0);
    FPids.clear();
}

void SoundServer::Pause()
{
    for (pid_t pid : FPids)
        kill(pid, SIGSTOP);
}

void SoundServer::Resume()
{
    for (pid_t pid : FPids)
        kill(pid, SIGCONT);
}

std::string SoundServer::Address() const
{
    return "unix:" + SocketPath();
}

std::string SoundServer::Log() const
{
    std::ifstream in(FDir.path() / "server.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

MonitorRecorder::MonitorRecorder(const std::string& address)
{
    pa_sample_spec sampleFormat{PA_SAMPLE_S16LE, 44100, 2};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.fragsize = 441 * 4; // 10 ms: the recording's timing stays close to the sink's
    int error = 0;
    FStream = pa_simple_new(address.c_str(), "DuoDeck test", PA_STREAM_RECORD, "duodeck_test.monitor", "monitor",
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
