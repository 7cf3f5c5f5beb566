// The in-process mixing engine behind DSound.h: one per process. It owns the set of secondary
// buffers it mixes, the render entry the output devices call, the loopback ring of the final mix,
// and the supervisor (Supervisor.h) that chooses, watches and replaces the devices.
// API calls run on any thread; the engine's own lock (FLock) guards the buffer sets and the format
// and is a leaf: nothing slow runs under it, and it is never held across a render. Render runs on
// the device's thread and takes no lock, allocates nothing, logs nothing.
#pragma once

#include "platform/dsound/DSound.h"
#include "platform/dsound/DSoundBackend.h"
#include "platform/dsound/Supervisor.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace dsound {

class SoundBuffer;
class LoopbackRing;
class CueOutput;
struct RenderScratch;

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

class Engine final : public MixSource {
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
    // Stops the devices (waiting at most StopDeadlineMs for one that does not let go), forgets every
    // test setting, restores the default format. Every buffer and device object must have been
    // released before.
    static void Reset();
    // Null when a reader is already open.
    static std::unique_ptr<LoopbackReader> OpenLoopback();

    OutputFormat Format();
    // The kind of the device rendering now: "pulse", "portaudio", "null", "manual", "test" or "none".
    std::string BackendName();
    // Underflows the devices reported since the last Reset.
    uint64_t Underflows();
    // The headphones output (DuoDeck's extension): its device, the cue/room blend and its level.
    CueOutput& Headphones() { return *FCue; }
    // Real milliseconds a device's stop may take before it is abandoned on a thread of its own.
    static constexpr int StopDeadlineMs = Supervisor::StopDeadlineMs;

    // Frames of one engine period at the output rate; readable from any thread without the lock.
    uint32_t PeriodFrames() const;
    // How far the write cursor leads the play cursor, in output frames: the device's largest render.
    uint32_t LeadFrames() const { return FLeadFrames.load(std::memory_order_acquire); }
    uint32_t OutputRate() const { return FOutputRate.load(std::memory_order_acquire); }

    // Render thread entry. Writes `frames` frames of the output format to `out`. A call from a
    // device that is not the active one (a device on trial, a replaced one, or one that overlaps
    // another render) writes nothing and returns false: the device outputs silence of its format.
    bool Render(uint64_t token, void* out, uint32_t frames) override;

    // --- used by DirectSoundEnumerateA / DirectSoundCreate / the buffers ---
    std::vector<DeviceInfo> Devices();
    // Chooses and starts the device for `guid` (null: the default device).
    HRESULT OpenDevice(const GUID* guid);
    // Asks for an output format; the engine restarts the device in the format it really gets.
    void RequestFormat(const OutputFormat& format);
    void AddBuffer(SoundBuffer* buffer);
    // Takes the buffer out of the mix and deletes it once no render can still see it.
    void RemoveBuffer(SoundBuffer* buffer);
    void SetMasterGain(float left, float right);
    // A buffer started playing: a device paused for idleness is woken. Any thread, no lock.
    void NotePlaying();

    static int64_t NowNs();

private:
    friend class Supervisor;
    Engine();
    ~Engine() = delete;

    // When the active (or trial) device started and rendered, steady-clock ns (0: not yet), and
    // the frames it rendered after its first render (a server fills a new stream's buffer at once).
    struct RenderTimes {
        int64_t Start = 0, First = 0, Last = 0;
        uint64_t Frames = 0;
    };
    struct BufferSet {
        std::vector<SoundBuffer*> Items;
    };
    struct Retired {
        BufferSet* Set = nullptr;
        SoundBuffer* Buffer = nullptr;
        uint64_t Epoch = 0;
    };

    // --- for the supervisor ---
    uint64_t NewToken() { return FNextToken.fetch_add(1, std::memory_order_relaxed); }
    // Makes `token`'s renders the ones that mix, in `format`; `kind` names the device. With
    // `keepTrialTimes` the device's render times so far (as a trial) count as its own.
    void Activate(uint64_t token, const OutputFormat& format, uint32_t lead, const char* kind, bool keepTrialTimes);
    // No render mixes after this returns; one under way has finished.
    void Deactivate();
    // Renders with `token` are only timed (0: none).
    void SetTrial(uint64_t token);
    RenderTimes Times() const;
    RenderTimes TrialTimes() const;
    // The active device starts afresh (woken from idleness): its times start again.
    void RestartClock();
    int64_t LastPlayingNs() const { return FLastPlayingNs.load(std::memory_order_acquire); }
    bool LoopbackListening() const { return FLoopbackOpen.load(std::memory_order_acquire); }
    void ApplyFormat(const OutputFormat& format);

    void ApplyFormatLocked(const OutputFormat& format);
    void DetachLocked();
    void PublishLocked(BufferSet* set, SoundBuffer* removed);
    void ReclaimLocked(bool renderStopped);
    void MixBlock(uint8_t* out, uint32_t frames, const BufferSet& set);

    std::mutex FLock; // guards the buffer sets, the format and FKind
    const char* FKind = nullptr;
    std::vector<Retired> FRetired;
    std::atomic<uint64_t> FNextToken{1};

    // Shared with the render thread.
    std::atomic<BufferSet*> FSet;
    std::atomic<uint64_t> FRenderEpoch{0}; // odd while a render runs
    std::atomic<uint64_t> FActiveToken{0};
    std::atomic<uint64_t> FTrialToken{0};
    std::atomic_flag FRendering = ATOMIC_FLAG_INIT;
    std::atomic<int64_t> FStartNs{0};
    std::atomic<int64_t> FFirstRenderNs{0};
    std::atomic<int64_t> FLastRenderNs{0};
    std::atomic<uint64_t> FFrames{0};
    std::atomic<int64_t> FTrialFirstNs{0};
    std::atomic<uint64_t> FTrialFrames{0};
    std::atomic<int64_t> FTrialLastNs{0};
    std::atomic<int64_t> FLastPlayingNs{0};
    std::atomic<uint32_t> FOutputRate{44100};
    std::atomic<uint32_t> FLeadFrames{441};
    std::atomic<float> FMasterLeft{1.0f};
    std::atomic<float> FMasterRight{1.0f};
    std::atomic<uint32_t> FFormatGeneration{0};
    std::atomic<bool> FLoopbackOpen{false};

    // Render side: written only while no device renders.
    OutputFormat FFormat;
    std::unique_ptr<RenderScratch> FScratch;
    std::vector<float> FMix;
    std::unique_ptr<LoopbackRing> FLoopback;
    std::vector<float> FCueMix;
    std::unique_ptr<CueOutput> FCue;

    // Last: it stops the devices before the render side goes (never, in practice: see Instance).
    Supervisor FSupervisor;

    friend class LoopbackReader;
};

} // namespace dsound
