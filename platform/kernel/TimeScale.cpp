#include "platform/kernel/TimeScale.h"

#include <atomic>
#include <cmath>

namespace timescale {

namespace {
std::atomic<double> gScale{1.0};
}

void Set(double scale)
{
    gScale.store(scale > 0 ? scale : 1.0, std::memory_order_release);
}

double Get()
{
    return gScale.load(std::memory_order_acquire);
}

std::chrono::nanoseconds Real(double ms)
{
    return std::chrono::nanoseconds(static_cast<int64_t>(std::llround(ms * 1e6 / Get())));
}

double ProgramMs(std::chrono::nanoseconds real)
{
    return static_cast<double>(real.count()) / 1e6 * Get();
}

int TimerInterval(int ms)
{
    const double real = ms / Get();
    return real < 1 ? 1 : static_cast<int>(std::lround(real));
}

} // namespace timescale
