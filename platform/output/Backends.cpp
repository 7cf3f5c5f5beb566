// The null and manual backends, and device GUIDs.
#include "platform/output/Backend.h"
#include "platform/kernel/Realtime.h"
#include "platform/kernel/TimeScale.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

namespace output {

namespace {

uint64_t Fnv1a(const std::string& text, uint64_t seed)
{
    uint64_t h = seed;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

// Renders on its own thread, paced by the steady clock and the time scale. Nobody hears it, so it
// wakes for five periods at a time (50 ms, the level displays' refresh): a wake-up finds the caches
// cold, and a converter's block costs about twice as much after a sleep as in a loop.
class NullBackend final : public Backend {
public:
    static constexpr uint32_t PeriodsPerWake = 5;

    ~NullBackend() override { Stop(); }
    std::string Name() const override { return "no sound device"; }
    bool Watched() const override { return false; }
    uint32_t FramesPerRender(const OutputFormat& format) const override
    {
        return PeriodsPerWake * format.PeriodFrames();
    }

    bool Open(OutputFormat& format, std::string&) override
    {
        FFormat = format;
        return true;
    }

    bool Start(MixSource& source, uint64_t token, std::string&) override
    {
        realtime::Prepare();
        FStop.store(false, std::memory_order_relaxed);
        FThread = std::thread([this, &source, token] {
            realtime::NameThisThread("duodeck-null");
            Run(source, token);
        });
        return true;
    }

    // Returns within one wake-up: the thread sees the flag when its sleep ends.
    void Stop() override
    {
        if (!FThread.joinable())
            return;
        FStop.store(true, std::memory_order_relaxed);
        FThread.join();
    }

private:
    void Run(MixSource& source, uint64_t token)
    {
        realtime::RequestForThisThread();
        const uint32_t frames = FramesPerRender(FFormat);
        const double wakeMs = 1000.0 * frames / FFormat.Rate;
        std::vector<uint8_t> block(size_t(frames) * FFormat.BlockAlign());
        // An absolute sleep on the monotonic clock (steady_clock's): no lock and no drift, and a
        // wake-up costs one system call.
        auto deadline = std::chrono::steady_clock::now();
        while (!FStop.load(std::memory_order_relaxed)) {
            if (!source.Render(token, block.data(), frames))
                std::memset(block.data(), FFormat.Bits == 8 ? 0x80 : 0, block.size());
            deadline += std::chrono::duration_cast<std::chrono::steady_clock::duration>(timescale::Real(wakeMs));
            const auto now = std::chrono::steady_clock::now();
            // After a long stall (a suspended process, a debugger) resume the pace instead of
            // rendering the missed time in a burst.
            if (now - deadline > timescale::Real(100))
                deadline = now;
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
            const timespec until{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
            }
        }
    }

    OutputFormat FFormat;
    std::thread FThread;
    std::atomic<bool> FStop{false};
};

// Renders only when pulled, on the test's thread.
class ManualBackend final : public Backend {
public:
    std::string Name() const override { return "manual"; }
    bool Watched() const override { return false; }
    bool Open(OutputFormat&, std::string&) override { return true; }
    bool Start(MixSource& source, uint64_t token, std::string&) override
    {
        FSource = &source;
        FToken = token;
        return true;
    }
    void Stop() override { FSource = nullptr; }
    bool Pull(void* out, uint32_t frames) override { return FSource && FSource->Render(FToken, out, frames); }

private:
    MixSource* FSource = nullptr;
    uint64_t FToken = 0;
};

template <class B> class PlainDriver final : public Driver {
public:
    explicit PlainDriver(const char* kind) : FKind(kind) {}
    const char* Kind() const override { return FKind; }
    std::optional<std::vector<DeviceInfo>> Devices() override { return std::vector<DeviceInfo>{}; }
    std::unique_ptr<Backend> Make(const std::string&) override { return std::make_unique<B>(); }

private:
    const char* FKind;
};

} // namespace

GUID NameGuid(const std::string& name, int occurrence)
{
    const std::string key = occurrence ? name + "#" + std::to_string(occurrence) : name;
    const uint64_t a = Fnv1a(key, 0xcbf29ce484222325ull);
    const uint64_t b = Fnv1a(key, a ^ 0x9e3779b97f4a7c15ull);
    GUID g{};
    g.Data1 = static_cast<uint32_t>(a >> 32);
    g.Data2 = static_cast<uint16_t>(a >> 16);
    g.Data3 = static_cast<uint16_t>((a & 0x0FFF) | 0x5000); // name-based version
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = static_cast<uint8_t>(b >> (8 * i));
    g.Data4[0] = static_cast<uint8_t>((g.Data4[0] & 0x3F) | 0x80); // standard variant
    return g;
}

std::unique_ptr<Driver> MakeNullDriver()
{
    return std::make_unique<PlainDriver<NullBackend>>("null");
}

std::unique_ptr<Driver> MakeManualDriver()
{
    return std::make_unique<PlainDriver<ManualBackend>>("manual");
}

} // namespace output
