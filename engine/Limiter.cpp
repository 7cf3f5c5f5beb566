#include "engine/Limiter.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace engine {

void Limiter::Start(uint32_t rate, uint32_t channels)
{
    FRate = rate;
    FChannels = channels;
    FWindow = std::clamp<uint32_t>(static_cast<uint32_t>(0.0014 * rate) - FDetect, 8, MaxWindow);
    FRelease = 1 - std::exp(-1.0 / (0.080 * rate));
    // A little under the ceiling: the 16-bit output rounds to the nearest step, and the estimate of
    // the peaks between samples may fall short of a meter's by a few hundredths of a dB.
    FCeiling = static_cast<float>(std::pow(10.0, (CeilingDb - 0.05) / 20));
    // Windowed sinc at the three points between two samples; tap i is the sample i - Taps / 2 + 1
    // frames from the earlier one.
    constexpr double Half = Taps / 2.0;
    for (int p = 0; p < 3; ++p) {
        const double f = (p + 1) / 4.0;
        for (uint32_t i = 0; i < Taps; ++i) {
            const double t = f - (double(i) - (Half - 1));
            const double sinc = t == 0 ? 1 : std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
            const double w = 0.5 + 0.5 * std::cos(std::numbers::pi * t / Half); // Hann, Taps wide
            FPhase[p][i] = static_cast<float>(sinc * w);
        }
    }
    // |sum h x| <= sum |h| max |x|; a hundredth of a percent under it for the float sums' rounding.
    double gain = 1;
    for (const auto& phase : FPhase) {
        double sum = 0;
        for (const float h : phase)
            sum += std::abs(h);
        gain = std::max(gain, sum);
    }
    FQuiet = static_cast<float>(FCeiling / gain * 0.9999);
    FQuietFrames = Taps;
    FCount = 0;
    std::fill(std::begin(FInput), std::end(FInput), 0.0f);
    std::fill(std::begin(FHeld), std::end(FHeld), 1.0f);
    std::fill(std::begin(FMin), std::end(FMin), 1.0f);
    FEnvelope = 1;
    FQueueHead = FQueueTail = 0;
    FSum = FWindow;
    FBelow = 0;
}

// The gain the frame FDetect frames back needs: its own samples and the three points after it.
float Limiter::NeededGain(uint32_t channels) const
{
    const uint64_t at = FCount - 1 - FDetect; // the frame judged
    float peak = 0;
    for (uint32_t c = 0; c < channels; ++c) {
        float taps[Taps];
        for (uint32_t i = 0; i < Taps; ++i)
            taps[i] = FInput[((at + i - (Taps / 2 - 1)) % Ring) * 2 + c];
        peak = std::max(peak, std::abs(taps[Taps / 2 - 1]));
        for (const auto& phase : FPhase) {
            float v = 0;
            for (uint32_t i = 0; i < Taps; ++i)
                v += phase[i] * taps[i];
            peak = std::max(peak, std::abs(v));
        }
    }
    return peak > FCeiling ? FCeiling / peak : 1.0f;
}

void Limiter::Process(float* mix, uint32_t frames, uint32_t channels, uint32_t rate)
{
    if (rate != FRate || channels != FChannels)
        Start(rate, channels);
    const uint32_t delay = Delay();
    float lowest = 1;
    for (uint32_t n = 0; n < frames; ++n) {
        const uint64_t now = FCount++;
        bool quiet = true;
        for (uint32_t c = 0; c < channels; ++c) {
            const float x = mix[n * channels + c];
            FInput[(now % Ring) * 2 + c] = x;
            quiet = quiet && std::abs(x) < FQuiet;
        }
        FQuietFrames = quiet ? std::min(FQuietFrames + 1, Taps) : 0;
        // The envelope of the frame now judged: what it needs, recovering toward unity after a peak.
        // Its interpolator's taps are the newest Taps frames.
        const uint64_t judged = now - FDetect; // wraps harmlessly while FCount <= FDetect
        const float needed = FQuietFrames >= Taps ? 1.0f : NeededGain(channels);
        FEnvelope = std::min<double>(needed, FEnvelope + (1 - FEnvelope) * FRelease);
        if (FEnvelope > 1 - 1e-9)
            FEnvelope = 1;
        const float env = static_cast<float>(FEnvelope);
        const uint32_t slot = judged % Ring;
        FHeld[slot] = env;
        // The window's minimum, through a queue of ascending minima.
        while (FQueueTail != FQueueHead && FHeld[FMinQueue[(FQueueTail - 1) % Ring]] >= env)
            --FQueueTail;
        FMinQueue[FQueueTail++ % Ring] = slot;
        if ((slot - FMinQueue[FQueueHead % Ring] + Ring) % Ring >= FWindow)
            ++FQueueHead;
        const float minimum = FHeld[FMinQueue[FQueueHead % Ring]];
        // Its average over the window: the gain of the frame one window before the judged one.
        const uint32_t leaving = (slot + Ring - FWindow) % Ring;
        FSum += double(minimum) - FMin[leaving];
        FBelow += (minimum < 1) - (FMin[leaving] < 1);
        FMin[slot] = minimum;
        float gain = 1;
        if (FBelow == 0)
            FSum = FWindow; // unity exactly again, whatever the rounding of the running sum
        else
            gain = std::min(1.0f, static_cast<float>(FSum / FWindow));
        lowest = std::min(lowest, gain);
        const uint64_t out = now - delay;
        for (uint32_t c = 0; c < channels; ++c)
            mix[n * channels + c] = FCount > delay ? FInput[(out % Ring) * 2 + c] * gain : 0.0f;
    }
    FLastGain.store(lowest, std::memory_order_relaxed);
}

} // namespace engine
