// Render cost of the sound-output engine as multiples of real time ("x_realtime": seconds of audio
// rendered per second of CPU), one 10 ms period per render call as a device asks for it:
// one 44.1 kHz buffer played at its own rate (copied), one played at 47000 Hz (resampled), both.
// "Resampled/libsamplerate" times the resampled engine path and libsamplerate alone (the same
// converter, ratio and frames, float in and out) alternately in the same iterations on the thread's
// CPU clock, so a shared machine's load falls on both alike; "ratio" is engine over libsamplerate.
// "Keylocked/RubberBand" does the same for a buffer played with its key kept at +6 %, against the
// stretcher alone with the engine's options on the same audio, and reports the delay the stretcher
// adds (which the engine compensates) and the CPU share of one core per keylocked deck.
// "Headphones…": the CPU the headphones add to two playing decks, the time from a cue switch to its
// sound at the headphones device, and the drift between room and headphones on two clocks.
#include "platform/output/CueOutput.h"
#include "platform/dsound/DSound.h"
#include "engine/Equalizer.h"
#include "engine/Limiter.h"
#include "engine/SoundBuffer.h"
#include "engine/Engine.h"
#include "platform/kernel/TimeScale.h"

#include <benchmark/benchmark.h>
#include <rubberband/RubberBandStretcher.h>
#include <samplerate.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <numeric>
#include <random>
#include <thread>
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
    // `manual` false: the null backend renders on its own thread at real-time pace.
    explicit Scene(std::initializer_list<DWORD> frequencies, bool keylock = false, bool manual = true)
    {
        engine::Engine::Reset();
        if (manual)
            engine::Engine::UseManualBackend();
        else
            setenv("DUODECK_AUDIO_BACKEND", "null", 1);
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
            dynamic_cast<engine::SoundBuffer*>(b.Get())->SetKeylock(keylock);
            b->Play(0, 0, DSBPLAY_LOOPING);
            FBuffers.push_back(b);
        }
    }
    ~Scene()
    {
        FBuffers.clear();
        FDevice.Reset();
        engine::Engine::Reset();
        unsetenv("DUODECK_AUDIO_BACKEND");
    }
    void RenderPeriod() { engine::Engine::PullInto(FOut.data(), Period); }
    IDirectSoundBuffer* Buffer(size_t i) const { return FBuffers[i].Get(); }

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

// Ten periods of the engine, then ten of the library alone, in each iteration; CPU seconds of each
// and the seconds of audio each rendered.
struct Alternated {
    double Engine = 0, Alone = 0, Audio = 0;
};
template <class Library> Alternated Alternate(benchmark::State& state, Scene& scene, Library& library)
{
    Alternated a;
    for (auto _ : state) {
        double t0 = ThreadSeconds();
        for (int i = 0; i < 10; ++i)
            scene.RenderPeriod();
        double t1 = ThreadSeconds();
        for (int i = 0; i < 10; ++i)
            library.Period441();
        double t2 = ThreadSeconds();
        a.Engine += t1 - t0;
        a.Alone += t2 - t1;
    }
    a.Audio = double(state.iterations()) * 10 * Period / Rate;
    state.counters["x_realtime_engine"] = a.Audio / a.Engine;
    state.counters["ratio"] = a.Alone / a.Engine;
    return a;
}

void BM_ResampledEngineAgainstLibsamplerate(benchmark::State& state)
{
    Scene scene({47000});
    Converter converter;
    const Alternated a = Alternate(state, scene, converter);
    state.counters["x_realtime_libsamplerate"] = a.Audio / a.Alone;
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
    const Alternated a = Alternate(state, scene, stretcher);
    state.counters["x_realtime_rubberband"] = a.Audio / a.Alone;
    state.counters["core_percent_per_deck"] = 100 * a.Engine / a.Audio;
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

// --- Headphones ---------------------------------------------------------------------------------
// A headphones device for the benchmarks: renders when asked (Pull), or on a thread of its own at
// `rate` times (1 + skew) frames per second of program time, as a device with its own clock would.
class BenchPhones final : public output::Backend {
public:
    explicit BenchPhones(double skew, bool paced) : FSkew(skew), FPaced(paced) {}
    ~BenchPhones() override { Stop(); }
    std::string Name() const override { return "bench headphones"; }
    bool Open(output::OutputFormat& format, std::string&) override
    {
        FFormat = format;
        return true;
    }
    bool Start(output::MixSource& source, uint64_t token, std::string&) override
    {
        FSource = &source;
        FToken = token;
        Current = this;
        if (!FPaced)
            return true;
        FStop = false;
        FThread = std::thread([this] {
            std::vector<int16_t> block(size_t(Period) * 4);
            auto next = std::chrono::steady_clock::now();
            double owed = 0;
            while (!FStop) {
                next += timescale::Real(10);
                std::this_thread::sleep_until(next);
                owed += Period * (1 + FSkew);
                const auto frames = static_cast<uint32_t>(owed);
                owed -= frames;
                FSource->Render(FToken, block.data(), frames);
                for (uint32_t i = 0; i < frames * 2 && FFirstHeardNs == 0; ++i)
                    if (block[i] != 0)
                        FFirstHeardNs = std::chrono::steady_clock::now().time_since_epoch().count();
            }
        });
        return true;
    }
    void Stop() override
    {
        FStop = true;
        if (FThread.joinable())
            FThread.join();
        if (Current == this)
            Current = nullptr;
    }
    uint32_t FramesPerRender(const output::OutputFormat&) const override { return Period * 2; }
    void Pull(int16_t* out) { FSource->Render(FToken, out, Period); }

    static inline std::atomic<BenchPhones*> Current{nullptr};
    std::atomic<int64_t> FFirstHeardNs{0};

private:
    double FSkew;
    bool FPaced;
    output::OutputFormat FFormat;
    output::MixSource* FSource = nullptr;
    uint64_t FToken = 0;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

output::CueOutput& Phones()
{
    return engine::Engine::Instance().Headphones();
}

void UseBenchPhones(double skew, bool paced)
{
    Phones().UseTestDevice([=] { return std::make_unique<BenchPhones>(skew, paced); });
    Phones().Choose({output::CueTarget::Kind::Sink, "bench", "bench"});
}

// CPU of both decks' render with the headphones off and on (deck A cued; the headphones device's
// own render included), in blocks of 100 periods alternately, on the thread's CPU clock.
void BM_HeadphonesCpuOnAgainstOff(benchmark::State& state)
{
    Scene scene({0, 47000});
    dynamic_cast<engine::SoundBuffer*>(scene.Buffer(0))->SetCue(1);
    std::vector<int16_t> phones(size_t(Period) * 2);
    double off = 0, on = 0;
    for (auto _ : state) {
        Phones().Choose({});
        double t0 = ThreadSeconds();
        for (int i = 0; i < 100; ++i)
            scene.RenderPeriod();
        off += ThreadSeconds() - t0;
        UseBenchPhones(0, false);
        t0 = ThreadSeconds();
        for (int i = 0; i < 100; ++i) {
            scene.RenderPeriod();
            BenchPhones::Current.load()->Pull(phones.data());
        }
        on += ThreadSeconds() - t0;
    }
    Phones().Choose({});
    Phones().UseTestDevice(nullptr);
    const double audio = double(state.iterations()) * 100 * Period / Rate;
    state.counters["core_percent_off"] = 100 * off / audio;
    state.counters["core_percent_on"] = 100 * on / audio;
    state.counters["added_core_percent"] = 100 * (on - off) / audio;
}

// Real milliseconds from a deck's cue switch to its first sound handed to the headphones device
// (whose own buffer comes on top: the sound server's stream holds 20 ms). The main output is the
// null backend; the headphones device renders one period every 10 ms.
void BM_HeadphonesCueSwitchToSound(benchmark::State& state)
{
    Scene scene({0}, false, false);
    scene.Buffer(0)->SetVolume(-10000); // the room does not hear it
    UseBenchPhones(0, true);
    double sum = 0, worst = 0;
    for (auto _ : state) {
        dynamic_cast<engine::SoundBuffer*>(scene.Buffer(0))->SetCue(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        BenchPhones* device = BenchPhones::Current.load();
        device->FFirstHeardNs = 0;
        const int64_t t0 = std::chrono::steady_clock::now().time_since_epoch().count();
        dynamic_cast<engine::SoundBuffer*>(scene.Buffer(0))->SetCue(1);
        while (device->FFirstHeardNs == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        const double ms = (device->FFirstHeardNs - t0) / 1e6;
        sum += ms;
        worst = std::max(worst, ms);
    }
    Phones().Choose({});
    Phones().UseTestDevice(nullptr);
    state.counters["mean_ms"] = sum / double(state.iterations());
    state.counters["worst_ms"] = worst;
}

// `seconds` of real time: the main output on the null backend, the headphones on a device whose
// clock runs `skew` fast. The delay between room and headphones is the ring's fill (read every
// 100 ms): reported are its mean over the first ten seconds after a settling minute and over the
// last ten, their difference (the drift), the fill's standard deviation (the two threads' wake-up
// jitter on this machine), the mean rate correction of the servo, and the frames of silence
// played because the ring ran dry. (At a faster time scale the pacing threads' wake-ups on a loaded
// machine, not the servo, would decide the result, so this runs in real time.)
void HeadphonesDrift(benchmark::State& state, double skew, int seconds)
{
    for (auto _ : state) {
        Scene scene({0, 47000}, false, false);
        dynamic_cast<engine::SoundBuffer*>(scene.Buffer(0))->SetCue(1);
        UseBenchPhones(skew, true);
        std::this_thread::sleep_for(std::chrono::seconds(60));
        const uint64_t underrunsBefore = Phones().Underruns();
        std::vector<double> fill;
        double correction = 0;
        for (int i = 0; i < seconds * 10; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            fill.push_back(Phones().Fill() * 1000 / Rate);
            correction += Phones().Correction() - 1;
        }
        const auto mean = [](auto from, auto to) { return std::accumulate(from, to, 0.0) / double(to - from); };
        const double all = mean(fill.begin(), fill.end());
        double variance = 0;
        for (double f : fill)
            variance += (f - all) * (f - all);
        const double first = mean(fill.begin(), fill.begin() + 100), last = mean(fill.end() - 100, fill.end());
        state.counters["first_10s_ms"] = first;
        state.counters["last_10s_ms"] = last;
        state.counters["drift_ms"] = last - first;
        state.counters["jitter_sd_ms"] = std::sqrt(variance / double(fill.size()));
        state.counters["target_ms"] = Phones().TargetFill() * 1000.0 / Rate;
        state.counters["mean_correction_ppm"] = correction / double(fill.size()) * 1e6;
        state.counters["underrun_frames"] = double(Phones().Underruns() - underrunsBefore);
        Phones().Choose({});
        Phones().UseTestDevice(nullptr);
    }
}

// Two minutes measured after the settling one; DUODECK_DRIFT_SECONDS sets another length.
void BM_HeadphonesDriftClocks100ppmApart(benchmark::State& state)
{
    const char* seconds = std::getenv("DUODECK_DRIFT_SECONDS");
    HeadphonesDrift(state, 100e-6, seconds ? std::max(20, std::atoi(seconds)) : 120);
}

} // namespace

// Both decks through the isolator (every band off unity), a trim and the limiter, against the same
// scene at unity with the limiter off, and against the same filters run alone on as much audio.
void BM_DjMixerAgainstPlainEngineAndTheFiltersAlone(benchmark::State& state)
{
    Scene scene({0, 47000});
    std::vector<std::shared_ptr<engine::VoiceControls>> decks;
    for (size_t i = 0; i < 2; ++i) {
        decks.push_back(std::make_shared<engine::VoiceControls>());
        engine::Attach(scene.Buffer(i), decks.back());
    }
    decks[1]->SetSpeed(47000.0 / Rate); // as the scene set it, on the controls now attached
    const auto dj = [&](bool on) {
        for (auto& d : decks) {
            d->SetBand(engine::VoiceControls::Low, on ? 0.5f : 1.0f);
            d->SetBand(engine::VoiceControls::Mid, on ? 1.2f : 1.0f);
            d->SetBand(engine::VoiceControls::High, on ? 0.8f : 1.0f);
            d->SetTrim(on ? 3.0f : 0.0f);
        }
        engine::SetLimiter(on);
        scene.RenderPeriod(); // the ramps into or out of the state
    };
    struct Filters {
        engine::Equalizer Eq[2];
        engine::Limiter Limit;
        std::vector<float> Voice = std::vector<float>(Period * 2);
        void Period441()
        {
            for (auto& eq : Eq)
                eq.Process(Voice.data(), Period, 2, Rate, {0.5f, 1.2f, 0.8f, 1.41f});
            Limit.Process(Voice.data(), Period, 2, Rate);
        }
    } filters;
    double withDj = 0, plain = 0, alone = 0;
    for (auto _ : state) {
        dj(true);
        double t0 = ThreadSeconds();
        for (int i = 0; i < 10; ++i)
            scene.RenderPeriod();
        double t1 = ThreadSeconds();
        dj(false);
        double t2 = ThreadSeconds();
        for (int i = 0; i < 10; ++i)
            scene.RenderPeriod();
        double t3 = ThreadSeconds();
        for (int i = 0; i < 10; ++i)
            filters.Period441();
        double t4 = ThreadSeconds();
        withDj += t1 - t0;
        plain += t3 - t2;
        alone += t4 - t3;
    }
    const double audio = double(state.iterations()) * 10 * Period / Rate;
    state.counters["pct_core_per_deck"] = (withDj - plain) / audio / 2 * 100;
    state.counters["pct_of_engine"] = (withDj - plain) / plain * 100;
    state.counters["ratio_alone"] = alone / (withDj - plain);
}

BENCHMARK(BM_EngineOneBufferAtItsOwnRate);
BENCHMARK(BM_DjMixerAgainstPlainEngineAndTheFiltersAlone)->MinTime(2.0);
BENCHMARK(BM_EngineOneBufferAt47000);
BENCHMARK(BM_EngineTwoBuffersOneOfEach);
BENCHMARK(BM_ResampledEngineAgainstLibsamplerate)->MinTime(2.0);
BENCHMARK(BM_KeylockedEngineAgainstRubberBand)->MinTime(2.0);
BENCHMARK(BM_EngineTwoKeylockedBuffers);
BENCHMARK(BM_HeadphonesCpuOnAgainstOff)->MinTime(2.0);
BENCHMARK(BM_HeadphonesCueSwitchToSound)->Iterations(20)->UseRealTime();
BENCHMARK(BM_HeadphonesDriftClocks100ppmApart)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK_MAIN();
