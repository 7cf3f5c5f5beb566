// A deck's three-band isolator and its trim, on the render thread. The bands part at 250 Hz and
// 2.5 kHz with eighth-order Linkwitz-Riley crossovers (48 dB per octave: a killed band is more than
// 60 dB down in the middle of its span), and sum to an all-pass, so at unity the bands add up flat.
// With every band at unity the filters are left out (the trim alone applies; at unity as well the
// voice passes bit-exact); leaving or entering that state crossfades over one block. Gains move
// linearly across the block after a change.
#pragma once

#include <cstdint>

namespace engine {

class Equalizer {
public:
    // Linear gains: a band from 0 (killed) to 2 (+6 dB); the trim (with the loudness match) any
    // positive factor.
    struct Gains {
        float Low = 1, Mid = 1, High = 1, Trim = 1;
        bool Flat() const { return Low == 1 && Mid == 1 && High == 1; }
        bool operator==(const Gains&) const = default;
    };

    // `voice`: `frames` interleaved frames of `channels` (1 or 2) at `rate`, changed in place.
    void Process(float* voice, uint32_t frames, uint32_t channels, uint32_t rate, const Gains& gains);
    // The next block starts from its own gains, with fresh filters (a new start or a jump).
    void Restart();

    static constexpr double LowCrossoverHz = 250;
    static constexpr double HighCrossoverHz = 2500;

private:
    struct Biquad {
        double B0 = 1, B1 = 0, B2 = 0, A1 = 0, A2 = 0;
    };
    // One channel's filters: a low-pass at each crossover (two fourth-order Butterworth stages of
    // two sections each), and an all-pass at each (the Linkwitz-Riley pair's sum, two sections).
    static constexpr int Sections = 12;
    struct State {
        double Z1[Sections] = {}, Z2[Sections] = {};
    };

    void Design(uint32_t rate);
    double Run(int first, int count, double x, State& s) const;
    double Wet(double x, float low, float mid, float high, State& s) const;

    Biquad FSection[Sections];
    uint32_t FRate = 0;
    State FState[2];
    Gains FLast;
    bool FStarted = false; // FLast holds the last block's gains
    bool FRunning = false; // the filters ran in the last block (not bypassed)
};

} // namespace engine
