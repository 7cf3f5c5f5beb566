// The master limiter, on the render thread: a look-ahead brick wall that holds every output sample,
// and the peaks between samples as a 4x oversampling finds them, at or below the ceiling. A signal
// that never reaches the ceiling passes bit-exact, delayed by Delay() frames (under 1.5 ms).
// The gain falls over the look-ahead before a peak (the minimum of the needed gain over the window,
// averaged over the same window, is never above what any sample in it needs) and recovers with a
// release of 80 ms.
#pragma once

#include <atomic>
#include <cstdint>

namespace engine {

class Limiter {
public:
    static constexpr double CeilingDb = -0.3;

    // `mix`: `frames` interleaved frames of `channels` (1 or 2) at `rate`, changed in place.
    void Process(float* mix, uint32_t frames, uint32_t channels, uint32_t rate);
    // Forgets the delayed frames: the next block starts afresh. Render thread.
    void Restart()
    {
        FRate = 0;
        FLastGain.store(1, std::memory_order_relaxed);
    }
    uint32_t Delay() const { return FDetect + FWindow - 1; }
    // The lowest gain of the last block (1: not limiting). Any thread.
    float LastGain() const { return FLastGain.load(std::memory_order_relaxed); }

private:
    static constexpr uint32_t MaxWindow = 160; // frames: 1.5 ms at 100 kHz
    static constexpr uint32_t Taps = 16;       // of the oversampling interpolator, per phase
    static constexpr uint32_t Ring = 256;      // a power of two above MaxWindow + Taps

    void Start(uint32_t rate, uint32_t channels);
    float NeededGain(uint32_t channels) const;

    uint32_t FRate = 0, FChannels = 0;
    uint32_t FDetect = Taps / 2; // frames between a sample's arrival and its peak being known
    uint32_t FWindow = 0;        // the look-ahead, frames
    double FRelease = 0;         // per frame, toward unity
    float FCeiling = 1;
    float FPhase[3][Taps] = {}; // the interpolator's coefficients at 1/4, 2/4, 3/4
    // Below this on every channel, a frame cannot bring a sample or a point between samples within
    // Taps frames of it to the ceiling, whatever its neighbours, so the interpolator is not run.
    float FQuiet = 0;
    uint32_t FQuietFrames = 0; // the newest frames taken in that are all below FQuiet

    uint64_t FCount = 0;           // frames taken in since Start
    float FInput[Ring * 2] = {};   // the frames taken in, by frame number modulo Ring
    double FEnvelope = 1;          // the needed gain with its release
    float FHeld[Ring] = {};        // the envelope, by frame number modulo Ring
    uint32_t FMinQueue[Ring] = {}; // frame numbers (mod Ring) of the window's ascending minima
    uint32_t FQueueHead = 0, FQueueTail = 0;
    float FMin[Ring] = {}; // the window's minimum, by frame number modulo Ring
    double FSum = 0;       // of FMin over the window
    uint32_t FBelow = 0;   // values below unity among them
    std::atomic<float> FLastGain{1};
};

} // namespace engine
