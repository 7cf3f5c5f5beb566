// The time scale: tests speed up every platform timing (tick count, timed waits, Sleep, the null
// sound backend's pace, platform timers) by one factor, keeping relative timings. The program runs
// at scale 1. Any thread may read it; tests set it before starting the threads that use it.
#pragma once

#include <chrono>
#include <cstdint>

namespace timescale {

// Scale 10 makes 10 ms of program time pass in 1 ms of real time. Must be > 0.
void Set(double scale);
double Get();

// Real duration that `ms` of program time takes at the current scale.
std::chrono::nanoseconds Real(double ms);
// Program milliseconds elapsed in `real` time at the current scale.
double ProgramMs(std::chrono::nanoseconds real);

// A Qt timer interval (ms, at least 1) for `ms` of program time.
int TimerInterval(int ms);

// RAII for tests: sets a scale and restores the previous one.
class Scope {
public:
    explicit Scope(double scale) : FOld(Get()) { Set(scale); }
    ~Scope() { Set(FOld); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    double FOld;
};

} // namespace timescale
