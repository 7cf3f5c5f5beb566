// The mixing engine: one per process. It owns the set of sound buffers it mixes and renders the
// room mix (and the cue mix for the headphones) a block at a time when a device asks for one; it
// knows no device. The supervisor (platform/output) chooses, watches and replaces the devices that
// pull from it; the engine owns the supervisor and the headphones output as its devices.
// API calls run on any thread; the engine's own lock (FLock) guards the buffer sets and the format
// and is a leaf: nothing slow runs under it, and it is never held across a render. RenderBlock runs
// on the device's thread and takes no lock, allocates nothing, logs nothing.
#pragma once

#include "engine/Limiter.h"
#include "platform/dsound/DSound.h"
#include "platform/output/Backend.h"
#include "platform/output/CueOutput.h"
#include "platform/output/Supervisor.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace engine {

using output::OutputFormat;

class SoundBuffer;
struct RenderScratch;

class Engine final : public output::BlockSource {
public:
    static Engine& Instance();

    // Test seams; take effect at the next DirectSoundCreate and last until Reset.
    static void UseManualBackend();
    static void UseTestBackend(std::unique_ptr<output::Backend> backend);
    // A test device the supervisor can open again: every opening calls `make` for a fresh one.
    static void UseTestBackendFactory(std::function<std::unique_ptr<output::Backend>()> make);
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

    OutputFormat Format();
    // The kind of the device rendering now: "pulse", "portaudio", "null", "manual", "test" or "none".
    std::string BackendName();
    // How long after its render a frame is heard, ms: the sound server's whole latency while it
    // plays the room, else one render of the device (all that is known of PortAudio's buffering).
    double OutputLatencyMs();
    // Underflows the devices reported since the last Reset.
    uint64_t Underflows();
    // The headphones output: its device, the cue/room blend and its level.
    output::CueOutput& Headphones() { return *FCue; }
    // Real milliseconds a device's stop may take before it is abandoned on a thread of its own.
    static constexpr int StopDeadlineMs = output::Supervisor::StopDeadlineMs;

    // Frames of one engine period at the output rate; readable from any thread without the lock.
    uint32_t PeriodFrames() const;
    // How far the write cursor leads the play cursor, in output frames: the device's largest render.
    uint32_t LeadFrames() const { return FSupervisor.LeadFrames(); }
    uint32_t OutputRate() const { return FSupervisor.OutputRate(); }

    // --- used by DirectSoundEnumerateA / DirectSoundCreate / the buffers ---
    std::vector<output::DeviceInfo> Devices(bool* serverSinks = nullptr);
    // Chooses and starts the device for `guid` (null: the default device).
    HRESULT OpenDevice(const GUID* guid);
    // Asks for an output format; the device is restarted in the format it really gets.
    void RequestFormat(const OutputFormat& format);
    void AddBuffer(SoundBuffer* buffer);
    // Takes the buffer out of the mix and deletes it once no render can still see it.
    void RemoveBuffer(SoundBuffer* buffer);
    void SetMasterGain(float left, float right);
    // The master limiter on the room's mix (and so the recording); off until the program turns it on
    // (its setting is on by default), and again after Reset.
    void SetLimiter(bool on) { FLimiterOn.store(on, std::memory_order_release); }
    float LimiterGain() const { return FLimiter.LastGain(); }
    // A buffer started playing: a device paused for idleness is woken. Any thread, no lock.
    void NotePlaying();

    // The devices' side (output::BlockSource).
    void SetFormat(const OutputFormat& format) override;
    bool RenderBlock(void* out, uint32_t frames) override;

private:
    Engine();
    ~Engine() = delete;

    struct BufferSet {
        std::vector<SoundBuffer*> Items;
    };
    struct Retired {
        BufferSet* Set = nullptr;
        SoundBuffer* Buffer = nullptr;
        uint64_t Epoch = 0;
    };

    void PublishLocked(BufferSet* set, SoundBuffer* removed);
    void ReclaimLocked();
    void MixBlock(uint8_t* out, uint32_t frames, const BufferSet& set);

    std::mutex FLock; // guards the buffer sets and the format
    std::vector<Retired> FRetired;

    // Shared with the render thread.
    std::atomic<BufferSet*> FSet;
    std::atomic<uint64_t> FRenderEpoch{0}; // odd while a render runs
    std::atomic<float> FMasterLeft{1.0f};
    std::atomic<float> FMasterRight{1.0f};

    // Render side: written only while no device renders.
    OutputFormat FFormat;
    std::unique_ptr<RenderScratch> FScratch;
    std::vector<float> FMix;
    std::vector<float> FCueMix;
    float FLastMasterLeft = 1, FLastMasterRight = 1; // the master gain as the last block ended
    std::atomic<bool> FLimiterOn{false};
    Limiter FLimiter;

    // Last: they stop the devices before the render side goes (never, in practice: see Instance).
    output::Supervisor FSupervisor;
    std::unique_ptr<output::CueOutput> FCue;
};

} // namespace engine
