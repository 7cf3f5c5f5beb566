// A song's waveform summary as the waveform window draws it: for every column (kColumnsPerSecond of
// song time) the peak level of three bands, low (kicks, bass), mid (voices, most instruments) and
// high (hats, cymbals). Made in the analysis pass from the same decoded blocks as the tempo and the
// loudness; kept beside the tempo cache. Plain data: any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct TWaveSummary {
    static constexpr double kColumnsPerSecond = 150;
    enum Band { Low, Mid, High, Bands };
    // The crossovers, Hz.
    static constexpr double kLowHz = 250, kHighHz = 2500;

    uint32_t SongRate = 0; // the file's own rate
    uint32_t Stride = 0;   // frames of the file per column
    // Bands bytes per column: the band's peak, 255 = full scale.
    std::vector<uint8_t> Peaks;

    size_t Columns() const { return Stride == 0 ? 0 : Peaks.size() / Bands; }
    uint8_t Peak(size_t column, Band band) const { return Peaks[column * Bands + band]; }
    double ColumnSeconds() const { return double(Stride) / SongRate; }

    // The bytes of a summary file, and back; nullopt for bytes that are not one.
    std::string Serialise() const;
    static std::optional<TWaveSummary> Parse(const std::string& bytes);
};

// Builds a summary from mono samples fed in any block sizes: each band filtered out by fourth-order
// Butterworth filters (the mid between the two crossovers), its absolute peak kept per column.
class TWaveBuilder {
public:
    explicit TWaveBuilder(uint32_t sampleRate);
    void Feed(const float* mono, size_t frames);
    // The summary, the last partial column included.
    std::shared_ptr<const TWaveSummary> Finish();

private:
    struct Biquad {
        double B0 = 0, B1 = 0, B2 = 0, A1 = 0, A2 = 0;
        double Z1 = 0, Z2 = 0;
        double Run(double x)
        {
            const double y = B0 * x + Z1;
            Z1 = B1 * x - A1 * y + Z2;
            Z2 = B2 * x - A2 * y;
            return y;
        }
    };
    TWaveSummary FSummary;
    // Two sections in a row make each fourth-order filter; the mid runs a high-pass and a low-pass.
    Biquad FLow[2], FHigh[2], FMidHigh[2], FMidLow[2];
    float FPeak[TWaveSummary::Bands] = {};
    uint32_t FInColumn = 0;
};
