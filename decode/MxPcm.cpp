#include "decode/MxPcm.h"

#include "decode/MxDecoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

void FloatToS16(const float* in, uint8_t* out, int64_t samples)
{
    int64_t i = 0;
#if defined(__SSE2__)
    // Eight at a time: NaN to 0, clamp (a float beyond the int32 range would convert to INT32_MIN),
    // round to nearest even, pack (which saturates too).
    const __m128 scale = _mm_set1_ps(32768.0f), lo = _mm_set1_ps(-32768.0f), hi = _mm_set1_ps(32767.0f);
    for (; i + 8 <= samples; i += 8) {
        __m128 a = _mm_mul_ps(_mm_loadu_ps(in + i), scale);
        __m128 b = _mm_mul_ps(_mm_loadu_ps(in + i + 4), scale);
        a = _mm_and_ps(a, _mm_cmpord_ps(a, a));
        b = _mm_and_ps(b, _mm_cmpord_ps(b, b));
        a = _mm_min_ps(_mm_max_ps(a, lo), hi);
        b = _mm_min_ps(_mm_max_ps(b, lo), hi);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i),
                         _mm_packs_epi32(_mm_cvtps_epi32(a), _mm_cvtps_epi32(b)));
    }
#endif
    for (; i < samples; ++i) {
        float v = in[i] * 32768.0f;
        v = v != v ? 0.0f : v; // NaN is silence, not a full-scale click
        v = std::min(std::max(v, -32768.0f), 32767.0f);
        const auto s = static_cast<int16_t>(std::lrint(v));
        std::memcpy(out + 2 * i, &s, 2);
    }
}

namespace {

// For each WAVE channel, the Vorbis channel that carries it (Vorbis's own channel order for 1 to 8
// channels).
constexpr int kVorbisToWave[9][8] = {{},
                                     {0},
                                     {0, 1},
                                     {0, 2, 1},
                                     {0, 1, 2, 3},
                                     {0, 2, 1, 3, 4},
                                     {0, 2, 1, 5, 3, 4},
                                     {0, 2, 1, 6, 5, 3, 4},
                                     {0, 2, 1, 7, 5, 6, 3, 4}};

// Left and right weights of each channel of the usual WAVE layout of 3 to 8 channels:
// 3 L R C; 4 L R BL BR; 5 L R C BL BR; 6 L R C LFE BL BR; 7 L R C LFE BC SL SR; 8 L R C LFE BL BR SL SR.
constexpr float kH = 0.70710678f; // -3 dB
constexpr float kStereoWeights[9][8][2] = {{},
                                           {},
                                           {},
                                           {{1, 0}, {0, 1}, {kH, kH}},
                                           {{1, 0}, {0, 1}, {kH, 0}, {0, kH}},
                                           {{1, 0}, {0, 1}, {kH, kH}, {kH, 0}, {0, kH}},
                                           {{1, 0}, {0, 1}, {kH, kH}, {0, 0}, {kH, 0}, {0, kH}},
                                           {{1, 0}, {0, 1}, {kH, kH}, {0, 0}, {0.5f, 0.5f}, {kH, 0}, {0, kH}},
                                           {{1, 0}, {0, 1}, {kH, kH}, {0, 0}, {kH, 0}, {0, kH}, {kH, 0}, {0, kH}}};

void ToStereo(const float* in, int from, float* out, int64_t frames)
{
    // Beyond 8 channels the first 8 are taken as a 7.1 layout.
    const int used = std::min(from, 8);
    float norm = 0;
    for (int c = 0; c < used; ++c)
        norm += kStereoWeights[used][c][0];
    float w[8][2];
    for (int c = 0; c < used; ++c)
        for (int s = 0; s < 2; ++s)
            w[c][s] = kStereoWeights[used][c][s] / norm;
    for (int64_t f = 0; f < frames; ++f) {
        const float* x = in + f * from;
        float l = 0, r = 0;
        for (int c = 0; c < used; ++c) {
            l += w[c][0] * x[c];
            r += w[c][1] * x[c];
        }
        out[2 * f] = l;
        out[2 * f + 1] = r;
    }
}

} // namespace

void VorbisOrderToWave(const float* const* planar, const float* in, int channels, float* out, int64_t frames)
{
    const int* map = channels <= 8 ? kVorbisToWave[channels] : nullptr;
    for (int c = 0; c < channels; ++c) {
        const int src = map ? map[c] : c;
        if (planar) {
            const float* p = planar[src];
            for (int64_t f = 0; f < frames; ++f)
                out[f * channels + c] = p[f];
        } else {
            for (int64_t f = 0; f < frames; ++f)
                out[f * channels + c] = in[f * channels + src];
        }
    }
}

void MixChannels(const float* in, int from, float* out, int to, int64_t frames)
{
    if (from == to) {
        std::memcpy(out, in, static_cast<size_t>(frames * from) * sizeof(float));
    } else if (from == 1) {
        for (int64_t f = 0; f < frames; ++f)
            std::fill(out + f * to, out + (f + 1) * to, in[f]);
    } else if (to <= 2 && from > 2) {
        ToStereo(in, from, out, frames);
        if (to == 1)
            for (int64_t f = 0; f < frames; ++f)
                out[f] = 0.5f * (out[2 * f] + out[2 * f + 1]);
    } else if (to == 1) {
        for (int64_t f = 0; f < frames; ++f)
            out[f] = 0.5f * (in[2 * f] + in[2 * f + 1]);
    } else {
        // A link with other channels than the song's first (chained streams): the shared ones, the rest silent.
        for (int64_t f = 0; f < frames; ++f)
            for (int c = 0; c < to; ++c)
                out[f * to + c] = c < from ? in[f * from + c] : 0.0f;
    }
}

namespace {
constexpr int64_t kBlockFrames = 2048;
}

TMxConverter::TMxConverter(TMxDecoder& decoder, int channels, int factor)
    : FDecoder(decoder), FChannels(channels), FFactor(factor)
{
    if (FFactor > 1) {
        // Windowed sinc (Blackman), cut off at 90 % of the new Nyquist frequency: flat through the
        // audible band, everything that would fold back into it at least 70 dB down.
        FHalf = 16 * FFactor;
        FTaps.resize(static_cast<size_t>(2 * FHalf + 1));
        const double fc = 0.45 / FFactor;
        double sum = 0;
        for (int j = -FHalf; j <= FHalf; ++j) {
            const double x = 2 * fc * j;
            const double sinc = j == 0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x);
            const double t = double(j + FHalf) / (2 * FHalf);
            const double window = 0.42 - 0.5 * std::cos(2 * M_PI * t) + 0.08 * std::cos(4 * M_PI * t);
            FTaps[static_cast<size_t>(j + FHalf)] = static_cast<float>(sinc * window);
            sum += sinc * window;
        }
        for (auto& t : FTaps)
            t = static_cast<float>(t / sum);
    }
    FDecoded.resize(static_cast<size_t>(kBlockFrames * std::max(FDecoder.Channels, 1)));
    FOut.resize(static_cast<size_t>(kBlockFrames * FChannels));
    FIn.reserve(static_cast<size_t>((2 * kBlockFrames + 2 * FHalf + 1) * FChannels));
    FInStart = -FHalf;
    FInFrames = FHalf;
    FIn.assign(static_cast<size_t>(FHalf * FChannels), 0.0f);
}

bool TMxConverter::Pull()
{
    const int64_t n = FDecoder.ReadFloat(FDecoded.data(), kBlockFrames);
    if (n <= 0)
        return false;
    const size_t at = FIn.size();
    FIn.resize(at + static_cast<size_t>(n * FChannels));
    MixChannels(FDecoded.data(), FDecoder.Channels, FIn.data() + at, FChannels, n);
    FInFrames += n;
    return true;
}

int64_t TMxConverter::Read(uint8_t* out, int64_t frames)
{
    const int ch = FChannels;
    int64_t done = 0;
    if (FFactor == 1) {
        while (done < frames) {
            const int64_t want = std::min(frames - done, kBlockFrames);
            int64_t n;
            if (FDecoder.Channels == ch) {
                n = FDecoder.ReadFloat(FOut.data(), want);
            } else {
                n = FDecoder.ReadFloat(FDecoded.data(), want);
                if (n > 0)
                    MixChannels(FDecoded.data(), FDecoder.Channels, FOut.data(), ch, n);
            }
            if (n <= 0)
                break;
            FloatToS16(FOut.data(), out + done * 2 * ch, n * ch);
            done += n;
        }
        return done;
    }
    while (done < frames) {
        const int64_t want = std::min(frames - done, kBlockFrames);
        // Drop the input no longer needed, then decode until the last wanted frame's taps are there.
        const int64_t keepFrom = FNext * FFactor - FHalf;
        if (keepFrom > FInStart) {
            const int64_t drop = std::min(keepFrom - FInStart, FInFrames);
            FIn.erase(FIn.begin(), FIn.begin() + drop * ch);
            FInStart += drop;
            FInFrames -= drop;
        }
        const int64_t need = (FNext + want - 1) * FFactor + FHalf + 1; // input frames up to here
        while (!FEnd && FInStart + FInFrames < need)
            FEnd = !Pull();
        const int64_t realEnd = FInStart + FInFrames; // before the zeros that stand for the silence after the end
        if (FEnd && FInStart + FInFrames < need) {
            FIn.resize(static_cast<size_t>((need - FInStart) * ch), 0.0f);
            FInFrames = need - FInStart;
        }
        int64_t n = 0;
        float* o = FOut.data();
        for (; n < want; ++n) {
            const int64_t centre = (FNext + n) * FFactor;
            if (FEnd && centre >= realEnd)
                break;
            const float* x = FIn.data() + (centre - FHalf - FInStart) * ch;
            for (int c = 0; c < ch; ++c) {
                float acc = 0;
                for (size_t j = 0; j < FTaps.size(); ++j)
                    acc += FTaps[j] * x[static_cast<int64_t>(j) * ch + c];
                o[n * ch + c] = acc;
            }
        }
        if (FEnd && FInFrames > realEnd - FInStart) { // the zeros go again: they are not input
            FInFrames = realEnd - FInStart;
            FIn.resize(static_cast<size_t>(FInFrames * ch));
        }
        if (n == 0)
            break;
        FloatToS16(o, out + done * 2 * ch, n * ch);
        FNext += n;
        done += n;
    }
    return done;
}

void TMxConverter::Seek(int64_t frame)
{
    FNext = frame;
    FEnd = false;
    const int64_t first = frame * FFactor - FHalf;
    FIn.clear();
    if (first < 0) {
        FDecoder.Seek(0);
        FInStart = first;
        FInFrames = -first;
        FIn.assign(static_cast<size_t>(FInFrames * FChannels), 0.0f);
    } else {
        FDecoder.Seek(first);
        FInStart = first;
        FInFrames = 0;
    }
}
