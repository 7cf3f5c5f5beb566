#include "decks/Analysis.h"

#include "mixer/MxDSMixer.h"

#include <algorithm>

TAnalysis::TAnalysis(TMxDSMixerChannel* channel, uint32_t columns, uint32_t framesPerTick)
    : FChannel(channel), FChannels(channel->Channels() > 1 ? 2 : 1), FColumns(columns), FFramesPerTick(framesPerTick),
      FFramesPerColumn(std::max<uint32_t>(framesPerTick / 110, 1)), FBlockAlign(channel->BlockAlign()),
      FBytesPerSample(channel->BitsPerSample() / 8), FSampleOffset(channel->BitsPerSample() == 8 ? 0 : 128),
      FMaxValues(static_cast<size_t>(columns) * FChannels, 0), FMinValues(static_cast<size_t>(columns) * FChannels, 0)
{
}

void TAnalysis::Reset()
{
    std::fill(FMaxValues.begin(), FMaxValues.end(), 128);
    std::fill(FMinValues.begin(), FMinValues.end(), 128);
}

void TAnalysis::Update()
{
    void *p1 = nullptr, *p2 = nullptr;
    uint32_t n1 = 0, n2 = 0;
    FChannel->LockPlayData(0, FFramesPerTick * FBlockAlign, p1, n1, p2, n2);
    // The scan cannot fail, but the loan ends on every path.
    struct Unlock {
        TMxDSMixerChannel* c;
        ~Unlock() { c->UnlockPlayData(); }
    } unlock{FChannel};
    for (uint32_t slot = 0; slot < FChannels; ++slot) {
        ScanState s;
        if (n1 > 0)
            Scan(static_cast<const uint8_t*>(p1), n1, slot, s);
        if (n2 > 0)
            Scan(static_cast<const uint8_t*>(p2), n2, slot, s);
    }
}

void TAnalysis::Scan(const uint8_t* region, uint32_t bytes, uint32_t slot, ScanState& s)
{
    // Slot k reads the most significant byte of sample (channels - 1 - k) of each frame.
    const uint8_t* p = region + FBlockAlign - 1 - FBytesPerSample * slot;
    uint32_t frames = bytes / FBlockAlign;
    while (s.column < FColumns) {
        while (s.count <= FFramesPerColumn) {
            if (frames == 0)
                return;
            const uint8_t v = static_cast<uint8_t>(FSampleOffset + *p);
            s.max = std::max(s.max, v);
            s.min = std::min(s.min, v);
            ++s.count;
            p += FBlockAlign;
            --frames;
        }
        FMaxValues[s.column * FChannels + slot] = s.max;
        FMinValues[s.column * FChannels + slot] = s.min;
        s.max = 0;
        s.min = 255;
        ++s.column;
        s.count = 1;
    }
}
