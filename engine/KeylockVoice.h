// A buffer's voice with its key kept: time-stretching in the real-time mode of Rubber Band (its R3
// engine, short window), so that a change of speed changes the tempo only. Made on an API thread
// (it allocates); everything else runs on the render thread only, allocation- and lock-free.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace RubberBand {
class RubberBandStretcher;
}

namespace engine {

class KeylockVoice {
public:
    // `songRate` and `channels` (1 or 2) are the buffer's own. Throws std::bad_alloc.
    KeylockVoice(uint32_t songRate, uint32_t channels);
    ~KeylockVoice();

    // Starts afresh with the output aligned to the input that the next Render reads first: pads the
    // start with silence and drops the stretcher's delay from its output.
    void Restart(double speed, uint32_t outRate);

    // Renders `frames` interleaved frames at `outRate` with the song's pitch at `speed` times its
    // tempo. `read(frames, dst)` delivers the next interleaved input frames (at most MaxInFrames per
    // call). Frames it cannot make are left silent. frames <= MaxOutFrames.
    template <class Read> void Render(uint32_t frames, double speed, uint32_t outRate, float* dst, Read&& read)
    {
        SetRatios(speed, outRate);
        uint32_t produced = 0;
        for (int round = 0; produced < frames && round < 64; ++round) {
            produced += Take(dst + size_t(produced) * FChannels, frames - produced);
            if (produced < frames) {
                const uint32_t n = InputWanted();
                read(n, FInterleaved.data());
                Feed(n);
            }
        }
        std::fill(dst + size_t(produced) * FChannels, dst + size_t(frames) * FChannels, 0.0f);
    }

    static constexpr uint32_t MaxInFrames = 4096;
    static constexpr uint32_t MaxOutFrames = 1024;

private:
    void SetRatios(double speed, uint32_t outRate);
    uint32_t InputWanted() const;
    void Feed(uint32_t frames); // from FInterleaved
    uint32_t Take(float* dst, uint32_t frames);

    const uint32_t FSongRate;
    const uint32_t FChannels;
    std::unique_ptr<RubberBand::RubberBandStretcher> FStretcher;
    std::vector<float> FInterleaved;
    std::vector<float> FPlanes; // MaxInFrames per channel
    double FSpeed = 0;
    uint32_t FOutRate = 0;
    uint32_t FDrop = 0; // output frames still to drop after a restart
};

} // namespace engine
