// Encoding speed of the recorder's path (EncodeBlock, one-second captured buffers, the main window's
// settings) against libmp3lame called directly on the same data, as multiples of real time.
// Both are timed in the same iterations, alternately, on the thread's CPU clock, so that the load of a
// shared machine falls on both alike; "ratio" is EncodeBlock's speed over the direct call's.
#include "record/Lame_Enc.h"

#include <benchmark/benchmark.h>
#include <lame/lame.h>

#include <cmath>
#include <ctime>
#include <random>
#include <vector>

namespace {

constexpr int Rate = 48000;
constexpr size_t SecondBytes = Rate * 4;
constexpr int Seconds = 8;

// A tone with some noise, so that the encoder has real work in every band.
const std::vector<int16_t>& Music()
{
    static const std::vector<int16_t> pcm = [] {
        std::vector<int16_t> out(static_cast<size_t>(Seconds) * Rate * 2);
        std::mt19937 gen(1);
        std::uniform_real_distribution<double> noise(-3000, 3000);
        for (size_t f = 0; f < out.size() / 2; ++f)
            for (int c = 0; c < 2; ++c)
                out[2 * f + c] =
                    static_cast<int16_t>(9000 * std::sin(2 * M_PI * (440.0 + 110 * c) * double(f) / Rate) + noise(gen));
        return out;
    }();
    return pcm;
}

const uint8_t* Block(int second)
{
    return reinterpret_cast<const uint8_t*>(Music().data()) + static_cast<size_t>(second % Seconds) * SecondBytes;
}

TEncoderSettings MainWindowSettings()
{
    TEncoderSettings s;
    s.WaveFormat = {WAVE_FORMAT_PCM, 2, Rate, SecondBytes, 4, 16, 0};
    s.Mp3VBRQuality = LVBRQUALITY::v6;
    return s;
}

// libmp3lame as the encoder entry points configure it for those settings.
lame_t DirectEncoder()
{
    lame_t lame = lame_init();
    lame_set_num_channels(lame, 2);
    lame_set_in_samplerate(lame, Rate);
    lame_set_out_samplerate(lame, Rate);
    lame_set_mode(lame, STEREO);
    lame_set_quality(lame, 2);
    lame_set_error_protection(lame, 1);
    lame_set_bWriteVbrTag(lame, 0);
    lame_set_VBR(lame, vbr_off);
    lame_set_brate(lame, 128);
    lame_init_params(lame);
    return lame;
}

double CpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void EncodeBlockVersusDirect(benchmark::State& state)
{
    EncoderOpen(MainWindowSettings());
    lame_t direct = DirectEncoder();
    std::vector<uint8_t> directOut(SecondBytes);
    TMemoryStream out;
    double encodeBlockTime = 0, directTime = 0;
    int second = 0;
    for (auto _ : state) {
        out.Clear();
        const double t0 = CpuSeconds();
        if (EncodeBlock(Block(second), SecondBytes, out) != 0)
            state.SkipWithError("EncodeBlock failed");
        const double t1 = CpuSeconds();
        const int n =
            lame_encode_buffer_interleaved(direct, reinterpret_cast<short*>(const_cast<uint8_t*>(Block(second))), Rate,
                                           directOut.data(), static_cast<int>(directOut.size()));
        const double t2 = CpuSeconds();
        benchmark::DoNotOptimize(n);
        encodeBlockTime += t1 - t0;
        directTime += t2 - t1;
        ++second;
    }
    lame_close(direct);
    EncoderClose();
    state.counters["EncodeBlock_xRealTime"] = second / encodeBlockTime;
    state.counters["direct_xRealTime"] = second / directTime;
    state.counters["ratio"] = directTime / encodeBlockTime;
}
BENCHMARK(EncodeBlockVersusDirect)->Unit(benchmark::kMillisecond)->MinTime(3.0);

} // namespace

BENCHMARK_MAIN();
