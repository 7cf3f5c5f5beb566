// The in-process mixing engine behind DSound.h: one per process. It owns the backend (the sound
// server, a PortAudio device, the null sink or the manual test backend), the set of secondary
// buffers it mixes, the supervisor that puts the null pace in place of a silent device and moves
// back when the device answers again, and the loopback ring of the final mix.
// API calls run on any thread under the engine's own lock (a leaf lock, never held across a
// render). Render runs on the backend's thread and takes no lock, allocates nothing, logs nothing.
#pragma once

#include "platform/dsound/DSound.h"
#include "platform/dsound/DSoundBackend.h"

#include <atomic>
#include <cstring>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dsound {

class SoundBuffer;
class LoopbackRing;
class CueOutput;
struct RenderScratch;

// One output device as listed to DirectSoundEnumerateA (after the default entry).
struct DeviceInfo {
    std::string Name;
    GUID Guid;
    int PaIndex = -1;   // PortAudio device index, or -1 for a sound-server sink
    std::string Sink{}; // the server's name of the sink, empty for a PortAudio device
};

// Reads the engine's final mix. One reader at a time; Read and Available from one thread.
class LoopbackReader {
public:
    ~LoopbackReader();
    LoopbackReader(const LoopbackReader&) = delete;
    LoopbackReader& operator=(const LoopbackReader&) = delete;

    // The format of what Read returns (the engine's output format).
    OutputFormat Format();
    // Whole frames ready to read.
    size_t Available();
    // Copies up to `frames` frames into dst; returns the frames copied.
    size_t Read(void* dst, size_t frames);

private:
    friend class Engine;
    explicit LoopbackReader(Engine& engine);
    void CheckFormat();

    Engine& FEngine;
    uint32_t FSeenGeneration = ~0u;
    OutputFormat FFormat;
};

class Engine {
public:
    static Engine& Instance();

    // Test seams; take effect at the next DirectSoundCreate and last until Reset.
    static void UseManualBackend();
    static void UseTestBackend(std::unique_ptr<Backend> backend);
    // A test device the supervisor can open again: every opening calls `make` for a fresh one.
    static void UseTestBackendFactory(std::function<std::unique_ptr<Backend>()> make);
    // Manual backend: renders exactly `frames` frames now and returns them in the output format
    // (interleaved bytes). Empty when the manual backend is not the active one.
    static std::vector<uint8_t> Pull(uint32_t frames);
    // The same for a 16-bit output format, as samples.
    static std::vector<int16_t> PullS16(uint32_t frames);
    // The same into the caller's memory (frames * the output block align bytes); false when the
    // manual backend is not the active one. For benchmarks: no allocation.
    static bool PullInto(void* out, uint32_t frames);
    // Stops the backend (waiting at most StopDeadlineMs for a device that does not let go), forgets
    // the device list and every test setting, restores the default format. Every buffer and device
    // object must have been released before.
    static void Reset();
    // Null when a reader is already open.
    static std::unique_ptr<LoopbackReader> OpenLoopback();

    OutputFormat Format();
    std::string BackendName();
    // The headphones output (DuoDeck's extension): its device, the cue/room blend and its level.
    CueOutput& Headphones() { return *FCue; }
    // Real milliseconds a device's stop may take before it is abandoned on a thread of its own.
    static constexpr int StopDeadlineMs = 400;

    // Frames of one engine period at the output rate; readable from any thread without the lock.
    uint32_t PeriodFrames() const;
    // How far the write cursor leads the play cursor, in output frames: the backend's largest render.
    uint32_t LeadFrames() const { return FLeadFrames.load(std::memory_order_acquire); }
    uint32_t OutputRate() const { return FOutputRate.load(std::memory_order_acquire); }

    // Render thread entry. Writes `frames` frames of the output format to `out`. A call from a
    // backend that is no longer the active one (or that overlaps another render) writes nothing and
    // returns false: the backend outputs silence of its own format.
    bool Render(uint64_t token, void* out, uint32_t frames);

    // --- used by DirectSoundEnumerateA / DirectSoundCreate / the buffers ---
    std::vector<DeviceInfo> Devices();
    // Chooses and starts the backend for `guid` (null: the default device).
    HRESULT OpenDevice(const GUID* guid);
    // Asks for an output format; the engine restarts the backend in the format it really gets.
    void RequestFormat(const OutputFormat& format);
    void AddBuffer(SoundBuffer* buffer);
    // Takes the buffer out of the mix and deletes it once no render can still see it.
    void RemoveBuffer(SoundBuffer* buffer);
    void SetMasterGain(float left, float right);

private:
    Engine();
    ~Engine() = delete;
    enum class Kind { None, Null, Manual, Test, PortAudio, Pulse };
    // The device the engine means to play on; while it does not answer, the null backend runs in
    // its place (FKind says which runs).
    struct Target {
        Kind What = Kind::None;
        std::string Sink;         // Pulse: the sink, empty for the server's default
        std::optional<GUID> Guid; // PortAudio: the device chosen by GUID; none for the default
        std::string Description;  // Pulse: the sink's description
        static Target Only(Kind what)
        {
            Target t;
            t.What = what;
            return t;
        }
        bool operator==(const Target& o) const
        {
            return What == o.What && Sink == o.Sink && Guid.has_value() == o.Guid.has_value() &&
                   (!Guid || std::memcmp(&*Guid, &*o.Guid, sizeof(GUID)) == 0);
        }
    };
    struct BufferSet {
        std::vector<SoundBuffer*> Items;
    };
    struct Retired {
        BufferSet* Set = nullptr;
        SoundBuffer* Buffer = nullptr;
        uint64_t Epoch = 0;
    };

    void StartLocked(Target target, std::unique_ptr<Backend> backend);
    std::unique_ptr<Backend> StopLocked();
    std::unique_ptr<Backend> DetachLocked();
    std::unique_ptr<Backend> MakeBackendLocked(const Target& target);
    bool Retryable(const Target& target) const;
    void RunLocked(std::unique_ptr<Backend> backend, const OutputFormat& format);
    bool StopWithin(std::unique_ptr<Backend>& backend);
    void ApplyFormatLocked(const OutputFormat& format);
    void Announce(const std::string& line);
    void PublishLocked(BufferSet* set, SoundBuffer* removed);
    void ReclaimLocked(bool renderStopped);
    void RefreshDevicesLocked();
    void ShutdownPortAudioLocked();
    void StartSupervisor();
    void StopSupervisor();
    void SupervisorLoop();
    void Supervise(int64_t& nextTry);
    bool StalledLocked(int64_t now) const;
    void HandOverLocked();
    void TryTargetAgain(std::unique_lock<std::mutex>& lock);
    void ResetLocked();
    void MixBlock(uint8_t* out, uint32_t frames, const BufferSet& set);

    std::mutex FLock; // guards everything below down to the render-side section
    std::unique_ptr<Backend> FBackend;
    Kind FKind = Kind::None;
    Target FTarget;
    uint64_t FTargetGeneration = 0;
    bool FForceManual = false;
    std::unique_ptr<Backend> FPendingTest;
    std::function<std::unique_ptr<Backend>()> FTestFactory;
    bool FPaReady = false;
    bool FServerUp = false;
    bool FDevicesRead = false;
    bool FRescan = false;
    std::vector<DeviceInfo> FDevices;
    OutputFormat FRequested;
    std::vector<Retired> FRetired;
    std::string FLastAnnounce;
    std::string FLostName; // the device the null pace stands in for
    uint64_t FNextToken = 1;

    // The supervisor never waits for FLock: the lock's holder may be joining it.
    std::thread FSupervisor;
    std::mutex FWatchLock;
    std::condition_variable FWatchWake;
    std::atomic<bool> FWatchStop{false};
    // Device stops still running on their own threads; the PortAudio library is left alone meanwhile.
    std::atomic<int> FStopsPending{0};

    // Shared with the render thread.
    std::atomic<BufferSet*> FSet;
    std::atomic<uint64_t> FRenderEpoch{0}; // odd while a render runs
    std::atomic<uint64_t> FActiveToken{0};
    std::atomic_flag FRendering = ATOMIC_FLAG_INIT;
    std::atomic<int64_t> FStartNs{0};       // when the running backend was started
    std::atomic<int64_t> FFirstRenderNs{0}; // 0 until its first render
    std::atomic<int64_t> FLastRenderNs{0};
    std::atomic<uint32_t> FOutputRate{44100};
    std::atomic<uint32_t> FLeadFrames{441};
    std::atomic<float> FMasterLeft{1.0f};
    std::atomic<float> FMasterRight{1.0f};
    std::atomic<uint32_t> FFormatGeneration{0};
    std::atomic<bool> FLoopbackOpen{false};

    // Render side: written only while no backend runs.
    OutputFormat FFormat;
    std::unique_ptr<RenderScratch> FScratch;
    std::vector<float> FMix;
    std::unique_ptr<LoopbackRing> FLoopback;
    std::vector<float> FCueMix;
    std::unique_ptr<CueOutput> FCue;

    friend class LoopbackReader;
};

} // namespace dsound
