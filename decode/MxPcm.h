// Sample conversions of the reader: float to 16-bit (rounded, saturated), Vorbis channel order to the
// WAVE order, channel mixing, and an exact-on-seek decimator for rates the sound buffers do not take.
// Plain functions and one stateful class owned by a reader; no locks.
#pragma once

#include <cstdint>
#include <vector>

class TMxDecoder;

// Rounds to nearest and saturates: a float beyond full scale never wraps to the other sign.
void FloatToS16(const float* in, uint8_t* out, int64_t samples);

// Interleaved frames in the Vorbis/Opus channel order (mapping family 1) to the WAVE order.
// `planar` gives the channels as separate arrays (libvorbisfile), else `in` is interleaved.
void VorbisOrderToWave(const float* const* planar, const float* in, int channels, float* out, int64_t frames);

// Mixes interleaved frames of `from` channels (WAVE order) to `to` channels: mono is copied to every
// channel, many are folded to stereo with the usual weights (centre and surrounds at -3 dB, LFE left
// out) normalised so that nothing gains level, to one as their mean.
void MixChannels(const float* in, int from, float* out, int to, int64_t frames);

// Reads float frames from a decoder, mixes them to `channels`, decimates by `factor` with a linear-phase
// low-pass, and writes 16-bit samples. Output frame k is computed from input frames around k * factor
// only, so a seek gives exactly the frames a straight decode gives.
class TMxConverter {
public:
    TMxConverter(TMxDecoder& decoder, int channels, int factor);
    int64_t Read(uint8_t* out, int64_t frames);
    void Seek(int64_t frame); // an output frame

private:
    bool Pull(); // appends decoded, mixed input; false at the end of the stream
    TMxDecoder& FDecoder;
    int FChannels;
    int FFactor;
    int FHalf = 0;            // taps on each side of the centre
    std::vector<float> FTaps; // 2 * FHalf + 1
    std::vector<float> FIn;   // mixed input frames [FInStart, FInStart + FInFrames)
    int64_t FInStart = 0;
    int64_t FInFrames = 0;
    bool FEnd = false;
    int64_t FNext = 0;           // the next output frame
    std::vector<float> FDecoded; // one pull of the decoder's own channels
    std::vector<float> FOut;     // one block of output before the 16-bit conversion
};
