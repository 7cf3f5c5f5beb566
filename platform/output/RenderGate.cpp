#include "platform/output/RenderGate.h"

#include "platform/kernel/TimeScale.h"

#include <chrono>
#include <thread>

namespace output {

int64_t RenderGate::NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

OutputFormat RenderGate::Format() const
{
    std::lock_guard lock(FLock);
    return FFormat;
}

const char* RenderGate::Kind() const
{
    std::lock_guard lock(FLock);
    return FKind ? FKind : "none";
}

void RenderGate::ApplyFormat(const OutputFormat& format)
{
    std::lock_guard lock(FLock);
    DetachLocked();
    ApplyFormatLocked(format);
}

// Only while no render runs: the source changes its format with no render looking.
void RenderGate::ApplyFormatLocked(const OutputFormat& format)
{
    if (FFormatSet && format == FFormat)
        return;
    FFormat = format;
    FFormatSet = true;
    FOutputRate.store(format.Rate, std::memory_order_release);
    FSource.SetFormat(format);
}

// After this no render mixes anything. A render under way (a device's, or a manual pull on another
// thread) never waits, so neither does this for long.
void RenderGate::DetachLocked()
{
    FActiveToken.store(0, std::memory_order_seq_cst);
    while (FRendering.test(std::memory_order_seq_cst))
        std::this_thread::yield();
    FKind = nullptr;
}

void RenderGate::Deactivate()
{
    std::lock_guard lock(FLock);
    DetachLocked();
}

void RenderGate::Activate(uint64_t token, const OutputFormat& format, uint32_t lead, const char* kind,
                          bool keepTrialTimes)
{
    std::lock_guard lock(FLock);
    DetachLocked();
    ApplyFormatLocked(format);
    const int64_t now = NowNs();
    FStartNs.store(now, std::memory_order_release);
    FFirstRenderNs.store(keepTrialTimes ? FTrialFirstNs.load() : 0, std::memory_order_release);
    FLastRenderNs.store(keepTrialTimes ? FTrialLastNs.load() : 0, std::memory_order_release);
    FFrames.store(keepTrialTimes ? FTrialFrames.load() : 0, std::memory_order_release);
    if (FLastPlayingNs.load(std::memory_order_relaxed) < now)
        FLastPlayingNs.store(now, std::memory_order_release); // a new device is not idle at once
    FLeadFrames.store(lead, std::memory_order_release);
    FKind = kind;
    FActiveToken.store(token, std::memory_order_seq_cst);
    if (keepTrialTimes)
        FTrialToken.store(0, std::memory_order_release);
}

void RenderGate::SetTrial(uint64_t token)
{
    FTrialGapNs.store(timescale::Real(TrialGapMs).count(), std::memory_order_relaxed);
    FTrialFirstNs.store(0, std::memory_order_release);
    FTrialLastNs.store(0, std::memory_order_release);
    FTrialFrames.store(0, std::memory_order_release);
    FTrialToken.store(token, std::memory_order_release);
}

RenderGate::Times RenderGate::Active() const
{
    return {FStartNs.load(std::memory_order_acquire), FFirstRenderNs.load(std::memory_order_acquire),
            FLastRenderNs.load(std::memory_order_acquire), FFrames.load(std::memory_order_acquire)};
}

RenderGate::Times RenderGate::Trial() const
{
    return {0, FTrialFirstNs.load(std::memory_order_acquire), FTrialLastNs.load(std::memory_order_acquire),
            FTrialFrames.load(std::memory_order_acquire)};
}

void RenderGate::RestartClock()
{
    FFirstRenderNs.store(0, std::memory_order_release);
    FLastRenderNs.store(0, std::memory_order_release);
    FFrames.store(0, std::memory_order_release);
    FStartNs.store(NowNs(), std::memory_order_release);
}

namespace {

// A render's time and frames, for the supervisor; the first render's frames do not count. With
// `restartAfterNs`, a render that comes that long after the one before starts the count afresh.
void Stamp(std::atomic<int64_t>& first, std::atomic<int64_t>& last, std::atomic<uint64_t>& frames, int64_t now,
           uint32_t n, int64_t restartAfterNs = 0)
{
    const int64_t before = last.load(std::memory_order_relaxed);
    if (first.load(std::memory_order_relaxed) == 0 || (restartAfterNs > 0 && now - before > restartAfterNs)) {
        frames.store(0, std::memory_order_relaxed);
        first.store(now, std::memory_order_release);
    } else {
        frames.fetch_add(n, std::memory_order_relaxed);
    }
    last.store(now, std::memory_order_release);
}

} // namespace

bool RenderGate::Render(uint64_t token, void* out, uint32_t frames)
{
    if (token != 0 && token == FTrialToken.load(std::memory_order_acquire)) {
        Stamp(FTrialFirstNs, FTrialLastNs, FTrialFrames, NowNs(), frames, FTrialGapNs.load(std::memory_order_relaxed));
        return false;
    }
    // Flag first, token second, both sequentially consistent: DetachLocked stores the token before it
    // looks at the flag, so either it waits for this render or this render sees the new token.
    if (FRendering.test_and_set(std::memory_order_seq_cst))
        return false;
    if (FActiveToken.load(std::memory_order_seq_cst) != token) {
        FRendering.clear(std::memory_order_release);
        return false;
    }
    const int64_t now = NowNs();
    Stamp(FFirstRenderNs, FLastRenderNs, FFrames, now, frames);
    if (FSource.RenderBlock(out, frames))
        FLastPlayingNs.store(now, std::memory_order_relaxed);
    FRendering.clear(std::memory_order_release);
    return true;
}

} // namespace output
