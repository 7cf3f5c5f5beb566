#include "platform/output/Supervisor.h"

#include "platform/output/Loopback.h"
#include "platform/output/PortAudioOutput.h"
#include "platform/output/PulseOutput.h"
#include "platform/kernel/Realtime.h"
#include "platform/kernel/TimeScale.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace output {

namespace {

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

int64_t Program(double ms)
{
    return timescale::Real(ms).count();
}

// Frames rendered over `ns` of real time as a share of real-time pace at `rate`.
double Pace(uint64_t frames, int64_t ns, uint32_t rate)
{
    const double ms = timescale::ProgramMs(std::chrono::nanoseconds(ns));
    return ms > 0 ? double(frames) * 1000.0 / (double(rate) * ms) : 1.0;
}

constexpr double MinPace = 0.5;

constexpr const char* Prefix = "DuoDeck sound output: ";
constexpr const char* Silently = ", playing silently at real-time pace";

} // namespace

// The test seams as a driver: one device handed over once, or a factory that makes one per opening.
class Supervisor::TestDriver final : public Driver {
public:
    const char* Kind() const override { return "test"; }
    std::optional<std::vector<DeviceInfo>> Devices() override { return std::vector<DeviceInfo>{}; }
    std::unique_ptr<Backend> Make(const std::string&) override
    {
        std::lock_guard lock(FLock);
        if (FOnce)
            return std::move(FOnce);
        return FMake ? FMake() : nullptr;
    }
    bool Armed()
    {
        std::lock_guard lock(FLock);
        return FArmed;
    }
    bool Repeats()
    {
        std::lock_guard lock(FLock);
        return bool(FMake);
    }
    void Set(std::unique_ptr<Backend> once, std::function<std::unique_ptr<Backend>()> make)
    {
        std::lock_guard lock(FLock);
        if (once)
            FOnce = std::move(once);
        if (make)
            FMake = std::move(make);
        FArmed = FOnce || FMake;
    }
    void Clear()
    {
        std::lock_guard lock(FLock);
        FOnce.reset();
        FMake = nullptr;
        FArmed = false;
    }

private:
    std::mutex FLock;
    bool FArmed = false;
    std::unique_ptr<Backend> FOnce;
    std::function<std::unique_ptr<Backend>()> FMake;
};

Supervisor::Supervisor(BlockSource& source)
    : FGate(source), FPulse(pulse::MakeDriver()), FPortAudio(portaudio::MakeDriver()), FNull(MakeNullDriver()),
      FManual(MakeManualDriver()), FTest(std::make_unique<TestDriver>())
{
    // A recording is paced by the output: it needs a device, and at once, even a stream paused for
    // idleness.
    Loopback::Instance().OnOpen([this] {
        bool off;
        {
            std::lock_guard control(FControl);
            off = FState == State::Off;
        }
        if (off)
            Open(nullptr);
        NotePlaying();
    });
}

Supervisor::~Supervisor() = default;

// ---------------------------------------------------------------------------------------------
// Choosing

std::vector<Driver*> Supervisor::Chain() const
{
    switch (BackendFromEnvironment()) {
    case EnvChoice::Default:
        return {FPulse.get(), FPortAudio.get()};
    case EnvChoice::Pulse:
        return {FPulse.get()};
    case EnvChoice::PortAudio:
        return {FPortAudio.get()};
    default:
        return {};
    }
}

bool Supervisor::Retryable(const Target& target) const
{
    if (!target.From)
        return !Chain().empty();
    if (target.From == FTest.get())
        return FTest->Repeats();
    return target.From != FNull.get() && target.From != FManual.get();
}

// Slow: may connect, start a library and probe devices. No lock needed.
Supervisor::Opened Supervisor::OpenTarget(const Target& target, const OutputFormat& format) const
{
    Opened opened;
    opened.Error = "no sound device";
    const std::vector<Driver*> drivers = target.From ? std::vector<Driver*>{target.From} : Chain();
    for (Driver* driver : drivers) {
        std::unique_ptr<Backend> device = driver->Make(target.Id);
        if (!device) {
            if (target.From)
                opened.Error = "the sound device is gone";
            continue;
        }
        OutputFormat f = format;
        std::string error;
        if (device->Open(f, error)) {
            opened = {std::move(device), driver, f, ""};
            return opened;
        }
        if (target.From)
            opened.Error = error;
        // A device that did not open holds no stream: dropped here.
    }
    return opened;
}

std::vector<DeviceInfo> Supervisor::Devices(bool* serverSinks)
{
    if (serverSinks)
        *serverSinks = false;
    {
        std::lock_guard control(FControl);
        if (FForceManual || FTest->Armed())
            return {};
    }
    for (Driver* driver : Chain())
        if (auto list = driver->Devices()) {
            if (serverSinks)
                *serverSinks = driver == FPulse.get();
            return *list;
        }
    return {};
}

HRESULT Supervisor::Open(const GUID* guid)
{
    std::unique_lock control(FControl);
    const EnvChoice env = BackendFromEnvironment();
    Target want;
    if (FTest->Armed()) {
        want.From = FTest.get();
    } else if (FForceManual || env == EnvChoice::Manual || env == EnvChoice::Null) {
        if (guid)
            return DSERR_NODRIVER;
        want.From = (FForceManual || env == EnvChoice::Manual) ? FManual.get() : FNull.get();
    } else if (guid) {
        bool found = false;
        for (Driver* driver : Chain()) {
            if (auto list = driver->Devices()) {
                for (const DeviceInfo& d : *list)
                    if (std::memcmp(&d.Guid, guid, sizeof(GUID)) == 0) {
                        want = {driver, d.Id};
                        found = true;
                    }
                break;
            }
        }
        if (!found)
            return DSERR_NODRIVER;
    }
    // The device already chosen stays, even while the null pace stands in for it.
    if (FState != State::Off && want == FTarget)
        return DS_OK;
    Retired retired;
    RetireAllLocked(retired);
    StopAllLocked(retired);
    FTarget = want;
    BringUpLocked(retired);
    StopAllLocked(retired);
    return DS_OK;
}

void Supervisor::RequestFormat(const OutputFormat& format)
{
    std::unique_lock control(FControl);
    FRequested = format;
    if (FState == State::Off) {
        FGate.ApplyFormat(format);
        return;
    }
    if (FGate.Format() == format)
        return;
    Retired retired;
    RetireAllLocked(retired);
    StopAllLocked(retired);
    BringUpLocked(retired);
    StopAllLocked(retired);
}

void Supervisor::Reset()
{
    std::unique_lock control(FControl);
    if (FRun) {
        // Not joined: the thread may be in a connect that takes a second. It ends when it next
        // looks, and meanwhile touches nothing.
        FRun->Stop = true;
        FRun.reset();
        FWake.notify_all();
    }
    Retired retired;
    RetireAllLocked(retired);
    FTarget = {};
    StopAllLocked(retired);
    if (FUnderflows > 0)
        std::fprintf(stderr, "%s%llu underflows\n", Prefix, static_cast<unsigned long long>(FUnderflows));
    FUnderflows = 0;
    FForceManual = false;
    FTest->Clear();
    FLastLine.clear();
    FLostName.clear();
    FRequested = OutputFormat{};
    FGate.ApplyFormat(FRequested);
}

void Supervisor::UseManual()
{
    std::lock_guard control(FControl);
    FForceManual = true;
}

void Supervisor::UseTestBackend(std::unique_ptr<Backend> backend)
{
    FTest->Set(std::move(backend), nullptr);
}

void Supervisor::UseTestBackendFactory(std::function<std::unique_ptr<Backend>()> make)
{
    FTest->Set(nullptr, std::move(make));
}

void Supervisor::NotePlaying()
{
    FGate.NotePlaying(RenderGate::NowNs());
    if (FCorked.load(std::memory_order_acquire))
        FWake.notify_all();
}

bool Supervisor::Pull(void* out, uint32_t frames)
{
    std::lock_guard control(FControl);
    return FDevice && FDevice->Pull(out, frames);
}

uint64_t Supervisor::Underflows()
{
    std::lock_guard control(FControl);
    return FUnderflows + (FDevice ? FDevice->Underflows() : 0);
}

double Supervisor::DeviceLatencyMs()
{
    std::lock_guard control(FControl);
    return FDevice ? FDevice->LatencyMs() : 0;
}

void Supervisor::Announce(const std::string& line)
{
    if (line == FLastLine)
        return;
    FLastLine = line;
    std::fprintf(stderr, "%s\n", line.c_str());
}

// ---------------------------------------------------------------------------------------------
// Starting and stopping devices (FControl held)

// Opens and starts the target; the null pace stands in when it cannot be.
void Supervisor::BringUpLocked(Retired& retired)
{
    ++FGeneration;
    Opened opened = OpenTarget(FTarget, FRequested);
    std::string error = opened.Error;
    if (opened.From) {
        const uint64_t token = FGate.NewToken();
        FGate.Activate(token, opened.Format, opened.Device->FramesPerRender(opened.Format), opened.From->Kind(), false);
        if (opened.Device->Start(FGate, token, error)) {
            FDevice = std::move(opened.Device);
            FState = FDevice->Watched() ? State::Starting : State::Running;
            FIdle = false;
            FCorked.store(false, std::memory_order_release);
            if (FDevice->Watched())
                Announce(Prefix + FDevice->Name());
            else if (opened.From == FNull.get())
                Announce(std::string(Prefix) + FDevice->Name() + Silently);
            StartThreadLocked();
            return;
        }
        FGate.Deactivate();
    }
    if (opened.Device)
        retired.push_back(std::move(opened.Device));
    FLostName.clear();
    Announce(Prefix + error + Silently);
    StandInLocked(FRequested);
}

// The null pace renders in the target's place, from the position the lost device reached: the
// `missedFrames` of real time since it stopped taking the mix are rendered here first, at once.
void Supervisor::StandInLocked(const OutputFormat& format, uint64_t missedFrames)
{
    std::unique_ptr<Backend> null = FNull->Make("");
    OutputFormat f = format;
    std::string error;
    null->Open(f, error);
    const uint64_t token = FGate.NewToken();
    FGate.Activate(token, f, null->FramesPerRender(f), FNull->Kind(), false);
    std::vector<uint8_t> block(size_t(f.PeriodFrames()) * f.BlockAlign());
    for (uint64_t left = missedFrames; left > 0;) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(left, f.PeriodFrames()));
        FGate.Render(token, block.data(), n);
        left -= n;
    }
    null->Start(FGate, token, error);
    FStandIn = std::move(null);
    FCorked.store(false, std::memory_order_release);
    if (Retryable(FTarget)) {
        FState = State::StandIn;
        FNextTry = RenderGate::NowNs() + Program(RetryMs);
    } else {
        // Nothing to go back to: the null pace is the device now.
        FTarget = {FNull.get(), ""};
        FDevice = std::move(FStandIn);
        FState = State::Running;
    }
    StartThreadLocked();
}

void Supervisor::HandOverLocked(const std::string& failure, Retired& retired, uint64_t missedFrames)
{
    FLostName = FDevice->Name();
    FUnderflows += FDevice->Underflows();
    FGate.Deactivate();
    retired.push_back(std::move(FDevice));
    ++FGeneration;
    Announce(Prefix + FLostName + " stopped responding" + (failure.empty() ? "" : " (" + failure + ")") + Silently);
    StandInLocked(FGate.Format(), missedFrames);
}

// The real time a running device missed, in frames of the mix: since its last render (which had
// filled the device's buffer, the lead, ahead), or for a device that went on too slowly, what the
// pace window counted short. At most two pace windows' worth.
uint64_t Supervisor::MissedFrames(const RenderGate::Times& t, int64_t now, int64_t windowSince,
                                  uint64_t windowFrames) const
{
    const double rate = FGate.OutputRate();
    const auto frames = [rate](int64_t ns) { return timescale::ProgramMs(std::chrono::nanoseconds(ns)) * rate / 1000; };
    const double sinceLast = frames(now - t.Last) - FGate.LeadFrames();
    const double window = windowSince ? frames(now - windowSince) - double(t.Frames - windowFrames) : 0.0;
    return static_cast<uint64_t>(std::clamp(std::max(sinceLast, window), 0.0, 2 * PaceWindowMs * rate / 1000));
}

// The trial has rendered for long enough: it takes over from the null pace, in its own format.
void Supervisor::TakeTrialLocked(Retired& retired)
{
    FGate.Activate(FTrialToken, FTrialFormat, FTrial->FramesPerRender(FTrialFormat), FTrialKind, true);
    retired.push_back(std::move(FStandIn));
    FDevice = std::move(FTrial);
    FTrialToken = 0;
    FState = State::Running;
    FIdle = false;
    FPaceSince = RenderGate::NowNs();
    FPaceFrames = FGate.Active().Frames;
    ++FGeneration;
    // A default target may come back as another device (the system's default moved).
    const std::string name = FDevice->Name();
    Announce(Prefix + name + (name == FLostName ? " is back" : ""));
}

void Supervisor::RetireAllLocked(Retired& retired)
{
    FGate.Deactivate();
    FGate.SetTrial(0);
    if (FDevice)
        FUnderflows += FDevice->Underflows();
    for (std::unique_ptr<Backend>* b : {&FDevice, &FStandIn, &FTrial})
        if (*b)
            retired.push_back(std::move(*b));
    FTrialToken = 0;
    FState = State::Off;
    FCorked.store(false, std::memory_order_release);
    ++FGeneration;
}

// Stops and deletes devices on threads of their own, all at once, and waits at most StopDeadlineMs:
// a device that does not let go in time (a stream stuck on a vanished server or card) is left to its
// thread, which deletes it if its stop ever returns. Returns the names of those left behind. Needs
// no lock.
std::vector<std::string> Supervisor::StopAll(Retired& retired)
{
    if (retired.empty())
        return {};
    struct Pending {
        std::mutex Lock;
        std::condition_variable Done;
        int Left = 0;
    };
    auto pending = std::make_shared<Pending>();
    std::vector<std::string> names;
    std::vector<std::shared_ptr<std::atomic<bool>>> finished;
    for (std::unique_ptr<Backend>& b : retired) {
        if (!b)
            continue;
        if (!b->Watched()) { // the null pace and the manual backend stop at once
            b.reset();
            continue;
        }
        names.push_back(b->Name());
        auto done = std::make_shared<std::atomic<bool>>(false);
        finished.push_back(done);
        {
            std::lock_guard l(pending->Lock);
            ++pending->Left;
        }
        std::thread([device = b.release(), pending, done] {
            device->Stop();
            delete device;
            done->store(true);
            std::lock_guard l(pending->Lock);
            --pending->Left;
            pending->Done.notify_all();
        }).detach();
    }
    retired.clear();
    std::unique_lock l(pending->Lock);
    pending->Done.wait_for(l, std::chrono::milliseconds(StopDeadlineMs), [&] { return pending->Left == 0; });
    std::vector<std::string> left;
    for (size_t i = 0; i < names.size(); ++i)
        if (!finished[i]->load())
            left.push_back(names[i]);
    return left;
}

void Supervisor::StopAllLocked(Retired& retired)
{
    for (const std::string& name : StopAll(retired))
        Announce(Prefix + name + " does not stop; left behind");
}

// ---------------------------------------------------------------------------------------------
// The supervisor's thread: one per run, while a device is in use or stood in for.

void Supervisor::StartThreadLocked()
{
    if (FRun) {
        FWake.notify_all(); // it may be waiting with nothing to watch
        return;
    }
    FRun = std::make_shared<Run>();
    std::thread([this, run = FRun] {
        realtime::NameThisThread("duodeck-device");
        Loop(run);
    }).detach();
}

void Supervisor::Loop(std::shared_ptr<Run> run)
{
    std::unique_lock control(FControl);
    while (!run->Stop) {
        // A device that is not watched (the null pace as the chosen device) leaves nothing to look
        // at until the next bring-up or reset wakes the thread.
        const bool watching = FState == State::StandIn || (FDevice && FDevice->Watched());
        if (watching)
            FWake.wait_for(control, timescale::Real(FTrial ? TrialPollMs : PollMs));
        else
            FWake.wait(control);
        if (run->Stop)
            break;
        Retired retired;
        try {
            TickLocked(control, run, retired);
        } catch (...) {
        }
        if (!retired.empty()) {
            control.unlock();
            const std::vector<std::string> left = StopAll(retired);
            control.lock();
            for (const std::string& name : left)
                Announce(Prefix + name + " does not stop; left behind");
        }
    }
}

void Supervisor::TickLocked(std::unique_lock<std::mutex>& control, const std::shared_ptr<Run>& run, Retired& retired)
{
    const int64_t now = RenderGate::NowNs();
    if ((FState == State::Starting || FState == State::Running) && FDevice && FDevice->Watched()) {
        const bool idle = !Loopback::Instance().Listening() && now - FGate.LastPlayingNs() > Program(IdleMs);
        if (idle != FIdle) {
            FIdle = idle;
            FCorked.store(idle, std::memory_order_release);
            FDevice->SetIdle(idle);
            if (!idle) {
                FGate.RestartClock(); // a woken stream may take as long as a new one to play
                FState = State::Starting;
            }
        }
        if (FIdle)
            return;
        const RenderGate::Times t = FGate.Active();
        // A device that took over from a trial has proven itself there, in less than RunningMs.
        const bool ran = FState == State::Running || (t.First != 0 && t.Last - t.First >= Program(RunningMs));
        const int64_t windowSince = FState == State::Running ? FPaceSince : 0; // Starting: none yet
        const uint64_t windowFrames = FPaceFrames;
        bool slow = false;
        if (ran && FState == State::Starting) {
            FState = State::Running;
            FPaceSince = now;
            FPaceFrames = t.Frames;
        } else if (ran && now - FPaceSince >= Program(PaceWindowMs)) {
            slow = Pace(t.Frames - FPaceFrames, now - FPaceSince, FGate.OutputRate()) < MinPace;
            FPaceSince = now;
            FPaceFrames = t.Frames;
        }
        std::string failure = FDevice->Failure();
        const bool stalled = ran ? now - t.Last > Program(StallMs) : now - t.Start > Program(StartGraceMs);
        if (!failure.empty() || stalled || slow)
            HandOverLocked(failure, retired, ran ? MissedFrames(t, now, windowSince, windowFrames) : 0);
        return;
    }
    if (FState != State::StandIn)
        return;
    if (FTrial) {
        const RenderGate::Times t = FGate.Trial();
        if (t.First != 0 && t.Last - t.First >= Program(TrialRunningMs) && now - t.Last < Program(StallMs) &&
            Pace(t.Frames, t.Last - t.First, FTrialFormat.Rate) >= MinPace) {
            TakeTrialLocked(retired);
        } else if (!FTrial->Failure().empty() || now - FTrialSince > Program(StartGraceMs)) {
            FGate.SetTrial(0);
            FTrialToken = 0;
            retired.push_back(std::move(FTrial));
            FNextTry = now + Program(RetryMs);
        }
        return;
    }
    if (now >= FNextTry)
        TryTarget(control, run, retired);
}

// Opens the target again as a trial, without FControl: a connect may take a second.
void Supervisor::TryTarget(std::unique_lock<std::mutex>& control, const std::shared_ptr<Run>& run, Retired& retired)
{
    const Target target = FTarget;
    const OutputFormat format = FRequested;
    uint64_t generation = FGeneration;
    control.unlock();
    Opened opened = OpenTarget(target, format);
    control.lock();
    FNextTry = RenderGate::NowNs() + Program(RetryMs);
    const auto stale = [&] { return run->Stop || generation != FGeneration || FState != State::StandIn; };
    if (!opened.From || stale()) {
        if (opened.Device)
            retired.push_back(std::move(opened.Device));
        return;
    }
    const uint64_t token = FGate.NewToken();
    FGate.SetTrial(token);
    ++FGeneration;
    generation = FGeneration;
    control.unlock();
    std::string error;
    const bool started = opened.Device->Start(FGate, token, error);
    control.lock();
    if (!started || stale()) {
        if (!stale())
            FGate.SetTrial(0);
        retired.push_back(std::move(opened.Device));
        return;
    }
    FTrial = std::move(opened.Device);
    FTrialKind = opened.From->Kind();
    FTrialFormat = opened.Format;
    FTrialToken = token;
    FTrialSince = RenderGate::NowNs();
}

} // namespace output
