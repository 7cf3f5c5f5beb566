// The headphones output: the cue mix (buffers with cue on, before their volume) blended with the
// room mix, either on a device of its own or on the main device's left channel (split mode).
// The engine's render thread hands every block of both mixes to Process; a headphones device reads
// them from a lock-free ring on its own thread, at a rate trimmed to keep the ring's fill at its
// target (a cubic interpolation; the windowed-sinc converter where the device's rate differs), so a
// device with its own clock stays in time with the main one without drops or repeats.
// A watch thread of its own stops a headphones device that stops answering and tries it again
// every second; the room never waits for it. Choose, SetBlend and SetLevel: any API thread.
#pragma once

#include "platform/output/Backend.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct SRC_STATE_tag;

namespace output {

class Supervisor;
class LoopbackRing;

struct CueTarget {
    enum class Kind { None, Split, Sink, PortAudio };
    Kind What = Kind::None;
    std::string Sink;        // Sink: the server's name of the sink
    std::string Description; // the device's name on the console line
    GUID Device{};           // PortAudio: the device's GUID from DirectSoundEnumerateA
};

class CueOutput final : public MixSource {
public:
    // Kept in time with the room's device, which `room` chooses.
    explicit CueOutput(const Supervisor& room);
    ~CueOutput();
    CueOutput(const CueOutput&) = delete;
    CueOutput& operator=(const CueOutput&) = delete;

    // Test seam: a chosen sink or device is then made by `make` (null: as usual). Any thread.
    void UseTestDevice(std::function<std::unique_ptr<Backend>()> make);

    // Stops the device in use (waiting at most Supervisor::StopDeadlineMs) and opens the new one.
    void Choose(const CueTarget& target);
    // No headphones, the blend at the cue, full level, no test device (at the engine's Reset).
    void Reset();
    CueTarget Chosen();
    // 0 = the cue only .. 1 = the room only; the headphones' gain, 0..1.
    void SetBlend(float blend) { FBlend.store(blend, std::memory_order_release); }
    void SetLevel(float level) { FLevel.store(level, std::memory_order_release); }
    // True while a headphones device renders (not the stand-in silence while it is lost).
    bool Playing() const;

    // Render thread of the main device. True when the engine should render a cue mix.
    bool Wanted() const { return FMode.load(std::memory_order_acquire) != Mode::None; }
    // `room` and `cue`: `frames` frames of `format`'s channels, float. In split mode rewrites `room`
    // (left: the headphones mix in mono, right: the room in mono) and returns true.
    bool Process(float* room, const float* cue, uint32_t frames, const OutputFormat& format);

    // Render thread of the headphones device.
    bool Render(uint64_t token, void* out, uint32_t frames) override;

    // Ring frames the headphones device keeps in reserve; frames its resampler consumed per frame it
    // wrote, relative to the nominal ratio (1 = in step). For measurements.
    uint32_t TargetFill() const { return FTarget; }
    double Fill() const { return FSmoothedFill.load(std::memory_order_relaxed); }
    double Correction() const { return FCorrection.load(std::memory_order_relaxed); }
    // Frames of silence the headphones device played because the ring had run dry.
    uint64_t Underruns() const { return FUnderruns.load(std::memory_order_relaxed); }

private:
    enum class Mode { None, Split, Device };
    std::unique_ptr<Backend> MakeDeviceLocked();
    void StartDeviceLocked();
    void StopDeviceLocked();
    void WatchLoop();
    void RenderLocked(void* out, uint32_t frames);
    void Trim(float* out, uint32_t frames, double step);
    static long ReadRing(void* self, float** data);

    const Supervisor& FRoom;
    std::mutex FLock; // API and watch thread; never taken by a render
    CueTarget FChosen;
    std::unique_ptr<Backend> FDevice;
    std::function<std::unique_ptr<Backend>()> FTestDevice;
    // The sound server's, for headphones streams, and PortAudio's; each owns its library's lifetime.
    std::unique_ptr<Driver> FPulse;
    std::unique_ptr<Driver> FPortAudio;
    uint64_t FNextToken = 1;
    int64_t FDeviceStartNs = 0;
    int64_t FNextTryNs = 0;
    std::string FLastLine;

    std::thread FWatch;
    std::mutex FWatchLock;
    std::condition_variable FWatchWake;
    bool FWatchStop = false;

    // Shared with the render threads.
    std::atomic<Mode> FMode{Mode::None};
    std::atomic<float> FBlend{0.0f};
    std::atomic<float> FLevel{1.0f};
    std::atomic<uint64_t> FActiveToken{0};
    std::atomic_flag FRendering = ATOMIC_FLAG_INIT;
    std::atomic<uint32_t> FRingRate{44100}; // the engine's rate, as the ring holds it
    std::atomic<int64_t> FFirstRenderNs{0};
    std::atomic<int64_t> FLastRenderNs{0};
    std::atomic<double> FSmoothedFill{0};
    std::atomic<double> FCorrection{1};
    std::atomic<uint64_t> FUnderruns{0};
    std::unique_ptr<LoopbackRing> FRing; // stereo float frames at the engine's rate
    // The main device's render thread only: the cue's and the room's gains at the end of the last
    // block (negative: none yet).
    float FLastCue = -1, FLastRoom = -1;

    // Headphones render thread only; reset while no device runs.
    OutputFormat FDeviceFormat;
    uint32_t FTarget = 0;
    SRC_STATE_tag* FSrc = nullptr;
    bool FPrimed = false;
    double FIntegral = 0;
    static constexpr uint32_t ChunkFrames = 256;
    float FIn[ChunkFrames * 2] = {};
    float FOut[ChunkFrames * 2] = {};
    // The trim's four stereo taps (the frame before, the two around the phase, the one after), its
    // phase between the middle two, and what is left of the last read from the ring.
    float FTaps[8] = {};
    double FPhase = 0;
    uint32_t FInPos = 0, FInLength = 0;
};

} // namespace output
