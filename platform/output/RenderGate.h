// Decides which device's render calls reach the mix, and times them for the supervisor. Every
// device renders through the gate with the token it was started with; only the active token's
// calls reach the source, a trial device's calls are only timed, and any other call writes nothing.
// The supervisor drives it (under its own control lock); Render runs on the devices' threads and
// takes no lock.
#pragma once

#include "platform/output/Backend.h"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace output {

class RenderGate final : public MixSource {
public:
    // When the active (or trial) device started and rendered, steady-clock ns (0: not yet), and
    // the frames it rendered after its first render (a server fills a new stream's buffer at once).
    struct Times {
        int64_t Start = 0, First = 0, Last = 0;
        uint64_t Frames = 0;
    };

    explicit RenderGate(BlockSource& source) : FSource(source) {}

    static int64_t NowNs();

    uint64_t NewToken() { return FNextToken.fetch_add(1, std::memory_order_relaxed); }
    // Makes `token`'s renders the ones that mix, in `format`; `kind` names the device. With
    // `keepTrialTimes` the device's render times so far (as a trial) count as its own.
    void Activate(uint64_t token, const OutputFormat& format, uint32_t lead, const char* kind, bool keepTrialTimes);
    // No render mixes after this returns; one under way has finished.
    void Deactivate();
    // The format while no device renders (none chosen yet, or after Reset).
    void ApplyFormat(const OutputFormat& format);
    // Renders with `token` are only timed (0: none). A trial's renders more than TrialGapMs apart
    // start its times afresh: a server may take a new stream's first buffer and then hold it back
    // for seconds (an idle sink finishing the long block it sleeps through), and the pace that
    // counts is the one after that.
    void SetTrial(uint64_t token);
    static constexpr double TrialGapMs = 100; // program ms
    Times Active() const;
    Times Trial() const;
    // The active device starts afresh (woken from idleness): its times start again.
    void RestartClock();
    // Something plays (a render found a playing voice, or one was started). Any thread, no lock.
    void NotePlaying(int64_t now) { FLastPlayingNs.store(now, std::memory_order_release); }
    int64_t LastPlayingNs() const { return FLastPlayingNs.load(std::memory_order_acquire); }

    OutputFormat Format() const;
    // The kind of the device rendering now ("pulse", "null"...; "none").
    const char* Kind() const;
    uint32_t OutputRate() const { return FOutputRate.load(std::memory_order_acquire); }
    // How far the write cursor leads the play cursor, in output frames: the device's largest render.
    uint32_t LeadFrames() const { return FLeadFrames.load(std::memory_order_acquire); }

    // Device threads. A call from a device that is not the active one (a device on trial, a
    // replaced one, or one that overlaps another render) writes nothing and returns false: the
    // device outputs silence of its format.
    bool Render(uint64_t token, void* out, uint32_t frames) override;

private:
    void DetachLocked();
    void ApplyFormatLocked(const OutputFormat& format);

    BlockSource& FSource;
    mutable std::mutex FLock; // guards the format and the kind; a leaf, never held by a render
    OutputFormat FFormat;
    bool FFormatSet = false;
    const char* FKind = nullptr;

    std::atomic<uint64_t> FNextToken{1};
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
    std::atomic<int64_t> FTrialGapNs{0};
    std::atomic<int64_t> FLastPlayingNs{0};
    std::atomic<uint32_t> FOutputRate{44100};
    std::atomic<uint32_t> FLeadFrames{441};
};

} // namespace output
