// The null and manual backends.
#include "platform/dsound/DSoundBackend.h"
#include "platform/dsound/DSoundEngine.h"
#include "platform/kernel/TimeScale.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace dsound {

namespace {

// Renders one period at a time on its own thread, paced by the steady clock and the time scale.
class NullBackend final : public Backend {
public:
    ~NullBackend() override { Stop(); }
    std::string Name() const override { return "no sound device"; }
    bool Watched() const override { return false; }

    bool Open(OutputFormat& format, std::string&) override
    {
        FFormat = format;
        return true;
    }

    void Start(Engine& engine, uint64_t token) override
    {
        FStop = false;
        FThread = std::thread([this, &engine, token] { Run(engine, token); });
    }

    void Stop() override
    {
        if (!FThread.joinable())
            return;
        {
            std::lock_guard lock(FLock);
            FStop = true;
        }
        FWake.notify_all();
        FThread.join();
    }

private:
    void Run(Engine& engine, uint64_t token)
    {
        const uint32_t period = FFormat.PeriodFrames();
        const double periodMs = 1000.0 * period / FFormat.Rate;
        std::vector<uint8_t> block(size_t(period) * FFormat.BlockAlign());
        auto deadline = std::chrono::steady_clock::now();
        std::unique_lock lock(FLock);
        while (!FStop) {
            lock.unlock();
            if (!engine.Render(token, block.data(), period))
                std::memset(block.data(), FFormat.Bits == 8 ? 0x80 : 0, block.size());
            lock.lock();
            deadline += timescale::Real(periodMs);
            const auto now = std::chrono::steady_clock::now();
            // After a long stall (a suspended process, a debugger) resume the pace instead of
            // rendering the missed time in a burst.
            if (now - deadline > timescale::Real(100))
                deadline = now;
            FWake.wait_until(lock, deadline, [this] { return FStop; });
        }
    }

    OutputFormat FFormat;
    std::thread FThread;
    std::mutex FLock; // guards FStop
    std::condition_variable FWake;
    bool FStop = false;
};

// Renders only inside Engine::Pull, on the test's thread.
class ManualBackend final : public Backend {
public:
    std::string Name() const override { return "manual"; }
    bool Watched() const override { return false; }
    bool Open(OutputFormat&, std::string&) override { return true; }
    void Start(Engine&, uint64_t) override {}
    void Stop() override {}
};

} // namespace

std::unique_ptr<Backend> MakeNullBackend()
{
    return std::make_unique<NullBackend>();
}

std::unique_ptr<Backend> MakeManualBackend()
{
    return std::make_unique<ManualBackend>();
}

} // namespace dsound
