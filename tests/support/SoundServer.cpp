#include "tests/support/SoundServer.h"

#include <pulse/simple.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

namespace {

std::string SocketPath(const TempDir& dir)
{
    return (dir.path() / "native").string();
}

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

} // namespace

bool SoundServer::Installed()
{
    return std::system("command -v pulseaudio >/dev/null 2>&1") == 0;
}

SoundServer::~SoundServer()
{
    Kill();
}

bool SoundServer::Start()
{
    if (FPid > 0)
        return true;
    const std::string dir = FDir.path().string();
    const std::string socketPath = SocketPath(FDir);
    unlink(socketPath.c_str());
    const std::string sink = "module-null-sink sink_name=duodeck_test sink_properties=device.description=DuoDeckTest";
    const std::string proto = "module-native-protocol-unix auth-anonymous=1 socket=" + socketPath;
    const std::string log = (FDir.path() / "server.log").string();
    FPid = fork();
    if (FPid < 0)
        return false;
    if (FPid == 0) {
        setenv("HOME", dir.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
        setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        execlp("pulseaudio", "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
               "--disallow-exit", "--log-level=error", "-L", sink.c_str(), "-L", proto.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        if (Answers(socketPath))
            return true;
        int status;
        if (waitpid(FPid, &status, WNOHANG) == FPid) {
            FPid = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Kill();
    return false;
}

void SoundServer::Kill()
{
    if (FPid <= 0)
        return;
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
    FPid = -1;
}

void SoundServer::Pause()
{
    if (FPid > 0)
        kill(FPid, SIGSTOP);
}

void SoundServer::Resume()
{
    if (FPid > 0)
        kill(FPid, SIGCONT);
}

std::string SoundServer::Address() const
{
    return "unix:" + SocketPath(FDir);
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
    pa_sample_spec spec{PA_SAMPLE_S16LE, 44100, 2};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.fragsize = 441 * 4; // 10 ms: the recording's timing stays close to the sink's
    int error = 0;
    FStream = pa_simple_new(address.c_str(), "DuoDeck test", PA_STREAM_RECORD, "duodeck_test.monitor", "monitor", &spec,
                            nullptr, &attr, &error);
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
