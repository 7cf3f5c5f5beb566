// The level envelope of what a deck is about to play: 110 columns, each the lowest and highest
// display value (0..255, 128 = silence) of a short run of frames queued ahead of the play cursor.
// UI thread only. Reads the channel's lent copy between LockPlayData and UnlockPlayData, so it
// never holds the channel lock while it scans.
#pragma once

#include <cstdint>
#include <vector>

class TMxDSMixerChannel;

class TAnalysis {
public:
    // The channel must hold an open song (its format is read here).
    TAnalysis(TMxDSMixerChannel* channel, uint32_t columns, uint32_t framesPerTick);

    // Recomputes the columns that the queued data completes; the others keep their values.
    void Update();
    // Every cell to 128 (silence): a reset envelope draws nothing.
    void Reset();

    uint32_t Columns() const { return FColumns; }
    uint32_t Slots() const { return FChannels; }
    uint32_t FramesPerColumn() const { return FFramesPerColumn; }
    uint8_t MaxValue(uint32_t column, uint32_t slot) const { return FMaxValues[column * FChannels + slot]; }
    uint8_t MinValue(uint32_t column, uint32_t slot) const { return FMinValues[column * FChannels + slot]; }

private:
    struct ScanState {
        uint32_t column = 0, count = 1;
        uint8_t max = 0, min = 255;
    };
    void Scan(const uint8_t* region, uint32_t bytes, uint32_t slot, ScanState& s);

    TMxDSMixerChannel* FChannel;
    uint32_t FChannels;
    uint32_t FColumns;
    uint32_t FFramesPerTick;
    uint32_t FFramesPerColumn;
    uint32_t FBlockAlign;
    uint32_t FBytesPerSample;
    uint8_t FSampleOffset;
    std::vector<uint8_t> FMaxValues; // FColumns rows of FChannels cells
    std::vector<uint8_t> FMinValues;
};
