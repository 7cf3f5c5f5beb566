#include "platform/dsound/DSoundEngine.h"

#include "platform/dsound/CueOutput.h"
#include "platform/dsound/LoopbackRing.h"
#include "platform/dsound/SoundBuffer.h"
#include "platform/kernel/TimeScale.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace dsound {

namespace {

// About three seconds of 44.1 kHz 16-bit stereo; a multiple of every frame size.
constexpr size_t LoopbackBytes = size_t(1) << 19;
} // namespace

int64_t Engine::NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---------------------------------------------------------------------------------------------
// LoopbackReader

LoopbackReader::LoopbackReader(Engine& engine) : FEngine(engine)
{
    CheckFormat();
}

LoopbackReader::~LoopbackReader()
{
    FEngine.FLoopbackOpen.store(false, std::memory_order_release);
}

void LoopbackReader::CheckFormat()
{
    const uint32_t gen = FEngine.FFormatGeneration.load(std::memory_order_acquire);
    if (gen == FSeenGeneration)
        return;
    // Whatever was queued may be in the old format: start afresh.
    FSeenGeneration = gen;
    FFormat = FEngine.Format();
    FEngine.FLoopback->SkipAll();
}

OutputFormat LoopbackReader::Format()
{
    CheckFormat();
    return FFormat;
}

size_t LoopbackReader::Available()
{
    CheckFormat();
    return FEngine.FLoopback->Available() / FFormat.BlockAlign();
}

size_t LoopbackReader::Read(void* dst, size_t frames)
{
    CheckFormat();
    const size_t align = FFormat.BlockAlign();
    const uint8_t *p1, *p2;
    size_t n1, n2;
    FEngine.FLoopback->ReadRegions(p1, n1, p2, n2);
    size_t want = std::min(frames * align, (n1 + n2) / align * align);
    const size_t first = std::min(want, n1);
    std::memcpy(dst, p1, first);
    if (want > first)
        std::memcpy(static_cast<uint8_t*>(dst) + first, p2, want - first);
    FEngine.FLoopback->CommitRead(want);
    return want / align;
}

// ---------------------------------------------------------------------------------------------
// Engine: life cycle and test seams

Engine& Engine::Instance()
{
    // Never deleted: objects released during static destruction (in whatever order) still find
    // their engine. The guard below stops the threads and the devices at exit.
    static Engine* engine = new Engine;
    struct ShutdownAtExit {
        ~ShutdownAtExit() { engine->FSupervisor.Reset(); }
    };
    static ShutdownAtExit guard;
    return *engine;
}

Engine::Engine()
    : FSet(new BufferSet), FScratch(std::make_unique<RenderScratch>()), FMix(RenderScratch::MaxOutFrames * 2),
      FLoopback(std::make_unique<LoopbackRing>(LoopbackBytes)), FCueMix(FMix.size()),
      FCue(std::make_unique<CueOutput>(*this)), FSupervisor(*this)
{
}

void Engine::UseManualBackend()
{
    Instance().FSupervisor.UseManual();
}

void Engine::UseTestBackend(std::unique_ptr<Backend> backend)
{
    Instance().FSupervisor.UseTestBackend(std::move(backend));
}

void Engine::UseTestBackendFactory(std::function<std::unique_ptr<Backend>()> make)
{
    Instance().FSupervisor.UseTestBackendFactory(std::move(make));
}

std::vector<uint8_t> Engine::Pull(uint32_t frames)
{
    Engine& e = Instance();
    uint64_t token;
    size_t align;
    {
        std::lock_guard lock(e.FLock);
        if (!e.FKind || std::strcmp(e.FKind, "manual") != 0)
            return {};
        token = e.FActiveToken.load(std::memory_order_relaxed);
        align = e.FFormat.BlockAlign();
    }
    std::vector<uint8_t> out(frames * align);
    e.Render(token, out.data(), frames);
    return out;
}

bool Engine::PullInto(void* out, uint32_t frames)
{
    Engine& e = Instance();
    uint64_t token;
    {
        std::lock_guard lock(e.FLock);
        if (!e.FKind || std::strcmp(e.FKind, "manual") != 0)
            return false;
        token = e.FActiveToken.load(std::memory_order_relaxed);
    }
    return e.Render(token, out, frames);
}

std::vector<int16_t> Engine::PullS16(uint32_t frames)
{
    if (Instance().Format().Bits != 16)
        return {};
    const std::vector<uint8_t> bytes = Pull(frames);
    std::vector<int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

void Engine::Reset()
{
    Engine& e = Instance();
    e.FCue->Reset();
    e.FSupervisor.Reset();
    e.FMasterLeft.store(1.0f);
    e.FMasterRight.store(1.0f);
    std::lock_guard lock(e.FLock);
    e.ReclaimLocked(true);
}

std::unique_ptr<LoopbackReader> Engine::OpenLoopback()
{
    Engine& e = Instance();
    if (e.FLoopbackOpen.exchange(true, std::memory_order_acq_rel))
        return nullptr;
    e.FSupervisor.NotePlaying(); // a paused stream must run for the recording
    return std::unique_ptr<LoopbackReader>(new LoopbackReader(e));
}

OutputFormat Engine::Format()
{
    std::lock_guard lock(FLock);
    return FFormat;
}

std::string Engine::BackendName()
{
    std::lock_guard lock(FLock);
    return FKind ? FKind : "none";
}

uint64_t Engine::Underflows()
{
    return FSupervisor.Underflows();
}

uint32_t Engine::PeriodFrames() const
{
    const uint32_t rate = OutputRate();
    return rate >= 200 ? rate / 100 : 2;
}

void Engine::SetMasterGain(float left, float right)
{
    FMasterLeft.store(left, std::memory_order_release);
    FMasterRight.store(right, std::memory_order_release);
}

void Engine::NotePlaying()
{
    FLastPlayingNs.store(NowNs(), std::memory_order_release);
    FSupervisor.NotePlaying();
}

std::vector<DeviceInfo> Engine::Devices()
{
    return FSupervisor.Devices();
}

HRESULT Engine::OpenDevice(const GUID* guid)
{
    {
        std::lock_guard lock(FLock);
        ReclaimLocked(false);
    }
    return FSupervisor.Open(guid);
}

void Engine::RequestFormat(const OutputFormat& format)
{
    FSupervisor.RequestFormat(format);
}

// ---------------------------------------------------------------------------------------------
// Which device renders: set by the supervisor

void Engine::ApplyFormat(const OutputFormat& format)
{
    std::lock_guard lock(FLock);
    ApplyFormatLocked(format);
}

void Engine::ApplyFormatLocked(const OutputFormat& format)
{
    if (format == FFormat)
        return;
    FFormat = format;
    FOutputRate.store(format.Rate, std::memory_order_release);
    FFormatGeneration.fetch_add(1, std::memory_order_acq_rel);
}

// After this no render mixes anything. A render under way (a device's, or a manual pull on another
// thread) never waits, so neither does this for long.
void Engine::DetachLocked()
{
    FActiveToken.store(0, std::memory_order_seq_cst);
    while (FRendering.test(std::memory_order_seq_cst))
        std::this_thread::yield();
    FKind = nullptr;
}

void Engine::Deactivate()
{
    std::lock_guard lock(FLock);
    DetachLocked();
    ReclaimLocked(true);
}

void Engine::Activate(uint64_t token, const OutputFormat& format, uint32_t lead, const char* kind, bool keepTrialTimes)
{
    std::lock_guard lock(FLock);
    DetachLocked();
    ReclaimLocked(true);
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

void Engine::SetTrial(uint64_t token)
{
    FTrialFirstNs.store(0, std::memory_order_release);
    FTrialLastNs.store(0, std::memory_order_release);
    FTrialFrames.store(0, std::memory_order_release);
    FTrialToken.store(token, std::memory_order_release);
}

Engine::RenderTimes Engine::Times() const
{
    return {FStartNs.load(std::memory_order_acquire), FFirstRenderNs.load(std::memory_order_acquire),
            FLastRenderNs.load(std::memory_order_acquire), FFrames.load(std::memory_order_acquire)};
}

Engine::RenderTimes Engine::TrialTimes() const
{
    return {0, FTrialFirstNs.load(std::memory_order_acquire), FTrialLastNs.load(std::memory_order_acquire),
            FTrialFrames.load(std::memory_order_acquire)};
}

void Engine::RestartClock()
{
    FFirstRenderNs.store(0, std::memory_order_release);
    FLastRenderNs.store(0, std::memory_order_release);
    FFrames.store(0, std::memory_order_release);
    FStartNs.store(NowNs(), std::memory_order_release);
}

// ---------------------------------------------------------------------------------------------
// Buffer sets: published by swapping; an old set (and a released buffer) is deleted only once the
// render that might still hold it has finished.

void Engine::AddBuffer(SoundBuffer* buffer)
{
    std::lock_guard lock(FLock);
    auto* set = new BufferSet(*FSet.load(std::memory_order_relaxed));
    set->Items.push_back(buffer);
    PublishLocked(set, nullptr);
}

void Engine::RemoveBuffer(SoundBuffer* buffer)
{
    std::lock_guard lock(FLock);
    auto* set = new BufferSet(*FSet.load(std::memory_order_relaxed));
    std::erase(set->Items, buffer);
    PublishLocked(set, buffer);
}

void Engine::PublishLocked(BufferSet* set, SoundBuffer* removed)
{
    BufferSet* old = FSet.exchange(set, std::memory_order_seq_cst);
    // Read after the swap: an even count means no render is under way, and any later one sees the
    // new set; an odd count means the render under way is done once the count has moved on.
    const uint64_t epoch = FRenderEpoch.load(std::memory_order_seq_cst);
    FRetired.push_back({old, removed, epoch});
    ReclaimLocked(false);
}

void Engine::ReclaimLocked(bool renderStopped)
{
    const uint64_t now = FRenderEpoch.load(std::memory_order_seq_cst);
    std::erase_if(FRetired, [&](const Retired& r) {
        if (!renderStopped && r.Epoch % 2 == 1 && r.Epoch == now)
            return false;
        delete r.Set;
        delete r.Buffer;
        return true;
    });
}

// ---------------------------------------------------------------------------------------------
// Render thread

namespace {

// A render's time and frames, for the supervisor; the first render's frames do not count.
void Stamp(std::atomic<int64_t>& first, std::atomic<int64_t>& last, std::atomic<uint64_t>& frames, int64_t now,
           uint32_t n)
{
    if (first.load(std::memory_order_relaxed) == 0)
        first.store(now, std::memory_order_release);
    else
        frames.fetch_add(n, std::memory_order_relaxed);
    last.store(now, std::memory_order_release);
}

} // namespace

bool Engine::Render(uint64_t token, void* out, uint32_t frames)
{
    if (token != 0 && token == FTrialToken.load(std::memory_order_acquire)) {
        Stamp(FTrialFirstNs, FTrialLastNs, FTrialFrames, NowNs(), frames);
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
    const OutputFormat& format = FFormat;
    FRenderEpoch.fetch_add(1, std::memory_order_seq_cst);
    const BufferSet& set = *FSet.load(std::memory_order_seq_cst);
    const int64_t now = NowNs();
    Stamp(FFirstRenderNs, FLastRenderNs, FFrames, now, frames);
    for (const SoundBuffer* buffer : set.Items)
        if (buffer->Playing()) {
            FLastPlayingNs.store(now, std::memory_order_relaxed);
            break;
        }
    const uint32_t period = std::min(format.PeriodFrames(), RenderScratch::MaxOutFrames);
    auto* dst = static_cast<uint8_t*>(out);
    while (frames > 0) {
        const uint32_t n = std::min(frames, period);
        MixBlock(dst, n, set);
        dst += size_t(n) * format.BlockAlign();
        frames -= n;
    }
    FRenderEpoch.fetch_add(1, std::memory_order_seq_cst);
    FRendering.clear(std::memory_order_release);
    return true;
}

namespace {

void ToOutputFormat(const float* mix, uint8_t* out, uint32_t samples, uint16_t bits)
{
    if (bits == 16) {
        auto* o = reinterpret_cast<int16_t*>(out);
        for (uint32_t i = 0; i < samples; ++i) {
            const float x = std::clamp(mix[i] * 32768.0f, -32768.0f, 32767.0f);
            o[i] = static_cast<int16_t>(x + std::copysign(0.5f, x)); // nearest, halves away from zero
        }
    } else {
        for (uint32_t i = 0; i < samples; ++i) {
            const float x = std::clamp(mix[i] * 128.0f, -128.0f, 127.0f);
            out[i] = static_cast<uint8_t>(static_cast<int>(x + std::copysign(0.5f, x)) + 128);
        }
    }
}

} // namespace

void Engine::MixBlock(uint8_t* out, uint32_t frames, const BufferSet& set)
{
    const OutputFormat& format = FFormat;
    const uint32_t samples = frames * format.Channels;
    float* mix = FMix.data();
    std::fill(mix, mix + samples, 0.0f);
    float* cue = FCue->Wanted() ? FCueMix.data() : nullptr;
    if (cue)
        std::fill(cue, cue + samples, 0.0f);
    for (SoundBuffer* buffer : set.Items)
        buffer->Mix(mix, cue, frames, format, *FScratch);

    const float left = FMasterLeft.load(std::memory_order_acquire);
    const float right = FMasterRight.load(std::memory_order_acquire);
    if (left != 1.0f || right != 1.0f) {
        if (format.Channels == 2) {
            for (uint32_t i = 0; i < frames; ++i) {
                mix[2 * i] *= left;
                mix[2 * i + 1] *= right;
            }
        } else {
            for (uint32_t i = 0; i < frames; ++i)
                mix[i] *= (left + right) * 0.5f;
        }
    }

    ToOutputFormat(mix, out, samples, format.Bits);
    // The loopback (the recording) takes the room mix; split mode then rewrites the device's block.
    if (FLoopbackOpen.load(std::memory_order_acquire))
        FLoopback->Write(out, size_t(samples) * format.Bits / 8, format.BlockAlign());
    if (FCue->Process(mix, cue, frames, format))
        ToOutputFormat(mix, out, samples, format.Bits);
}

} // namespace dsound
