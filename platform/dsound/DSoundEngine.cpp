#include "platform/dsound/DSoundEngine.h"

#include "platform/dsound/LoopbackRing.h"
#include "platform/dsound/PortAudioOutput.h"
#include "platform/dsound/SoundBuffer.h"
#include "platform/kernel/TimeScale.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dsound {

namespace {

// About three seconds of 44.1 kHz 16-bit stereo; a multiple of every frame size.
constexpr size_t LoopbackBytes = size_t(1) << 19;
// A watched device that has not called back for this long (program time) is given up.
constexpr double WatchdogSilenceMs = 500;
constexpr double WatchdogPollMs = 100;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

enum class EnvChoice { Default, PortAudio, Null, Manual };

EnvChoice BackendFromEnvironment()
{
    const char* v = std::getenv("DUODECK_AUDIO_BACKEND");
    if (!v || !*v)
        return EnvChoice::Default;
    if (std::strcmp(v, "null") == 0)
        return EnvChoice::Null;
    if (std::strcmp(v, "manual") == 0)
        return EnvChoice::Manual;
    return EnvChoice::PortAudio;
}

bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

constexpr const char* SilentLine = "DuoDeck sound output: no sound device, playing silently at real-time pace";

} // namespace

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
    // their engine. The guard below stops the threads and the device at exit.
    static Engine* engine = new Engine;
    struct ShutdownAtExit {
        ~ShutdownAtExit()
        {
            std::lock_guard lock(engine->FLock);
            engine->ResetLocked();
        }
    };
    static ShutdownAtExit guard;
    return *engine;
}

Engine::Engine()
    : FSet(new BufferSet), FScratch(std::make_unique<RenderScratch>()), FMix(RenderScratch::MaxOutFrames * 2),
      FLoopback(std::make_unique<LoopbackRing>(LoopbackBytes))
{
}

void Engine::UseManualBackend()
{
    Engine& e = Instance();
    std::lock_guard lock(e.FLock);
    e.FForceManual = true;
}

void Engine::UseTestBackend(std::unique_ptr<Backend> backend)
{
    Engine& e = Instance();
    std::lock_guard lock(e.FLock);
    e.FPendingTest = std::move(backend);
}

std::vector<uint8_t> Engine::Pull(uint32_t frames)
{
    Engine& e = Instance();
    uint64_t token;
    size_t align;
    {
        std::lock_guard lock(e.FLock);
        if (e.FKind != Kind::Manual)
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
        if (e.FKind != Kind::Manual)
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
    std::lock_guard lock(e.FLock);
    e.ResetLocked();
}

void Engine::ResetLocked()
{
    StopLocked();
    ShutdownPortAudioLocked();
    FDevicesRead = false;
    FDevices.clear();
    FRescan = false;
    FForceManual = false;
    FPendingTest.reset();
    FRequested = OutputFormat{};
    ApplyFormatLocked(OutputFormat{});
    FMasterLeft.store(1.0f);
    FMasterRight.store(1.0f);
    ReclaimLocked(true);
}

std::unique_ptr<LoopbackReader> Engine::OpenLoopback()
{
    Engine& e = Instance();
    if (e.FLoopbackOpen.exchange(true, std::memory_order_acq_rel))
        return nullptr;
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
    if (!FBackend)
        return "none";
    switch (FKind) {
    case Kind::Null:
        return "null";
    case Kind::Manual:
        return "manual";
    case Kind::Test:
        return "test";
    case Kind::PortAudio:
        return "portaudio";
    default:
        return "none";
    }
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

void Engine::Announce(const std::string& line)
{
    if (line == FLastAnnounce)
        return;
    FLastAnnounce = line;
    std::fprintf(stderr, "%s\n", line.c_str());
}

// ---------------------------------------------------------------------------------------------
// Devices and backends

void Engine::ShutdownPortAudioLocked()
{
    for (auto& dead : FDeadBackends)
        dead->Stop();
    FDeadBackends.clear();
    if (FPaReady) {
        portaudio::Shutdown();
        FPaReady = false;
    }
}

void Engine::RefreshDevicesLocked()
{
    if (FRescan && FKind != Kind::PortAudio) {
        // The device list of a library that lost its device is stale: start the library again.
        ShutdownPortAudioLocked();
        FDevicesRead = false;
        FRescan = false;
    }
    if (FDevicesRead)
        return;
    FDevicesRead = true;
    FDevices.clear();
    if (!FPaReady)
        FPaReady = portaudio::Startup();
    if (FPaReady)
        FDevices = portaudio::OutputDevices();
}

std::vector<DeviceInfo> Engine::Devices()
{
    std::lock_guard lock(FLock);
    const EnvChoice env = BackendFromEnvironment();
    if (FForceManual || env == EnvChoice::Null || env == EnvChoice::Manual)
        return {};
    RefreshDevicesLocked();
    return FDevices;
}

HRESULT Engine::OpenDevice(const GUID* guid)
{
    std::lock_guard lock(FLock);
    ReclaimLocked(false);
    const EnvChoice env = BackendFromEnvironment();
    Kind want;
    int pa = -1;
    if (FPendingTest) {
        StopLocked();
        StartLocked(Kind::Test, -1, std::move(FPendingTest));
        return DS_OK;
    }
    if (FForceManual || env == EnvChoice::Manual || env == EnvChoice::Null) {
        if (guid)
            return DSERR_NODRIVER;
        want = (FForceManual || env == EnvChoice::Manual) ? Kind::Manual : Kind::Null;
    } else {
        RefreshDevicesLocked();
        if (guid) {
            auto it = std::find_if(FDevices.begin(), FDevices.end(),
                                   [&](const DeviceInfo& d) { return SameGuid(d.Guid, *guid); });
            if (it == FDevices.end())
                return DSERR_NODRIVER;
            pa = it->PaIndex;
        } else if (FPaReady && !FDevices.empty()) {
            pa = portaudio::DefaultOutput();
            if (pa < 0)
                pa = FDevices.front().PaIndex;
        }
        want = pa >= 0 ? Kind::PortAudio : Kind::Null;
    }
    if (FBackend && want == FKind && pa == FPaIndex)
        return DS_OK;
    if (FBackend && FKind == Kind::Test && !guid && want == Kind::Null)
        return DS_OK; // a test device keeps running until Reset
    StopLocked();
    StartLocked(want, pa, nullptr);
    return DS_OK;
}

void Engine::ApplyFormatLocked(const OutputFormat& format)
{
    if (format == FFormat)
        return;
    FFormat = format;
    FOutputRate.store(format.Rate, std::memory_order_release);
    FFormatGeneration.fetch_add(1, std::memory_order_acq_rel);
}

void Engine::StartLocked(Kind kind, int paIndex, std::unique_ptr<Backend> backend)
{
    if (!backend) {
        if (kind == Kind::PortAudio)
            backend = portaudio::MakeBackend(paIndex);
        else if (kind == Kind::Manual)
            backend = MakeManualBackend();
        else
            backend = MakeNullBackend();
    }
    OutputFormat format = FRequested;
    std::string error;
    std::string line = kind == Kind::PortAudio ? "DuoDeck sound output: " + backend->Name() : SilentLine;
    if (!backend->Open(format, error)) {
        // A device that cannot be opened leaves the null backend in its place.
        line = "DuoDeck sound output: " + error + ", playing silently at real-time pace";
        FRescan = true;
        kind = Kind::Null;
        paIndex = -1;
        backend = MakeNullBackend();
        format = FRequested;
        backend->Open(format, error);
    }
    ApplyFormatLocked(format);
    const uint64_t token = FNextToken++;
    FLastRenderNs.store(NowNs(), std::memory_order_release);
    FActiveToken.store(token, std::memory_order_release);
    FLeadFrames.store(backend->FramesPerRender(format), std::memory_order_release);
    backend->Start(*this, token);
    FKind = kind;
    FPaIndex = paIndex;
    if (kind == Kind::Null || kind == Kind::PortAudio)
        Announce(line);
    const bool watched = backend->Watched();
    FBackend = std::move(backend);
    if (watched) {
        FWatchStop = false;
        FWatchdog = std::thread([this, token] { WatchdogLoop(token); });
    }
}

std::unique_ptr<Backend> Engine::StopLocked()
{
    FActiveToken.store(0, std::memory_order_seq_cst);
    StopWatchdog();
    std::unique_ptr<Backend> backend = std::move(FBackend);
    if (backend)
        backend->Stop();
    // A manual pull from another thread may still be inside Render; it never waits, so neither do we
    // for long.
    while (FRendering.test(std::memory_order_seq_cst))
        std::this_thread::yield();
    FKind = Kind::None;
    FPaIndex = -1;
    ReclaimLocked(true);
    return backend;
}

void Engine::RequestFormat(const OutputFormat& format)
{
    std::lock_guard lock(FLock);
    FRequested = format;
    if (!FBackend) {
        ApplyFormatLocked(format);
        return;
    }
    if (format == FFormat)
        return;
    const Kind kind = FKind;
    const int pa = FPaIndex;
    std::unique_ptr<Backend> backend = StopLocked();
    StartLocked(kind, pa, std::move(backend));
}

void Engine::StopWatchdog()
{
    if (!FWatchdog.joinable())
        return;
    {
        std::lock_guard wl(FWatchLock);
        FWatchStop = true;
    }
    FWatchWake.notify_all();
    FWatchdog.join();
}

void Engine::WatchdogLoop(uint64_t token)
{
    std::unique_lock wl(FWatchLock);
    while (!FWatchStop) {
        FWatchWake.wait_for(wl, timescale::Real(WatchdogPollMs));
        if (FWatchStop)
            break;
        const int64_t silent = NowNs() - FLastRenderNs.load(std::memory_order_acquire);
        if (silent <= timescale::Real(WatchdogSilenceMs).count())
            continue;
        wl.unlock();
        bool replaced = false;
        {
            // Never wait for the API lock: its holder may be joining this thread.
            std::unique_lock lock(FLock, std::try_to_lock);
            if (lock.owns_lock() && FActiveToken.load(std::memory_order_acquire) == token) {
                FActiveToken.store(0, std::memory_order_seq_cst);
                while (FRendering.test(std::memory_order_seq_cst))
                    std::this_thread::yield();
                // The silent device is stopped later (Reset or the next library restart): stopping a
                // stream whose device vanished may take long.
                const std::string gone = FBackend->Name();
                FDeadBackends.push_back(std::move(FBackend));
                FRescan = true;
                std::unique_ptr<Backend> null = MakeNullBackend();
                OutputFormat format = FFormat;
                std::string error;
                null->Open(format, error);
                const uint64_t next = FNextToken++;
                FActiveToken.store(next, std::memory_order_release);
                FLeadFrames.store(null->FramesPerRender(format), std::memory_order_release);
                null->Start(*this, next);
                FBackend = std::move(null);
                FKind = Kind::Null;
                FPaIndex = -1;
                Announce("DuoDeck sound output: " + gone + " stopped responding, playing silently at real-time pace");
                replaced = true;
            }
        }
        wl.lock();
        if (replaced)
            break;
    }
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

bool Engine::Render(uint64_t token, void* out, uint32_t frames)
{
    // Flag first, token second, both sequentially consistent: StopLocked stores the token before it
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
    FLastRenderNs.store(NowNs(), std::memory_order_release);
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

void Engine::MixBlock(uint8_t* out, uint32_t frames, const BufferSet& set)
{
    const OutputFormat& format = FFormat;
    const uint32_t samples = frames * format.Channels;
    float* mix = FMix.data();
    std::fill(mix, mix + samples, 0.0f);
    for (SoundBuffer* buffer : set.Items)
        buffer->Mix(mix, frames, format, *FScratch);

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

    if (format.Bits == 16) {
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
    if (FLoopbackOpen.load(std::memory_order_acquire))
        FLoopback->Write(out, size_t(samples) * format.Bits / 8, format.BlockAlign());
}

} // namespace dsound
