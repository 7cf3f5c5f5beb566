#include "engine/Equalizer.h"

#include <cmath>
#include <initializer_list>
#include <numbers>
#include <utility>

namespace engine {

namespace {

// The layout of the sections: [0, 4) low-pass at the low crossover, [4, 6) all-pass there,
// [6, 10) low-pass at the high crossover, [10, 12) all-pass there.
constexpr int LowLp = 0, LowAp = 4, HighLp = 6, HighAp = 10;

// The two sections of a fourth-order Butterworth filter: their quality factors.
constexpr double ButterworthQ[2] = {0.54119610014619698, 1.3065629648763766};

} // namespace

void Equalizer::Restart()
{
    FStarted = false;
    FRunning = false;
}

// Bilinear transforms, prewarped at the crossover (the usual audio-filter forms).
void Equalizer::Design(uint32_t rate)
{
    FRate = rate;
    const auto lowPass = [&](double hz, double q) {
        const double w = 2 * std::numbers::pi * hz / rate, c = std::cos(w), alpha = std::sin(w) / (2 * q);
        const double a0 = 1 + alpha;
        return Biquad{(1 - c) / 2 / a0, (1 - c) / a0, (1 - c) / 2 / a0, -2 * c / a0, (1 - alpha) / a0};
    };
    const auto allPass = [&](double hz, double q) {
        const double w = 2 * std::numbers::pi * hz / rate, c = std::cos(w), alpha = std::sin(w) / (2 * q);
        const double a0 = 1 + alpha;
        return Biquad{(1 - alpha) / a0, -2 * c / a0, 1, -2 * c / a0, (1 - alpha) / a0};
    };
    for (const auto& [first, hz] : {std::pair(LowLp, LowCrossoverHz), std::pair(HighLp, HighCrossoverHz)})
        for (int i = 0; i < 4; ++i)
            FSection[first + i] = lowPass(hz, ButterworthQ[i % 2]);
    for (const auto& [first, hz] : {std::pair(LowAp, LowCrossoverHz), std::pair(HighAp, HighCrossoverHz)})
        for (int i = 0; i < 2; ++i)
            FSection[first + i] = allPass(hz, ButterworthQ[i]);
}

// Transposed direct form II: the steadiest for low crossovers at high rates.
double Equalizer::Run(int first, int count, double x, State& s) const
{
    for (int i = first; i < first + count; ++i) {
        const Biquad& b = FSection[i];
        const double y = b.B0 * x + s.Z1[i];
        s.Z1[i] = b.B1 * x - b.A1 * y + s.Z2[i];
        s.Z2[i] = b.B2 * x - b.A2 * y;
        x = y;
    }
    return x;
}

// Low = LP(x) at the low crossover; the rest = AP(x) - Low (the matching high-pass); Mid = LP(rest)
// at the high crossover, High = AP(rest) - Mid. Since the all-pass is linear, the low and high
// bands share one all-pass at the high crossover, which also keeps the low band in phase with the
// others: out = AP(low * Low + high * rest) + (mid - high) * Mid.
double Equalizer::Wet(double x, float low, float mid, float high, State& s) const
{
    const double lowBand = Run(LowLp, 4, x, s);
    const double rest = Run(LowAp, 2, x, s) - lowBand;
    const double midBand = Run(HighLp, 4, rest, s);
    return Run(HighAp, 2, low * lowBand + high * rest, s) + (double(mid) - high) * midBand;
}

void Equalizer::Process(float* voice, uint32_t frames, uint32_t channels, uint32_t rate, const Gains& gains)
{
    const Gains from = FStarted ? FLast : gains;
    FLast = gains;
    FStarted = true;
    const float n = static_cast<float>(frames);
    if (from.Flat() && gains.Flat()) {
        // The bands at unity: the trim alone, and nothing at all at unity.
        FRunning = false;
        if (from.Trim == 1 && gains.Trim == 1)
            return;
        for (uint32_t i = 0; i < frames; ++i) {
            const float trim = from.Trim + (gains.Trim - from.Trim) * ((i + 1) / n);
            for (uint32_t c = 0; c < channels; ++c)
                voice[i * channels + c] *= trim;
        }
        return;
    }
    if (rate != FRate)
        Design(rate);
    if (!FRunning) {
        FState[0] = FState[1] = State{};
        FRunning = true;
    }
    // Into or out of the bypass: the filtered voice fades in or out against the trimmed one.
    const float fadeFrom = from.Flat() ? 0.0f : 1.0f, fadeTo = gains.Flat() ? 0.0f : 1.0f;
    const bool ramp = !(from == gains);
    for (uint32_t i = 0; i < frames; ++i) {
        // A raised cosine: the gains leave and reach their values with no corner, so a kill on a
        // low tone steps no more than the tone itself does.
        const float t = ramp ? 0.5f - 0.5f * std::cos(std::numbers::pi_v<float> * (i + 1) / n) : 1.0f;
        const float low = from.Low + (gains.Low - from.Low) * t;
        const float mid = from.Mid + (gains.Mid - from.Mid) * t;
        const float high = from.High + (gains.High - from.High) * t;
        const float trim = from.Trim + (gains.Trim - from.Trim) * t;
        const float wetShare = fadeFrom + (fadeTo - fadeFrom) * t;
        for (uint32_t c = 0; c < channels; ++c) {
            float& v = voice[i * channels + c];
            const double wet = Wet(v, low, mid, high, FState[c]);
            v = static_cast<float>((wet * wetShare + double(v) * (1 - wetShare)) * trim);
        }
    }
    if (gains.Flat())
        FRunning = false;
}

} // namespace engine
