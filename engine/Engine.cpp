#include "engine/Engine.h"

#include "engine/SoundBuffer.h"
#include "platform/output/Loopback.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

namespace engine {

// ---------------------------------------------------------------------------------------------
// Engine: life cycle and test seams

Engine& Engine::Instance()
{
    // Never deleted: objects released during static destruction (in whatever order) still find
    // their engine. The guard below stops the threads and the devices at exit.
    static Engine* engine = new Engine;
    struct ShutdownAtExit {
        ~ShutdownAtExit()
        {
            engine->FCue->Reset();
            engine->FSupervisor.Reset();
        }
    };
    static ShutdownAtExit guard;
    return *engine;
}

Engine::Engine()
    : FSet(new BufferSet), FScratch(std::make_unique<RenderScratch>()), FMix(RenderScratch::MaxOutFrames * 2),
      FCueMix(FMix.size()), FSupervisor(*this), FCue(std::make_unique<output::CueOutput>(FSupervisor))
{
    FSupervisor.RequestFormat(OutputFormat{});
}

void Engine::UseManualBackend()
{
    Instance().FSupervisor.UseManual();
}

void Engine::UseTestBackend(std::unique_ptr<output::Backend> backend)
{
    Instance().FSupervisor.UseTestBackend(std::move(backend));
}

void Engine::UseTestBackendFactory(std::function<std::unique_ptr<output::Backend>()> make)
{
    Instance().FSupervisor.UseTestBackendFactory(std::move(make));
}

std::vector<uint8_t> Engine::Pull(uint32_t frames)
{
    Engine& e = Instance();
    std::vector<uint8_t> out(size_t(frames) * e.FSupervisor.Format().BlockAlign());
    if (!e.FSupervisor.Pull(out.data(), frames))
        return {};
    return out;
}

bool Engine::PullInto(void* out, uint32_t frames)
{
    return Instance().FSupervisor.Pull(out, frames);
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
    e.FLimiterOn.store(false);
    std::lock_guard lock(e.FLock);
    e.ReclaimLocked();
}

OutputFormat Engine::Format()
{
    std::lock_guard lock(FLock);
    return FFormat;
}

double Engine::OutputLatencyMs()
{
    if (const double device = FSupervisor.DeviceLatencyMs(); device > 0)
        return device;
    const uint32_t rate = OutputRate();
    return rate == 0 ? 0.0 : LeadFrames() * 1000.0 / rate;
}

std::string Engine::BackendName()
{
    return FSupervisor.Kind();
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
    FSupervisor.NotePlaying();
}

std::vector<output::DeviceInfo> Engine::Devices(bool* serverSinks)
{
    return FSupervisor.Devices(serverSinks);
}

HRESULT Engine::OpenDevice(const GUID* guid)
{
    {
        std::lock_guard lock(FLock);
        ReclaimLocked();
    }
    return FSupervisor.Open(guid);
}

void Engine::RequestFormat(const OutputFormat& format)
{
    FSupervisor.RequestFormat(format);
}

// ---------------------------------------------------------------------------------------------
// The devices' side

// Called by the supervisor's gate while no device renders.
void Engine::SetFormat(const OutputFormat& format)
{
    std::lock_guard lock(FLock);
    FFormat = format;
    output::Loopback::Instance().SetFormat(format);
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
    ReclaimLocked();
}

void Engine::ReclaimLocked()
{
    const uint64_t now = FRenderEpoch.load(std::memory_order_seq_cst);
    std::erase_if(FRetired, [&](const Retired& r) {
        if (r.Epoch % 2 == 1 && r.Epoch == now)
            return false;
        delete r.Set;
        delete r.Buffer;
        return true;
    });
}

// ---------------------------------------------------------------------------------------------
// Render thread

bool Engine::RenderBlock(void* out, uint32_t frames)
{
    const OutputFormat& format = FFormat;
    FRenderEpoch.fetch_add(1, std::memory_order_seq_cst);
    const BufferSet& set = *FSet.load(std::memory_order_seq_cst);
    bool playing = false;
    for (const SoundBuffer* buffer : set.Items)
        playing = playing || buffer->Playing();
    const uint32_t period = std::min(format.PeriodFrames(), RenderScratch::MaxOutFrames);
    auto* dst = static_cast<uint8_t*>(out);
    while (frames > 0) {
        const uint32_t n = std::min(frames, period);
        MixBlock(dst, n, set);
        dst += size_t(n) * format.BlockAlign();
        frames -= n;
    }
    FRenderEpoch.fetch_add(1, std::memory_order_seq_cst);
    return playing;
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

    // The master gain moves across the block from where the last one left it.
    const float left = FMasterLeft.load(std::memory_order_acquire);
    const float right = FMasterRight.load(std::memory_order_acquire);
    const float left0 = FLastMasterLeft, right0 = FLastMasterRight;
    FLastMasterLeft = left;
    FLastMasterRight = right;
    if (left != 1.0f || right != 1.0f || left0 != 1.0f || right0 != 1.0f) {
        const float stepLeft = (left - left0) / frames, stepRight = (right - right0) / frames;
        for (uint32_t i = 0; i < frames; ++i) {
            const float l = left0 + stepLeft * (i + 1), r = right0 + stepRight * (i + 1);
            if (format.Channels == 2) {
                mix[2 * i] *= l;
                mix[2 * i + 1] *= r;
            } else {
                mix[i] *= (l + r) * 0.5f;
            }
        }
    }

    if (FLimiterOn.load(std::memory_order_acquire))
        FLimiter.Process(mix, frames, format.Channels, format.Rate);
    else
        FLimiter.Restart(); // its next start has no stale frames, and it reports no gain meanwhile
    ToOutputFormat(mix, out, samples, format.Bits);
    // The loopback (the recording) takes the room mix; split mode then rewrites the device's block.
    output::Loopback::Instance().Write(out, frames);
    if (FCue->Process(mix, cue, frames, format))
        ToOutputFormat(mix, out, samples, format.Bits);
}

} // namespace engine
