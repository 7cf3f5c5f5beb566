#include "platform/dsound/DSoundEngine.h"

#include "platform/dsound/CueOutput.h"
#include "platform/dsound/LoopbackRing.h"
#include "platform/dsound/PortAudioOutput.h"
#include "platform/dsound/PulseOutput.h"
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
// Program milliseconds. A device that has run and then stays silent for StallMs is replaced by the
// null pace; one that has not started running yet gets the start grace (a server may hold a new
// stream back for a second or two). The device is tried again every RetryMs.
constexpr double StallMs = 500;
constexpr double StartGraceMs = 3000;
// A device counts as running once its renders span this long: a server fills a new stream's buffer
// at once and may then hold it back before it plays.
constexpr double RunningMs = 200;
constexpr double RetryMs = 1000;
constexpr double SupervisorPollMs = 100;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

enum class EnvChoice { Default, Pulse, PortAudio, Null, Manual };

EnvChoice BackendFromEnvironment()
{
    const char* v = std::getenv("DUODECK_AUDIO_BACKEND");
    if (!v || !*v)
        return EnvChoice::Default;
    if (std::strcmp(v, "null") == 0)
        return EnvChoice::Null;
    if (std::strcmp(v, "manual") == 0)
        return EnvChoice::Manual;
    if (std::strcmp(v, "pulse") == 0)
        return EnvChoice::Pulse;
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
      FLoopback(std::make_unique<LoopbackRing>(LoopbackBytes)), FCueMix(FMix.size()),
      FCue(std::make_unique<CueOutput>(*this))
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

void Engine::UseTestBackendFactory(std::function<std::unique_ptr<Backend>()> make)
{
    Engine& e = Instance();
    std::lock_guard lock(e.FLock);
    e.FTestFactory = std::move(make);
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
    FCue->Reset();
    StopLocked();
    ShutdownPortAudioLocked();
    FDevicesRead = false;
    FDevices.clear();
    FRescan = false;
    FForceManual = false;
    FPendingTest.reset();
    FTestFactory = nullptr;
    FLastAnnounce.clear();
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
    case Kind::Pulse:
        return "pulse";
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
    // A stream whose stop was abandoned may still be inside the library.
    if (FPaReady && FStopsPending.load(std::memory_order_acquire) == 0) {
        portaudio::Shutdown();
        FPaReady = false;
    }
}

void Engine::RefreshDevicesLocked()
{
    if (FRescan && FKind != Kind::PortAudio && FStopsPending.load(std::memory_order_acquire) == 0) {
        // The device list of a library that lost its device is stale: start the library again.
        ShutdownPortAudioLocked();
        FDevicesRead = false;
        FRescan = false;
    }
    if (FDevicesRead)
        return;
    FDevicesRead = true;
    FDevices.clear();
    FServerUp = false;
    const EnvChoice env = BackendFromEnvironment();
    if (env == EnvChoice::Default || env == EnvChoice::Pulse) {
        if (auto sinks = pulse::Sinks()) {
            FServerUp = true;
            FDevices = std::move(*sinks);
        }
    }
    // Where a server runs, it holds the sound card; its sinks are the devices.
    if (env == EnvChoice::PortAudio || (env == EnvChoice::Default && !FServerUp)) {
        if (!FPaReady)
            FPaReady = portaudio::Startup();
        if (FPaReady)
            FDevices = portaudio::OutputDevices();
    }
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
    if (FPendingTest || (FTestFactory && !(FBackend && FTarget.What == Kind::Test))) {
        StopLocked();
        StartLocked(Target::Only(Kind::Test), std::move(FPendingTest));
        return DS_OK;
    }
    Target want;
    if (FTestFactory) {
        want.What = Kind::Test;
    } else if (FForceManual || env == EnvChoice::Manual || env == EnvChoice::Null) {
        if (guid)
            return DSERR_NODRIVER;
        want.What = (FForceManual || env == EnvChoice::Manual) ? Kind::Manual : Kind::Null;
    } else {
        RefreshDevicesLocked();
        if (guid) {
            auto it = std::find_if(FDevices.begin(), FDevices.end(),
                                   [&](const DeviceInfo& d) { return SameGuid(d.Guid, *guid); });
            if (it == FDevices.end())
                return DSERR_NODRIVER;
            if (!it->Sink.empty())
                want = {Kind::Pulse, it->Sink, std::nullopt, it->Name};
            else
                want = {Kind::PortAudio, "", *guid, ""};
        } else if (env == EnvChoice::Pulse || FServerUp) {
            want = {Kind::Pulse, "", std::nullopt, "default output"};
        } else if (FPaReady && !FDevices.empty()) {
            want.What = Kind::PortAudio;
        } else {
            want.What = Kind::Null;
        }
    }
    // The device already chosen stays, even while the null pace stands in for it.
    if (FBackend && want == FTarget)
        return DS_OK;
    if (FBackend && FTarget.What == Kind::Test && !guid && want.What == Kind::Null)
        return DS_OK; // a test device keeps running until Reset
    StopLocked();
    StartLocked(want, nullptr);
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

bool Engine::Retryable(const Target& target) const
{
    return target.What == Kind::Pulse || target.What == Kind::PortAudio || (target.What == Kind::Test && FTestFactory);
}

std::unique_ptr<Backend> Engine::MakeBackendLocked(const Target& target)
{
    switch (target.What) {
    case Kind::Pulse:
        return pulse::MakeBackend(target.Sink, target.Description);
    case Kind::PortAudio: {
        if (FStopsPending.load(std::memory_order_acquire) > 0)
            return nullptr;
        RefreshDevicesLocked();
        if (!FPaReady)
            return nullptr;
        int index = -1;
        if (target.Guid) {
            for (const DeviceInfo& d : FDevices)
                if (d.Sink.empty() && SameGuid(d.Guid, *target.Guid))
                    index = d.PaIndex;
        } else {
            index = portaudio::DefaultOutput();
            if (index < 0 && !FDevices.empty())
                index = FDevices.front().PaIndex;
        }
        return index >= 0 ? portaudio::MakeBackend(index) : nullptr;
    }
    case Kind::Manual:
        return MakeManualBackend();
    case Kind::Test:
        return FTestFactory ? FTestFactory() : nullptr;
    default:
        return MakeNullBackend();
    }
}

// Starts `backend`, already opened in `format`, as the one that renders.
void Engine::RunLocked(std::unique_ptr<Backend> backend, const OutputFormat& format)
{
    ApplyFormatLocked(format);
    const uint64_t token = FNextToken++;
    FStartNs.store(NowNs(), std::memory_order_release);
    FFirstRenderNs.store(0, std::memory_order_release);
    FLastRenderNs.store(0, std::memory_order_release);
    FActiveToken.store(token, std::memory_order_release);
    FLeadFrames.store(backend->FramesPerRender(format), std::memory_order_release);
    backend->Start(*this, token);
    FBackend = std::move(backend);
}

void Engine::StartLocked(Target target, std::unique_ptr<Backend> backend)
{
    if (!backend)
        backend = MakeBackendLocked(target);
    OutputFormat format = FRequested;
    std::string error = "the sound device is gone";
    Kind running = target.What;
    std::string line = SilentLine;
    if (backend && backend->Open(format, error)) {
        if (running == Kind::PortAudio || running == Kind::Pulse)
            line = "DuoDeck sound output: " + backend->Name();
    } else {
        // A device that cannot be opened leaves the null backend in its place; the supervisor tries
        // it again where it can.
        line = "DuoDeck sound output: " + error + ", playing silently at real-time pace";
        FLostName = backend ? backend->Name() : "";
        FRescan = true;
        running = Kind::Null;
        if (!Retryable(target))
            target = Target::Only(Kind::Null);
        backend = MakeNullBackend();
        format = FRequested;
        backend->Open(format, error);
    }
    RunLocked(std::move(backend), format);
    FKind = running;
    FTarget = std::move(target);
    ++FTargetGeneration;
    if (running == Kind::Null || running == Kind::PortAudio || running == Kind::Pulse)
        Announce(line);
    if (FBackend->Watched() || running != FTarget.What)
        StartSupervisor();
}

// Takes the running backend out of the mix: after this no render of it mixes anything. A render
// under way (a device's, or a manual pull on another thread) never waits, so neither does this for
// long.
std::unique_ptr<Backend> Engine::DetachLocked()
{
    FActiveToken.store(0, std::memory_order_seq_cst);
    while (FRendering.test(std::memory_order_seq_cst))
        std::this_thread::yield();
    return std::move(FBackend);
}

std::unique_ptr<Backend> Engine::StopLocked()
{
    StopSupervisor();
    std::unique_ptr<Backend> backend = DetachLocked();
    if (backend) {
        if (backend->Watched())
            StopWithin(backend);
        else
            backend->Stop();
    }
    FKind = Kind::None;
    FTarget = {};
    ++FTargetGeneration;
    ReclaimLocked(true);
    return backend;
}

// Stops a device on a thread of its own and waits at most StopDeadlineMs. A device that does not
// let go in time (a stream stuck on a vanished server or card) is abandoned: its thread deletes it
// if its stop ever returns, and `backend` comes back empty.
bool Engine::StopWithin(std::unique_ptr<Backend>& backend)
{
    struct PendingStop {
        std::mutex Lock;
        std::condition_variable Done;
        bool Stopped = false;
        bool Abandoned = false;
        Backend* Device = nullptr;
    };
    const std::string name = backend->Name();
    auto pending = std::make_shared<PendingStop>();
    pending->Device = backend.get();
    FStopsPending.fetch_add(1, std::memory_order_acq_rel);
    std::thread([this, pending] {
        pending->Device->Stop();
        std::unique_lock l(pending->Lock);
        pending->Stopped = true;
        if (pending->Abandoned) {
            l.unlock();
            delete pending->Device;
            FStopsPending.fetch_sub(1, std::memory_order_acq_rel);
        } else {
            pending->Done.notify_all();
        }
    }).detach();
    std::unique_lock l(pending->Lock);
    if (pending->Done.wait_for(l, std::chrono::milliseconds(StopDeadlineMs), [&] { return pending->Stopped; })) {
        FStopsPending.fetch_sub(1, std::memory_order_acq_rel);
        return true;
    }
    pending->Abandoned = true;
    (void)backend.release();
    Announce("DuoDeck sound output: " + name + " does not stop; left behind");
    return false;
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
    Target target = FTarget;
    const bool onTarget = FKind == target.What;
    std::unique_ptr<Backend> backend = StopLocked();
    if (!onTarget)
        backend.reset(); // the null pace that stood in for the device
    StartLocked(std::move(target), std::move(backend));
}

// ---------------------------------------------------------------------------------------------
// Supervisor: one thread while a device is in use or stood in for.

void Engine::StartSupervisor()
{
    FWatchStop.store(false, std::memory_order_release);
    FSupervisor = std::thread([this] { SupervisorLoop(); });
}

void Engine::StopSupervisor()
{
    if (!FSupervisor.joinable())
        return;
    {
        std::lock_guard wl(FWatchLock);
        FWatchStop.store(true, std::memory_order_release);
    }
    FWatchWake.notify_all();
    FSupervisor.join();
}

void Engine::SupervisorLoop()
{
    int64_t nextTry = 0;
    std::unique_lock wl(FWatchLock);
    while (!FWatchStop.load(std::memory_order_acquire)) {
        FWatchWake.wait_for(wl, timescale::Real(SupervisorPollMs));
        if (FWatchStop.load(std::memory_order_acquire))
            break;
        wl.unlock();
        Supervise(nextTry);
        wl.lock();
    }
}

void Engine::Supervise(int64_t& nextTry)
{
    // Never wait for the API lock: its holder may be joining this thread.
    std::unique_lock lock(FLock, std::try_to_lock);
    if (!lock.owns_lock() || !FBackend)
        return;
    const int64_t now = NowNs();
    if (FKind == FTarget.What) {
        if (FBackend->Watched() && StalledLocked(now)) {
            HandOverLocked();
            nextTry = now + timescale::Real(RetryMs).count();
        }
        return;
    }
    if (now < nextTry || !Retryable(FTarget))
        return;
    nextTry = now + timescale::Real(RetryMs).count();
    TryTargetAgain(lock);
}

bool Engine::StalledLocked(int64_t now) const
{
    if (FBackend->Failed())
        return true;
    const int64_t first = FFirstRenderNs.load(std::memory_order_acquire);
    const int64_t last = FLastRenderNs.load(std::memory_order_acquire);
    if (first == 0 || last - first < timescale::Real(RunningMs).count())
        return now - FStartNs.load(std::memory_order_acquire) > timescale::Real(StartGraceMs).count();
    return now - last > timescale::Real(StallMs).count();
}

// The device went silent: the null pace takes over, so cursors, refills, the end of a song and a
// recording go on. The device is kept as the target.
void Engine::HandOverLocked()
{
    std::unique_ptr<Backend> gone = DetachLocked();
    const std::string name = gone->Name();
    StopWithin(gone);
    FRescan = true;
    std::unique_ptr<Backend> null = MakeNullBackend();
    OutputFormat format = FFormat;
    std::string error;
    null->Open(format, error);
    RunLocked(std::move(null), format);
    FKind = Kind::Null;
    if (!Retryable(FTarget))
        FTarget = Target::Only(Kind::Null);
    FLostName = name;
    Announce("DuoDeck sound output: " + name + " stopped responding, playing silently at real-time pace");
}

// Opens the target device again; when it answers, it takes over from the null pace. A server
// connection may take up to a second to fail, so it is opened without the API lock.
void Engine::TryTargetAgain(std::unique_lock<std::mutex>& lock)
{
    const Target target = FTarget;
    const uint64_t generation = FTargetGeneration;
    OutputFormat format = FFormat;
    // Until the device answers, the next look at the devices reads them afresh.
    FRescan = true;
    std::unique_ptr<Backend> candidate = MakeBackendLocked(target);
    if (!candidate)
        return;
    std::string error;
    bool opened;
    if (target.What == Kind::Pulse) {
        lock.unlock();
        opened = candidate->Open(format, error);
        while (!lock.try_lock()) {
            if (FWatchStop.load(std::memory_order_acquire))
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    } else {
        opened = candidate->Open(format, error);
    }
    if (!opened || generation != FTargetGeneration || FKind == FTarget.What || !(format == FFormat))
        return;
    DetachLocked()->Stop(); // the null pace that stood in
    RunLocked(std::move(candidate), format);
    FKind = target.What;
    FRescan = false;
    // A default device may come back as another one (the library's default moved).
    const std::string name = FBackend->Name();
    Announce("DuoDeck sound output: " + name + (name == FLostName ? " is back" : ""));
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
    if (token & CueOutput::TokenBit)
        return FCue->Render(token, out, frames);
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
    const int64_t now = NowNs();
    if (FFirstRenderNs.load(std::memory_order_relaxed) == 0)
        FFirstRenderNs.store(now, std::memory_order_release);
    FLastRenderNs.store(now, std::memory_order_release);
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
