#include "decks/Waveform.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace {

constexpr char kMagic[8] = {'D', 'D', 'w', 'a', 'v', 'e', '1', '\n'};

// Robert Bristow-Johnson's cookbook low- and high-pass at quality q.
void Design(double rate, double hz, double q, bool high, double& b0, double& b1, double& b2, double& a1, double& a2)
{
    const double w = 2 * std::numbers::pi * hz / rate;
    const double alpha = std::sin(w) / (2 * q);
    const double c = std::cos(w);
    const double a0 = 1 + alpha;
    b1 = (high ? -(1 + c) : 1 - c) / a0;
    b0 = b2 = (high ? (1 + c) / 2 : (1 - c) / 2) / a0;
    a1 = -2 * c / a0;
    a2 = (1 - alpha) / a0;
}

void PutU32(std::string& s, uint32_t v)
{
    char b[4];
    std::memcpy(b, &v, 4);
    s.append(b, 4);
}

uint32_t GetU32(const std::string& s, size_t at)
{
    uint32_t v;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}

} // namespace

std::string TWaveSummary::Serialise() const
{
    std::string s(kMagic, sizeof kMagic);
    PutU32(s, SongRate);
    PutU32(s, Stride);
    PutU32(s, static_cast<uint32_t>(Columns()));
    s.append(reinterpret_cast<const char*>(Peaks.data()), Peaks.size());
    return s;
}

std::optional<TWaveSummary> TWaveSummary::Parse(const std::string& bytes)
{
    constexpr size_t head = sizeof kMagic + 12;
    if (bytes.size() < head || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
        return std::nullopt;
    TWaveSummary w;
    w.SongRate = GetU32(bytes, sizeof kMagic);
    w.Stride = GetU32(bytes, sizeof kMagic + 4);
    const uint64_t columns = GetU32(bytes, sizeof kMagic + 8);
    if (w.SongRate == 0 || w.Stride == 0 || bytes.size() != head + columns * Bands)
        return std::nullopt;
    w.Peaks.assign(bytes.begin() + head, bytes.end());
    return w;
}

TWaveBuilder::TWaveBuilder(uint32_t sampleRate)
{
    FSummary.SongRate = sampleRate;
    FSummary.Stride =
        std::max<uint32_t>(1, static_cast<uint32_t>(std::lround(sampleRate / TWaveSummary::kColumnsPerSecond)));
    // Butterworth of the fourth order: two sections of quality 0.541 and 1.307.
    const double q[2] = {0.5411961, 1.3065630};
    for (int i = 0; i < 2; ++i) {
        const double high = std::min(TWaveSummary::kHighHz, sampleRate * 0.45);
        const auto design = [&](Biquad& f, double hz, bool isHigh) {
            Design(sampleRate, hz, q[i], isHigh, f.B0, f.B1, f.B2, f.A1, f.A2);
        };
        design(FLow[i], TWaveSummary::kLowHz, false);
        design(FHigh[i], high, true);
        design(FMidHigh[i], TWaveSummary::kLowHz, true);
        design(FMidLow[i], high, false);
    }
}

void TWaveBuilder::Feed(const float* mono, size_t frames)
{
    auto peak = [](float& p, double v) { p = std::max(p, static_cast<float>(std::abs(v))); };
    for (size_t i = 0; i < frames; ++i) {
        const double x = mono[i];
        const double low = FLow[1].Run(FLow[0].Run(x));
        const double high = FHigh[1].Run(FHigh[0].Run(x));
        peak(FPeak[TWaveSummary::Low], low);
        peak(FPeak[TWaveSummary::Mid], FMidLow[1].Run(FMidLow[0].Run(FMidHigh[1].Run(FMidHigh[0].Run(x)))));
        peak(FPeak[TWaveSummary::High], high);
        if (++FInColumn == FSummary.Stride) {
            for (float& p : FPeak) {
                FSummary.Peaks.push_back(static_cast<uint8_t>(std::lround(std::min(p, 1.0f) * 255)));
                p = 0;
            }
            FInColumn = 0;
        }
    }
}

std::shared_ptr<const TWaveSummary> TWaveBuilder::Finish()
{
    if (FInColumn > 0) {
        for (float& p : FPeak)
            FSummary.Peaks.push_back(static_cast<uint8_t>(std::lround(std::min(p, 1.0f) * 255)));
        FInColumn = 0;
    }
    return std::make_shared<const TWaveSummary>(std::move(FSummary));
}
