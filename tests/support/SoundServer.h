// A private sound server for the tests: a PulseAudio daemon in a temporary runtime folder with a
// null sink "duodeck_test" as its default sink, which a test can pause, kill and start again at
// the same address; and a recorder of that sink's monitor. Nothing here touches a user's server.
#pragma once

#include "tests/support/Fixtures.h"

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct pa_simple;

namespace testsupport {

class SoundServer {
public:
    // PulseAudio itself, or PipeWire with its session manager and its pulse service (the
    // protocol the program speaks), on a private session bus.
    enum class Kind { PulseAudio, PipeWire };

    // False when the server's programs are not installed (the tests that need it are then skipped).
    static bool Installed(Kind kind);
    static const char* Name(Kind kind) { return kind == Kind::PulseAudio ? "PulseAudio" : "PipeWire"; }

    explicit SoundServer(Kind kind = Kind::PulseAudio) : FKind(kind) {}
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    // Starts the server, one process after the other, each once the one before it answers; makes
    // the null sink "duodeck_test" its default; tries a failed start once more. Can follow Kill.
    // False says, in Log(), which process ended and how, or which step did not answer.
    bool Start();
    void Kill();   // SIGKILL to every process of the server, and waits for them to end
    void Pause();  // SIGSTOP
    void Resume(); // SIGCONT
    // Loads a second null sink `name` (not the default) beside "duodeck_test". False on a failure.
    bool AddSink(const std::string& name);
    // The client library's address of the server ("unix:/…/native"), for PULSE_SERVER.
    std::string Address() const;
    // Why the last start failed, if it did, then each process's own console output so far.
    std::string Log() const;
    // Puts the thread that serves the clients' protocol (the server's main loop, normal priority
    // as shipped) at SCHED_FIFO `priority`. False where that is not allowed.
    bool ServeAtPriority(int priority);
    // Its processes (for their CPU time).
    std::vector<pid_t> Pids() const
    {
        std::vector<pid_t> pids;
        for (const Process& p : FProcesses)
            pids.push_back(p.Pid);
        return pids;
    }

private:
    struct Process {
        std::string Name;
        pid_t Pid;
    };
    bool StartOnce();
    void Spawn(const std::vector<std::string>& command);
    // Waits until `ready` holds, at most `seconds`, while every process started so far runs on.
    bool WaitUntil(const std::string& step, double seconds, const std::function<bool()>& ready);
    std::string LogPath(const std::string& name) const;
    std::string SocketPath() const;

    Kind FKind;
    TempDir FDir;
    std::vector<Process> FProcesses;
    std::string FFailure;
};

// Records a sink's monitor (the test sink's unless named): 44.1 kHz 16-bit stereo, from the moment
// it is created.
class MonitorRecorder {
public:
    explicit MonitorRecorder(const std::string& address, const std::string& sink = "duodeck_test");
    ~MonitorRecorder();
    MonitorRecorder(const MonitorRecorder&) = delete;
    MonitorRecorder& operator=(const MonitorRecorder&) = delete;

    bool Ok() const { return FStream != nullptr; }
    // Blocks until `seconds` more have been recorded; interleaved samples. Empty on a failure.
    std::vector<int16_t> Record(double seconds);

private:
    pa_simple* FStream = nullptr;
};

// Index of the first frame from which every window of `windowFrames` frames holds the `hz` tone on
// channel 0 at no less than half of `level`; -1 when it never does.
long FirstFrameWithTone(const std::vector<int16_t>& stereo, int rate, double hz, double level, int windowFrames);

} // namespace testsupport
