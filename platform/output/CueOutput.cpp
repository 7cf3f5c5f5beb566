#include "platform/output/CueOutput.h"

#include "platform/output/Supervisor.h"
#include "platform/output/LoopbackRing.h"
#include "platform/output/PortAudioOutput.h"
#include "platform/output/PulseOutput.h"
#include "platform/kernel/Realtime.h"
#include "platform/kernel/TimeScale.h"

#include <samplerate.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace output {

namespace {

constexpr size_t FrameBytes = 2 * sizeof(float);
// About 1.5 s of stereo float frames at 44.1 kHz: a power of two, so no frame straddles the end.
constexpr size_t RingBytes = size_t(1) << 19;
// Program milliseconds, as the engine's supervisor counts them for the main device.
constexpr double StallMs = 500;
constexpr double StartGraceMs = 3000;
constexpr double RunningMs = 200;
constexpr double RetryMs = 1000;
constexpr double PollMs = 100;
// The servo: the fill level is averaged over about FillSeconds; a fill one target above the target
// speeds the headphones up by ProportionalGain, and the integral takes over the clocks' steady
// difference (a time constant of tens of seconds, well damped). Real crystals differ by well under
// 0.1 %; the correction is held within MaxCorrection.
constexpr double FillSeconds = 1.0;
constexpr double ProportionalGain = 0.002;
constexpr double IntegralGain = 0.00005; // per second
constexpr double MaxCorrection = 0.01;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Stops `device` on a thread of its own and waits at most Supervisor::StopDeadlineMs; a device that
// does not let go in time is left to that thread, which deletes it when its stop returns (false).
bool StopWithin(std::unique_ptr<Backend> device)
{
    struct Pending {
        std::mutex Lock;
        std::condition_variable Done;
        bool Stopped = false;
        bool Abandoned = false;
    };
    auto pending = std::make_shared<Pending>();
    Backend* raw = device.release();
    std::thread([pending, raw] {
        raw->Stop();
        std::unique_lock l(pending->Lock);
        pending->Stopped = true;
        if (pending->Abandoned)
            delete raw;
        pending->Done.notify_all();
    }).detach();
    std::unique_lock l(pending->Lock);
    if (pending->Done.wait_for(l, std::chrono::milliseconds(Supervisor::StopDeadlineMs),
                               [&] { return pending->Stopped; })) {
        delete raw;
        return true;
    }
    pending->Abandoned = true;
    return false;
}

template <class T> void ToDevice(const float* in, T* out, uint32_t frames, uint16_t channels)
{
    for (uint32_t i = 0; i < frames; ++i) {
        const float l = in[2 * i], r = in[2 * i + 1];
        const float side[2] = {channels == 2 ? l : (l + r) * 0.5f, r};
        for (uint16_t c = 0; c < channels; ++c) {
            if constexpr (sizeof(T) == 2) {
                const float x = std::clamp(side[c] * 32768.0f, -32768.0f, 32767.0f);
                out[i * channels + c] = static_cast<int16_t>(std::lrint(x));
            } else {
                const float x = std::clamp(side[c] * 128.0f, -128.0f, 127.0f);
                out[i * channels + c] = static_cast<uint8_t>(std::lrint(x) + 128);
            }
        }
    }
}

} // namespace

CueOutput::CueOutput(const Supervisor& room)
    : FRoom(room), FPulse(pulse::MakeDriver(true)), FPortAudio(portaudio::MakeDriver()),
      FRing(std::make_unique<LoopbackRing>(RingBytes))
{
}

CueOutput::~CueOutput()
{
    Choose({});
    if (FSrc)
        src_delete(FSrc);
}

CueTarget CueOutput::Chosen()
{
    std::lock_guard lock(FLock);
    return FChosen;
}

bool CueOutput::Playing() const
{
    const int64_t last = FLastRenderNs.load(std::memory_order_acquire);
    return FActiveToken.load(std::memory_order_acquire) != 0 && last != 0 &&
           NowNs() - last < timescale::Real(StallMs).count();
}

void CueOutput::Choose(const CueTarget& target)
{
    {
        std::lock_guard lock(FLock);
        StopDeviceLocked();
        FChosen = target;
        FLastLine.clear();
        FMode.store(target.What == CueTarget::Kind::None    ? Mode::None
                    : target.What == CueTarget::Kind::Split ? Mode::Split
                                                            : Mode::Device,
                    std::memory_order_release);
        if (target.What == CueTarget::Kind::Sink || target.What == CueTarget::Kind::PortAudio) {
            FNextTryNs = 0;
            StartDeviceLocked();
        }
    }
    const bool watch = target.What == CueTarget::Kind::Sink || target.What == CueTarget::Kind::PortAudio;
    if (watch && !FWatch.joinable()) {
        FWatchStop = false;
        FWatch = std::thread([this] {
            realtime::NameThisThread("duodeck-phones");
            WatchLoop();
        });
    } else if (!watch && FWatch.joinable()) {
        {
            std::lock_guard wl(FWatchLock);
            FWatchStop = true;
        }
        FWatchWake.notify_all();
        FWatch.join();
    }
}

void CueOutput::Reset()
{
    Choose({});
    SetBlend(0);
    SetLevel(1);
    UseTestDevice(nullptr);
}

void CueOutput::UseTestDevice(std::function<std::unique_ptr<Backend>()> make)
{
    std::lock_guard lock(FLock);
    FTestDevice = std::move(make);
}

std::unique_ptr<Backend> CueOutput::MakeDeviceLocked()
{
    if (FTestDevice)
        return FTestDevice();
    if (FChosen.What == CueTarget::Kind::Sink)
        return FPulse->Make(FChosen.Sink);
    if (auto devices = FPortAudio->Devices())
        for (const DeviceInfo& d : *devices)
            if (std::memcmp(&d.Guid, &FChosen.Device, sizeof(GUID)) == 0)
                return FPortAudio->Make(d.Id);
    return nullptr;
}

// Opens the chosen device in the engine's rate; the render thread's state is set up before it runs.
void CueOutput::StartDeviceLocked()
{
    FNextTryNs = NowNs() + timescale::Real(RetryMs).count();
    std::unique_ptr<Backend> device = MakeDeviceLocked();
    OutputFormat format{FRoom.OutputRate(), 2, 16};
    std::string error = "the headphones device is gone";
    const bool opened = device && device->Open(format, error);
    // After Open, which learns the device's description.
    const std::string name = device ? device->Name() : FChosen.Description;
    if (!opened) {
        const std::string line = "DuoDeck headphones: " + name + ": " + error + ", tried again every second";
        if (line != FLastLine)
            std::fprintf(stderr, "%s\n", line.c_str());
        FLastLine = line;
        return;
    }
    FDeviceFormat = format;
    // The ring holds one burst of the main device's render and one of the headphones', plus half
    // a period against the two threads' jitter.
    const uint32_t ringRate = FRoom.OutputRate();
    FRingRate.store(ringRate, std::memory_order_relaxed);
    const double scale = double(ringRate) / format.Rate;
    FTarget = std::max(FRoom.LeadFrames(), uint32_t(device->FramesPerRender(format) * scale)) +
              OutputFormat{ringRate}.PeriodFrames() / 2;
    int err = 0;
    if (!FSrc)
        FSrc = src_callback_new(&CueOutput::ReadRing, SRC_SINC_FASTEST, 2, &err, this);
    else
        src_reset(FSrc);
    if (!FSrc)
        return;
    FPrimed = false;
    FIntegral = 0;
    FPhase = 0;
    FInPos = FInLength = 0;
    std::fill(std::begin(FTaps), std::end(FTaps), 0.0f);
    FCorrection.store(1, std::memory_order_relaxed);
    FFirstRenderNs.store(0, std::memory_order_release);
    FLastRenderNs.store(0, std::memory_order_release);
    FDeviceStartNs = NowNs();
    const uint64_t token = FNextToken++;
    FActiveToken.store(token, std::memory_order_release);
    if (!device->Start(*this, token, error)) {
        FActiveToken.store(0, std::memory_order_release);
        const std::string line = "DuoDeck headphones: " + name + ": " + error + ", tried again every second";
        if (line != FLastLine)
            std::fprintf(stderr, "%s\n", line.c_str());
        FLastLine = line;
        StopWithin(std::move(device));
        return;
    }
    FDevice = std::move(device);
    const std::string line = "DuoDeck headphones: " + name + (FLastLine.empty() ? "" : " is back");
    if (line != FLastLine)
        std::fprintf(stderr, "%s\n", line.c_str());
    FLastLine = line;
}

void CueOutput::StopDeviceLocked()
{
    FActiveToken.store(0, std::memory_order_seq_cst);
    while (FRendering.test(std::memory_order_seq_cst))
        std::this_thread::yield();
    // A device that does not let go in time is deleted by its stopping thread, and its library
    // with it.
    if (FDevice)
        StopWithin(std::move(FDevice));
}

void CueOutput::WatchLoop()
{
    std::unique_lock wl(FWatchLock);
    while (!FWatchStop) {
        FWatchWake.wait_for(wl, timescale::Real(PollMs));
        if (FWatchStop)
            break;
        wl.unlock();
        {
            std::unique_lock lock(FLock, std::try_to_lock);
            const int64_t now = NowNs();
            if (!lock.owns_lock() || FMode.load() != Mode::Device) {
            } else if (FDevice) {
                const int64_t first = FFirstRenderNs.load(std::memory_order_acquire);
                const int64_t last = FLastRenderNs.load(std::memory_order_acquire);
                const bool running = first != 0 && last - first >= timescale::Real(RunningMs).count();
                const bool stalled = !FDevice->Failure().empty() ||
                                     (running ? now - last > timescale::Real(StallMs).count()
                                              : now - FDeviceStartNs > timescale::Real(StartGraceMs).count());
                if (stalled) {
                    const std::string name = FDevice->Name();
                    StopDeviceLocked();
                    // A retry that never played stays quiet on the console.
                    if (first != 0) {
                        FLastLine = "DuoDeck headphones: " + name + " stopped responding, tried again every second";
                        std::fprintf(stderr, "%s\n", FLastLine.c_str());
                    }
                    FNextTryNs = now + timescale::Real(RetryMs).count();
                }
            } else if (now >= FNextTryNs) {
                StartDeviceLocked();
            }
        }
        wl.lock();
    }
}

bool CueOutput::Process(float* room, const float* cue, uint32_t frames, const OutputFormat& format)
{
    const Mode mode = FMode.load(std::memory_order_acquire);
    if (mode == Mode::None || !cue)
        return false;
    const float blend = std::clamp(FBlend.load(std::memory_order_acquire), 0.0f, 1.0f);
    const float level = std::clamp(FLevel.load(std::memory_order_acquire), 0.0f, 1.0f);
    // The cue's and the room's gains move across the block from where the last one left them.
    const float c = level * (1.0f - blend), r = level * blend;
    const float c0 = FLastCue < 0 ? c : FLastCue, r0 = FLastRoom < 0 ? r : FLastRoom;
    FLastCue = c;
    FLastRoom = r;
    const float stepC = (c - c0) / frames, stepR = (r - r0) / frames;
    const uint32_t ch = format.Channels;
    if (mode == Mode::Split) {
        if (ch != 2)
            return false;
        for (uint32_t i = 0; i < frames; ++i) {
            const float roomMono = (room[2 * i] + room[2 * i + 1]) * 0.5f;
            const float cueMono = (cue[2 * i] + cue[2 * i + 1]) * 0.5f;
            room[2 * i] = cueMono * (c0 + stepC * (i + 1)) + roomMono * (r0 + stepR * (i + 1));
            room[2 * i + 1] = roomMono;
        }
        return true;
    }
    FRingRate.store(format.Rate, std::memory_order_relaxed);
    float block[64 * 2];
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min<uint32_t>(frames - done, 64);
        for (uint32_t i = 0; i < n; ++i)
            for (uint32_t k = 0; k < 2; ++k) {
                const uint32_t at = (done + i) * ch + (ch == 2 ? k : 0);
                const float step = float(done + i + 1);
                block[2 * i + k] = cue[at] * (c0 + stepC * step) + room[at] * (r0 + stepR * step);
            }
        // A full ring (no headphones device reading) drops the rest: the room never waits.
        FRing->Write(reinterpret_cast<const uint8_t*>(block), n * FrameBytes, FrameBytes);
        done += n;
    }
    return false;
}

// The resampler's input: what the ring holds, or a short silence when it has run dry.
long CueOutput::ReadRing(void* user, float** data)
{
    auto* self = static_cast<CueOutput*>(user);
    const size_t frames = std::min<size_t>(self->FRing->Available() / FrameBytes, ChunkFrames);
    *data = self->FIn;
    if (frames == 0) {
        self->FUnderruns.fetch_add(64, std::memory_order_relaxed);
        std::fill(self->FIn, self->FIn + 2 * 64, 0.0f);
        return 64;
    }
    const uint8_t *p1, *p2;
    size_t n1, n2;
    self->FRing->ReadRegions(p1, n1, p2, n2);
    const size_t bytes = frames * FrameBytes;
    const size_t first = std::min(bytes, n1);
    std::memcpy(self->FIn, p1, first);
    if (bytes > first)
        std::memcpy(reinterpret_cast<uint8_t*>(self->FIn) + first, p2, bytes - first);
    self->FRing->CommitRead(bytes);
    return static_cast<long>(frames);
}

// The clock trim alone (the device runs at the ring's rate, the step within 1 %): a four-point cubic
// (Catmull-Rom) between the ring's frames costs a tenth of the windowed-sinc converter, and loses
// little (at worst -0.7 dB at 10 kHz, -3.5 dB at 15 kHz, half a frame off the grid).
void CueOutput::Trim(float* out, uint32_t frames, double step)
{
    for (uint32_t i = 0; i < frames; ++i) {
        const float mu = static_cast<float>(FPhase);
        for (uint32_t c = 0; c < 2; ++c) {
            const float xm1 = FTaps[c], x0 = FTaps[2 + c], x1 = FTaps[4 + c], x2 = FTaps[6 + c];
            const float c1 = 0.5f * (x1 - xm1);
            const float c2 = xm1 - 2.5f * x0 + 2.0f * x1 - 0.5f * x2;
            const float c3 = 0.5f * (x2 - xm1) + 1.5f * (x0 - x1);
            out[2 * i + c] = ((c3 * mu + c2) * mu + c1) * mu + x0;
        }
        for (FPhase += step; FPhase >= 1.0; FPhase -= 1.0) {
            if (FInPos == FInLength) {
                float* unused;
                FInLength = static_cast<uint32_t>(ReadRing(this, &unused));
                FInPos = 0;
            }
            std::memmove(FTaps, FTaps + 2, 6 * sizeof(float));
            FTaps[6] = FIn[2 * FInPos];
            FTaps[7] = FIn[2 * FInPos + 1];
            ++FInPos;
        }
    }
}

bool CueOutput::Render(uint64_t token, void* out, uint32_t frames)
{
    // As in RenderGate::Render: a device being stopped never renders alongside its successor.
    if (FRendering.test_and_set(std::memory_order_seq_cst))
        return false;
    if (FActiveToken.load(std::memory_order_seq_cst) != token) {
        FRendering.clear(std::memory_order_release);
        return false;
    }
    RenderLocked(out, frames);
    FRendering.clear(std::memory_order_release);
    return true;
}

void CueOutput::RenderLocked(void* out, uint32_t frames)
{
    const int64_t now = NowNs();
    if (FFirstRenderNs.load(std::memory_order_relaxed) == 0)
        FFirstRenderNs.store(now, std::memory_order_release);
    FLastRenderNs.store(now, std::memory_order_release);
    const uint32_t ringRate = FRingRate.load(std::memory_order_relaxed);
    const double fill = double(FRing->Available() / FrameBytes);
    double ratio = double(FDeviceFormat.Rate) / ringRate;
    if (!FPrimed && now - FFirstRenderNs.load(std::memory_order_relaxed) >= timescale::Real(RunningMs).count()) {
        // Start in time once the server has settled the stream's start (it may fill the stream's
        // buffer at once, then hold it back): keep only the target's worth of what piled up.
        if (fill > FTarget)
            FRing->CommitRead(size_t(fill - FTarget) * FrameBytes);
        FSmoothedFill.store(std::min<double>(fill, FTarget), std::memory_order_relaxed);
        FPrimed = true;
    } else if (!FPrimed) {
        // Silent until then: what it played would be cut short by that drop, a jump in the cue.
        std::memset(out, FDeviceFormat.Bits == 8 ? 0x80 : 0, size_t(frames) * FDeviceFormat.BlockAlign());
        return;
    } else {
        // Follow the ring: above the target the main clock runs faster than ours, so consume faster.
        const double dt = double(frames) / FDeviceFormat.Rate;
        double smoothed = FSmoothedFill.load(std::memory_order_relaxed);
        smoothed += (fill - smoothed) * std::min(1.0, dt / FillSeconds);
        FSmoothedFill.store(smoothed, std::memory_order_relaxed);
        const double error = (smoothed - FTarget) / std::max<uint32_t>(FTarget, 1);
        FIntegral = std::clamp(FIntegral + IntegralGain * error * dt, -MaxCorrection, MaxCorrection);
        const double correction = 1.0 + std::clamp(ProportionalGain * error + FIntegral, -MaxCorrection, MaxCorrection);
        FCorrection.store(correction, std::memory_order_relaxed);
        ratio /= correction;
    }

    const uint16_t channels = FDeviceFormat.Channels;
    auto* dst = static_cast<uint8_t*>(out);
    const size_t align = FDeviceFormat.BlockAlign();
    while (frames > 0) {
        const uint32_t want = std::min(frames, ChunkFrames);
        long got = want;
        if (FDeviceFormat.Rate == ringRate)
            Trim(FOut, want, 1.0 / ratio);
        else
            got = src_callback_read(FSrc, ratio, want, FOut);
        if (got <= 0) {
            std::fill(FOut, FOut + 2 * want, 0.0f);
            got = want;
        }
        if (FDeviceFormat.Bits == 16)
            ToDevice(FOut, reinterpret_cast<int16_t*>(dst), uint32_t(got), channels);
        else
            ToDevice(FOut, dst, uint32_t(got), channels);
        dst += size_t(got) * align;
        frames -= uint32_t(got);
    }
}

} // namespace output
