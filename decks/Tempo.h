// A song's tempo: its beat grid, section by section. aubio's phase vocoder and spectral-flux
// descriptor give the onset strength hop by hop; the grid is the period and phase that the onsets
// keep best, window by window and then refined over each steady section.
// Plain data and pure functions: any thread may call them; TTempoAnalyser runs them off the UI and
// render threads. Times are seconds of song time, tempos beats per minute.
#pragma once

#include "decks/Waveform.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <optional>
#include <vector>

// A stretch of steady tempo: beats fall on FirstBeat + k * 60 / Bpm.
struct TTempoSection {
    double Start = 0;
    double Bpm = 0;
    double FirstBeat = 0;

    double Period() const { return 60.0 / Bpm; }
};

// A song's loudness, EBU R128: integrated loudness (LUFS) and true peak (dBTP).
struct TLoudness {
    double Lufs = 0;
    double PeakDb = 0;
};

// What the analysis knows of a song: its beat grid, its loudness and its waveform summary.
struct TTempo {
    // Empty: the song has no steady beat.
    std::vector<TTempoSection> Sections;
    // None: not measured (silence, or a file read before loudness was measured).
    std::optional<TLoudness> Loudness;
    // None: not made (a song that could not be read). Shared: a lookup does not copy it.
    std::shared_ptr<const TWaveSummary> Wave;

    bool Steady() const { return !Sections.empty(); }
    // The section playing at song time t: the last one starting at or before t, else the first.
    // Only for a steady song.
    const TTempoSection& At(double t) const;
};

// The DJ's range that tempos are folded into: the grid a listener would tap.
inline constexpr double kMinBpm = 70.0;
inline constexpr double kMaxBpm = 180.0;

// Onset strength (aubio's spectral flux) of mono samples fed in any block sizes, one value per hop.
class TOnsetStrength {
public:
    static constexpr uint32_t kWindow = 1024;
    static constexpr uint32_t kHop = 512;

    explicit TOnsetStrength(uint32_t sampleRate);
    ~TOnsetStrength();
    TOnsetStrength(const TOnsetStrength&) = delete;
    TOnsetStrength& operator=(const TOnsetStrength&) = delete;

    void Feed(const float* mono, size_t frames);
    const std::vector<float>& Values() const { return FValues; }
    // Song time of value n: the centre of the window it describes.
    double HopSeconds() const { return double(kHop) / FRate; }
    double Offset() const { return (double(kHop) - kWindow / 2.0) / FRate; }

private:
    struct TState;
    std::unique_ptr<TState> FState;
    uint32_t FRate;
    std::vector<float> FValues;
};

// The steady sections of an onset-strength curve whose value n stands for time offset + n * hop;
// none when no stretch of it keeps one beat.
TTempo TempoFromOnsets(const std::vector<float>& strength, double hop, double offset);

// Decodes the whole file and finds its beat grid, its loudness and its waveform summary. Raises the
// reader's errors. Gives up (an empty result) as soon as `cancel` becomes true. With `duty` below 1
// it sleeps between blocks so that its thread uses at most that share of one core.
TTempo AnalyseTempoFile(const std::string& path, const std::atomic<bool>* cancel = nullptr, double duty = 1.0);
