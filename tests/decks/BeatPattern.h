// Generated songs of known tempo for the tempo tests and benchmarks: a kick on every beat and a hat
// on every off-beat, a broken beat, or a beatless pad of three slowly swelling tones. Mono 16-bit
// samples.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace beatpattern {

// Kicks from `first` seconds on at `bpm`, changing to `bpm2` at `change` seconds.
inline std::vector<int16_t> KickHat(int rate, double seconds, double bpm, double first = 0.3, double bpm2 = 0,
                                    double change = 1e9)
{
    std::vector<double> out(static_cast<size_t>(seconds * rate));
    std::mt19937 random(1);
    std::uniform_real_distribution<double> noise(-1, 1);
    const auto add = [&](double at, double length, auto sample) {
        const size_t s0 = static_cast<size_t>(at * rate);
        for (size_t i = 0; i < static_cast<size_t>(length * rate) && s0 + i < out.size(); ++i)
            out[s0 + i] += sample(double(i) / rate);
    };
    for (double t = first; t < seconds;) {
        const double period = 60.0 / (t < change ? bpm : bpm2);
        // A kick: a sine falling from 150 to 50 Hz, fading in about 40 ms.
        add(t, 0.25, [](double x) {
            return 0.8 * std::exp(-x * 25) * std::sin(2 * std::numbers::pi * (50 + 100 * std::exp(-x * 40)) * x);
        });
        add(t + period / 2, 0.05, [&](double x) { return 0.25 * std::exp(-x * 90) * noise(random); });
        t += period;
    }
    std::vector<int16_t> samples(out.size());
    for (size_t i = 0; i < out.size(); ++i)
        samples[i] = static_cast<int16_t>(std::lround(std::clamp(out[i], -1.0, 1.0) * 32000));
    return samples;
}

// A broken beat: kicks on beats 1, 2 3/4 and 3 1/2 of each bar, snares on 2 and 4, a hat on every
// sixteenth, each hit up to a few ms early or late.
inline std::vector<int16_t> Break(int rate, double seconds, double bpm)
{
    std::vector<double> out(static_cast<size_t>(seconds * rate));
    std::mt19937 random(2);
    std::uniform_real_distribution<double> noise(-1, 1);
    std::normal_distribution<double> late(0, 0.004);
    const auto add = [&](double at, double length, auto sample) {
        const auto s0 = static_cast<long>((at + late(random)) * rate);
        for (long i = 0; i < static_cast<long>(length * rate); ++i)
            if (s0 + i >= 0 && static_cast<size_t>(s0 + i) < out.size())
                out[s0 + i] += sample(double(i) / rate);
    };
    const double beat = 60.0 / bpm;
    for (double bar = 0; bar < seconds; bar += 4 * beat) {
        for (double k : {0.0, 1.75, 2.5})
            add(bar + k * beat, 0.25, [](double x) {
                return 0.8 * std::exp(-x * 25) * std::sin(2 * std::numbers::pi * (50 + 100 * std::exp(-x * 40)) * x);
            });
        for (double s : {1.0, 3.0})
            add(bar + s * beat, 0.2, [&](double x) { return 0.45 * std::exp(-x * 30) * noise(random); });
        for (int h = 0; h < 16; ++h)
            add(bar + h * beat / 4, 0.04,
                [&](double x) { return (h % 4 ? 0.06 : 0.12) * std::exp(-x * 120) * noise(random); });
    }
    std::vector<int16_t> samples(out.size());
    for (size_t i = 0; i < out.size(); ++i)
        samples[i] = static_cast<int16_t>(std::lround(std::clamp(out[i], -1.0, 1.0) * 32000));
    return samples;
}

inline std::vector<int16_t> Pad(int rate, double seconds)
{
    std::vector<int16_t> samples(static_cast<size_t>(seconds * rate));
    for (size_t i = 0; i < samples.size(); ++i) {
        const double x = double(i) / rate;
        const double swell = 0.5 + 0.5 * std::sin(2 * std::numbers::pi * 0.07 * x);
        double v = 0;
        for (double hz : {220.0, 277.2, 329.6})
            v += std::sin(2 * std::numbers::pi * hz * x);
        samples[i] = static_cast<int16_t>(std::lround(0.2 * swell * v * 32000));
    }
    return samples;
}

} // namespace beatpattern
