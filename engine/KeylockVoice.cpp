#include "engine/KeylockVoice.h"

#include <rubberband/RubberBandStretcher.h>

#include <algorithm>

namespace engine {

namespace {

using RubberBand::RubberBandStretcher;

// R3 for its sound; its short window halves the delay and the cost of the standard one (about 29 ms
// at 44.1 kHz). Pitch "high consistency" lets the pitch scale change while running, which a new
// output rate asks for.
constexpr RubberBandStretcher::Options StretchOptions =
    RubberBandStretcher::OptionProcessRealTime | RubberBandStretcher::OptionEngineFiner |
    RubberBandStretcher::OptionWindowShort | RubberBandStretcher::OptionPitchHighConsistency;

} // namespace

KeylockVoice::KeylockVoice(uint32_t songRate, uint32_t channels)
    : FSongRate(songRate), FChannels(channels),
      FStretcher(std::make_unique<RubberBandStretcher>(songRate, channels, StretchOptions)),
      FInterleaved(size_t(MaxInFrames) * channels), FPlanes(size_t(MaxInFrames) * channels)
{
    FStretcher->setMaxProcessSize(MaxInFrames);
}

KeylockVoice::~KeylockVoice() = default;

// Output frames per input frame: the song's frames stretched by 1/speed, then played at outRate
// instead of the song's rate; the pitch scale undoes the rate change, so the key stays.
void KeylockVoice::SetRatios(double speed, uint32_t outRate)
{
    if (speed == FSpeed && outRate == FOutRate)
        return;
    FSpeed = speed;
    FOutRate = outRate;
    FStretcher->setTimeRatio(double(outRate) / (double(FSongRate) * speed));
    FStretcher->setPitchScale(double(FSongRate) / outRate);
}

void KeylockVoice::Restart(double speed, uint32_t outRate)
{
    FStretcher->reset();
    FSpeed = 0;
    SetRatios(speed, outRate);
    std::fill(FInterleaved.begin(), FInterleaved.end(), 0.0f);
    for (size_t pad = FStretcher->getPreferredStartPad(); pad > 0;) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(pad, MaxInFrames));
        Feed(n);
        pad -= n;
    }
    FDrop = static_cast<uint32_t>(FStretcher->getStartDelay());
}

uint32_t KeylockVoice::InputWanted() const
{
    const size_t wanted = FStretcher->getSamplesRequired();
    return static_cast<uint32_t>(std::clamp<size_t>(wanted, 256, MaxInFrames));
}

void KeylockVoice::Feed(uint32_t frames)
{
    float* planes[2] = {FPlanes.data(), FPlanes.data() + MaxInFrames};
    for (uint32_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < FChannels; ++c)
            planes[c][i] = FInterleaved[size_t(i) * FChannels + c];
    FStretcher->process(planes, frames, false);
}

uint32_t KeylockVoice::Take(float* dst, uint32_t frames)
{
    float* planes[2] = {FPlanes.data(), FPlanes.data() + MaxInFrames};
    // The delay a restart left is dropped first, in pieces no larger than the planes.
    while (FDrop > 0) {
        const int available = FStretcher->available();
        if (available <= 0)
            return 0;
        FDrop -= static_cast<uint32_t>(
            FStretcher->retrieve(planes, std::min<size_t>({size_t(FDrop), size_t(available), MaxInFrames})));
    }
    const int available = FStretcher->available();
    if (available <= 0)
        return 0;
    const size_t got = FStretcher->retrieve(planes, std::min<size_t>(size_t(available), frames));
    for (size_t i = 0; i < got; ++i)
        for (uint32_t c = 0; c < FChannels; ++c)
            dst[i * FChannels + c] = planes[c][i];
    return static_cast<uint32_t>(got);
}

} // namespace engine
