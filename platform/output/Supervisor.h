// The supervisor: decides which device plays the mix and keeps the sound going when the
// device fails. One per engine.
//
// The target is the device the user chose: a driver's device, or "the default" (the first driver of
// the chain that gives one: the sound server, then PortAudio's default output). Its states:
//   Off       no device (before the first DirectSoundCreate, after Reset).
//   Starting  the target's device renders but has not yet rendered for RunningMs; a server may hold
//             a new stream back, so it counts as stalled only after StartGraceMs.
//   Running   the device has rendered for RunningMs. Once silent for StallMs, slower than half
//             of real time over PaceWindowMs (a sink that takes the stream and does not play it),
//             or failed, its place goes to the null pace (StandIn), which first renders at once
//             the time the device missed, so the songs stay in step with real time. While nothing plays for IdleMs
//             and no recording listens, the device is told it is idle (a server stream is corked)
//             and not watched.
//   StandIn   the null pace renders in the target's place, so cursors, refills and a recording go
//             on. Every RetryMs the target is opened again as a trial: it renders silence while the
//             null pace keeps time, and takes over (in whatever format it came back in) only once it
//             has rendered at no less than half of real time for TrialRunningMs, counted from the end of
//             any hold the server put on its first buffer; a trial that has not within
//             StartGraceMs is dropped. The default target is resolved afresh at each try,
//             so a server that answers late, or a PortAudio device after a server goes, is found. A
//             target that cannot be made again (the null device, a one-off test device) is not
//             retried: the null pace becomes the device.
// Rules: API calls and the supervisor's thread share FControl, held for decisions and token swaps
// only; opening, starting and stopping devices and reading device lists run outside it on the
// supervisor's thread (on an API thread they run under FControl, never under the engine's lock).
// Stops that may hang run on threads abandoned after StopDeadlineMs, and Reset leaves a thread busy
// in a connect behind, so Close never waits longer. Each change the user hears is one console line.
#pragma once

#include "platform/output/Backend.h"
#include "platform/output/RenderGate.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace output {

class Supervisor {
public:
    // Program milliseconds (scaled by the time scale in tests).
    static constexpr double StallMs = 300;
    static constexpr double StartGraceMs = 3000;
    static constexpr double RunningMs = 200;
    // Short, so that a server whose idle sink holds a new stream back until something wakes it is
    // heard at once then; a trial that goes on to stall is caught like any running device.
    static constexpr double TrialRunningMs = 50;
    static constexpr double RetryMs = 500;
    static constexpr double IdleMs = 5000;
    static constexpr double PaceWindowMs = 1000;
    static constexpr double PollMs = 100;
    static constexpr double TrialPollMs = 10; // while a trial runs: it takes over within this of proving itself
    // Real milliseconds a device's stop may take before it is abandoned on a thread of its own.
    static constexpr int StopDeadlineMs = 400;

    // The devices it chooses play `source`.
    explicit Supervisor(BlockSource& source);
    // Never destroyed in practice (the engine is not): a thread left behind by Reset may still look
    // at it.
    ~Supervisor();

    // API threads. Chooses and starts the device for `guid` (null: the default device).
    HRESULT Open(const GUID* guid);
    // The devices of the first driver that answers (where a server runs, it holds the sound card);
    // `serverSinks`, when given, says whether they are the sound server's sinks (the default first).
    std::vector<DeviceInfo> Devices(bool* serverSinks = nullptr);
    // The format asked for; the device is restarted and the engine takes what it really gets.
    void RequestFormat(const OutputFormat& format);
    // Stops every device (waiting at most StopDeadlineMs) and forgets the test settings.
    void Reset();
    // Something started playing: a corked stream is woken at once. Any thread, no lock.
    void NotePlaying();
    // Renders `frames` frames of the output format into `out` now, when the device is one that
    // renders only when asked (the manual test backend); false otherwise.
    bool Pull(void* out, uint32_t frames);
    // The format the mix is rendered in, and what the devices report of themselves.
    OutputFormat Format() const { return FGate.Format(); }
    uint32_t OutputRate() const { return FGate.OutputRate(); }
    uint32_t LeadFrames() const { return FGate.LeadFrames(); }
    // The kind of the device rendering now: "pulse", "portaudio", "null", "manual", "test" or "none".
    const char* Kind() const { return FGate.Kind(); }
    // Underflows of every device since the last Reset.
    uint64_t Underflows();
    // The device's own word on its latency (Backend::LatencyMs); 0 without one.
    double DeviceLatencyMs();

    // Test seams, until Reset.
    void UseManual();
    void UseTestBackend(std::unique_ptr<Backend> backend);
    void UseTestBackendFactory(std::function<std::unique_ptr<Backend>()> make);

private:
    enum class State { Off, Starting, Running, StandIn };
    struct Target {
        Driver* From = nullptr; // null: the default chain
        std::string Id;
        bool operator==(const Target&) const = default;
    };
    struct Opened {
        std::unique_ptr<Backend> Device;
        Driver* From = nullptr;
        OutputFormat Format;
        std::string Error;
    };
    // The supervisor thread's run; Reset ends it without waiting.
    struct Run {
        bool Stop = false; // under FControl
    };
    class TestDriver;
    using Retired = std::vector<std::unique_ptr<Backend>>;

    std::vector<Driver*> Chain() const;
    bool Retryable(const Target& target) const;
    Opened OpenTarget(const Target& target, const OutputFormat& format) const;
    void BringUpLocked(Retired& retired);
    void StandInLocked(const OutputFormat& format, uint64_t missedFrames = 0);
    void HandOverLocked(const std::string& failure, Retired& retired, uint64_t missedFrames);
    uint64_t MissedFrames(const RenderGate::Times& t, int64_t now, int64_t windowSince, uint64_t windowFrames) const;
    void TakeTrialLocked(Retired& retired);
    void RetireAllLocked(Retired& retired);
    void StartThreadLocked();
    void Loop(std::shared_ptr<Run> run);
    void TickLocked(std::unique_lock<std::mutex>& control, const std::shared_ptr<Run>& run, Retired& retired);
    void TryTarget(std::unique_lock<std::mutex>& control, const std::shared_ptr<Run>& run, Retired& retired);
    static std::vector<std::string> StopAll(Retired& retired);
    void StopAllLocked(Retired& retired);
    void Announce(const std::string& line);

    RenderGate FGate;
    std::unique_ptr<Driver> FPulse, FPortAudio, FNull, FManual;
    std::unique_ptr<TestDriver> FTest;

    std::mutex FControl; // guards everything below
    std::condition_variable FWake;
    std::shared_ptr<Run> FRun;
    bool FForceManual = false;
    State FState = State::Off;
    Target FTarget;
    uint64_t FGeneration = 0; // bumped whenever the target or the devices are replaced
    OutputFormat FRequested;
    std::unique_ptr<Backend> FDevice;  // the target's device, rendering (Starting, Running)
    std::unique_ptr<Backend> FStandIn; // the null pace (StandIn)
    std::unique_ptr<Backend> FTrial;   // the target opened again, rendering silence (StandIn)
    const char* FTrialKind = "";
    OutputFormat FTrialFormat;
    uint64_t FTrialToken = 0;
    int64_t FTrialSince = 0;
    int64_t FNextTry = 0;
    bool FIdle = false;
    int64_t FPaceSince = 0; // the pace window: its start and the device's frames then
    uint64_t FPaceFrames = 0;
    std::string FLostName; // the device the null pace stands in for
    std::string FLastLine;
    uint64_t FUnderflows = 0; // of devices already stopped
    std::atomic<bool> FCorked{false};
};

} // namespace output
