// Render cost of the sound-output engine as multiples of real time ("x_realtime": seconds of audio
// rendered per second of CPU), one 10 ms period per render call as a device asks for it:
// one 44.1 kHz buffer played at its own rate (copied), one played at 47000 Hz (resampled), both.
// "Resampled/libsamplerate" times the resampled engine path and libsamplerate alone (the same
// converter, ratio and frames, float in and out) alternately in the same iterations on the thread's
// CPU clock, so a shared machine's load falls on both alike; "ratio" is engine over libsamplerate.
// "Keylocked/RubberBand" does the same for a buffer played with its key kept at +6 %, against the
// stretcher alone with the engine's options on the same audio, and reports the delay the stretcher
// adds (which the engine compensates) and the CPU share of one core per keylocked deck.
#include "platform/dsound/DSound.h"
#include "platform/dsound/DSoundEngine.h"

#include <benchmark/benchmark.h>
#include <rubberband/RubberBandStretcher.h>
#include <samplerate.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

namespace {

constexpr DWORD Rate = 44100;
constexpr uint32_t Period = 441;
constexpr DWORD BufferFrames = Rate * 4; // the channel's 4-second buffer

std::vector<int16_t> Music()
{
    std::vector<int16_t> out(size_t(BufferFrames) * 2);
    std::mt19937 gen(1);
    std::uniform_real_distribution<double> noise(-2000, 2000);
    for (size_t f = 0; f < BufferFrames; ++f)
        for (int c = 0; c < 2; ++c)
            out[2 * f + c] =
                static_cast<int16_t>(9000 * std::sin(2 * M_PI * (440.0 + 110 * c) * double(f) / Rate) + noise(gen));
    return out;
}

// A manual-backend device with one playing buffer per entry of `frequencies`.
class Scene {
public:
    explicit Scene(std::initializer_list<DWORD> frequencies, bool keylock = false)
    {
        dsound::Engine::Reset();
        dsound::Engine::UseManualBackend();
        DSoundLibrary().DirectSoundCreate(nullptr, FDevice.Put(), nullptr);
        FDevice->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY);
        const std::vector<int16_t> music = Music();
        WAVEFORMATEX f{WAVE_FORMAT_PCM, 2, Rate, Rate * 4, 4, 16, 0};
        for (DWORD frequency : frequencies) {
            DSBUFFERDESC d{};
            d.dwSize = sizeof(d);
            d.dwFlags = 0x000180E0;
            d.dwBufferBytes = BufferFrames * 4;
            d.lpwfxFormat = &f;
            ComPtr<IDirectSoundBuffer> b;
            FDevice->CreateSoundBuffer(&d, b.Put(), nullptr);
            void *p1, *p2;
            DWORD n1, n2;
            b->Lock(0, d.dwBufferBytes, &p1, &n1, &p2, &n2, 0);
            std::memcpy(p1, music.data(), n1);
            b->Unlock(p1, n1, p2, n2);
            b->SetFrequency(frequency);
            b->SetKeylock(keylock);
            b->Play(0, 0, DSBPLAY_LOOPING);
            FBuffers.push_back(b);
        }
    }
    ~Scene()
    {
        FBuffers.clear();
        FDevice.Reset();
        dsound::Engine::Reset();
    }
    void RenderPeriod() { dsound::Engine::PullInto(FOut.data(), Period); }

private:
    ComPtr<IDirectSound> FDevice;
    std::vector<ComPtr<IDirectSoundBuffer>> FBuffers;
    std::vector<int16_t> FOut = std::vector<int16_t>(Period * 2);
};

void Engine(benchmark::State& state, std::initializer_list<DWORD> frequencies)
{
    Scene scene(frequencies);
    for (auto _ : state)
        scene.RenderPeriod();
    state.counters["x_realtime"] =
        benchmark::Counter(double(state.iterations()) * Period / Rate, benchmark::Counter::kIsRate);
}

void BM_EngineOneBufferAtItsOwnRate(benchmark::State& state)
{
    Engine(state, {0});
}
void BM_EngineOneBufferAt47000(benchmark::State& state)
{
    Engine(state, {47000});
}
void BM_EngineTwoBuffersOneOfEach(benchmark::State& state)
{
    Engine(state, {0, 47000});
}

double ThreadSeconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + t.tv_nsec * 1e-9;
}

// libsamplerate alone, as the engine drives it: one period of output per call, input as needed.
class Converter {
public:
    Converter() : FInput(size_t(BufferFrames) * 2)
    {
        const std::vector<int16_t> music = Music();
        for (size_t i = 0; i < music.size(); ++i)
            FInput[i] = music[i] / 32768.0f;
        int error = 0;
        FState = src_new(SRC_SINC_FASTEST, 2, &error);
    }
    ~Converter() { src_delete(FState); }
    void Period441()
    {
        long produced = 0;
        while (produced < long(Period)) {
            if (FPos + 4096 > BufferFrames)
                FPos = 0;
            SRC_DATA d{};
            d.data_in = FInput.data() + size_t(FPos) * 2;
            d.data_out = FOutput.data() + produced * 2;
            d.input_frames = std::max(1L, long(std::floor((Period - produced) / Ratio)));
            d.output_frames = Period - produced;
            d.src_ratio = Ratio;
            src_process(FState, &d);
            FPos += d.input_frames_used;
            produced += d.output_frames_gen;
        }
    }

private:
    static constexpr double Ratio = double(Rate) / 47000;
    std::vector<float> FInput;
    std::vector<float> FOutput = std::vector<float>(Period * 2);
    SRC_STATE* FState;
    long FPos = 0;
};

void BM_ResampledEngineAgainstLibsamplerate(benchmark::State& state)
{
    Scene scene({47000});
    Converter converter;
    double engine = 0, alone = 0;
    for (auto _ : state) {
        double t0 = ThreadSeconds();
        for (int i = 0; i < 10; ++i)
            scene.RenderPeriod();
        double t1 = ThreadSeconds();
        for (int i = 0; i < 10; ++i)
            converter.Period441();
        double t2 = ThreadSeconds();
        engine += t1 - t0;
        alone += t2 - t1;
    }
    const double audio = double(state.iterations()) * 10 * Period / Rate;
    state.counters["x_realtime_engine"] = audio / engine;
    state.counters["x_realtime_libsamplerate"] = audio / alone;
    state.counters["ratio"] = alone / engine;
}

// Rubber Band alone, as the engine drives it (see platform/dsound/KeylockVoice.cpp).
class Stretcher {
public:
    Stretcher()
        : FStretcher(Rate, 2,
                     RubberBand::RubberBandStretcher::OptionProcessRealTime |
                         RubberBand::RubberBandStretcher::OptionEngineFiner |
                         RubberBand::RubberBandStretcher::OptionWindowShort |
                         RubberBand::RubberBandStretcher::OptionPitchHighConsistency,
                     1 / Speed, 1.0)
    {
        const std::vector<int16_t> music = Music();
        for (size_t f = 0; f < BufferFrames; ++f)
            for (int c = 0; c < 2; ++c)
                FInput[c][f] = music[2 * f + c] / 32768.0f;
        FStretcher.setMaxProcessSize(4096);
    }
    void Period441()
    {
        while (FStretcher.available() < int(Period)) {
            const size_t n = std::clamp<size_t>(FStretcher.getSamplesRequired(), 256, 4096);
            if (FPos + n > BufferFrames)
                FPos = 0;
            const float* in[2] = {FInput[0].data() + FPos, FInput[1].data() + FPos};
            FStretcher.process(in, n, false);
            FPos += n;
        }
        float* out[2] = {FOutput[0].data(), FOutput[1].data()};
        FStretcher.retrieve(out, Period);
    }
    double DelayMs() const { return FStretcher.getStartDelay() * 1000.0 / Rate; }

    static constexpr double Speed = 46746.0 / Rate;

private:
    RubberBand::RubberBandStretcher FStretcher;
    std::vector<float> FInput[2] = {std::vector<float>(BufferFrames), std::vector<float>(BufferFrames)};
    std::vector<float> FOutput[2] = {std::vector<float>(Period), std::vector<float>(Period)};
    size_t FPos = 0;
};

void BM_KeylockedEngineAgainstRubberBand(benchmark::State& state)
{
    Scene scene({46746}, true);
    Stretcher stretcher;
    double engine = 0, alone = 0;
    for (auto _ : state) {
        double t0 = ThreadSeconds();
        for (int i = 0; i < 10; ++i)
            scene.RenderPeriod();
        double t1 = ThreadSeconds();
        for (int i = 0; i < 10; ++i)
            stretcher.Period441();
        double t2 = ThreadSeconds();
        engine += t1 - t0;
        alone += t2 - t1;
    }
    const double audio = double(state.iterations()) * 10 * Period / Rate;
    state.counters["x_realtime_engine"] = audio / engine;
    state.counters["x_realtime_rubberband"] = audio / alone;
    state.counters["ratio"] = alone / engine;
    state.counters["core_percent_per_deck"] = 100 * engine / audio;
    state.counters["added_delay_ms"] = stretcher.DelayMs();
}

void BM_EngineTwoKeylockedBuffers(benchmark::State& state)
{
    Scene scene({46746, 41454}, true);
    for (auto _ : state)
        scene.RenderPeriod();
    state.counters["x_realtime"] =
        benchmark::Counter(double(state.iterations()) * Period / Rate, benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_EngineOneBufferAtItsOwnRate);
BENCHMARK(BM_EngineOneBufferAt47000);
BENCHMARK(BM_EngineTwoBuffersOneOfEach);
BENCHMARK(BM_ResampledEngineAgainstLibsamplerate)->MinTime(2.0);
BENCHMARK(BM_KeylockedEngineAgainstRubberBand)->MinTime(2.0);
BENCHMARK(BM_EngineTwoKeylockedBuffers);
BENCHMARK_MAIN();
