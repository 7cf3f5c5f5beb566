// CPU cost of two channels streaming 44.1 kHz MP3 songs (refills, position table, update threads),
// beside the floor: the reader decoding the same audio straight through. The manual backend renders
// on this thread, whose CPU time is left out; a fast time scale lets a minute of audio pass in a few
// seconds. A probe thread measures how long a UI-side channel operation waits for the shared lock.
#include "decode/MxAudioFileRead.h"
#include "mixer/MxDSMixer.h"
#include "engine/Engine.h"
#include "platform/kernel/TimeScale.h"
#include "platform/ui/HiddenWindow.h"
#include "tests/support/Fixtures.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <time.h>

namespace {

constexpr int kRate = 44100;
constexpr int kSeconds = 60;

double CpuSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

struct Songs {
    testsupport::TempDir dir;
    std::string a, b;
    Songs()
    {
        a = dir.file("a.mp3").string();
        b = dir.file("b.mp3").string();
        testsupport::WriteMp3S16(a, kRate, 2, testsupport::NoiseS16(kRate * kSeconds, 2, 1, 6000));
        testsupport::WriteMp3S16(b, kRate, 2, testsupport::SineS16(kRate * kSeconds, kRate, 2, 330));
    }
};

Songs& TheSongs()
{
    static Songs songs;
    return songs;
}

// The floor: both songs decoded straight through in refill-sized blocks.
void BM_ReaderStraightThrough(benchmark::State& state)
{
    TheSongs(); // generated outside the timed loop
    std::vector<uint8_t> block(70560);
    double audio = 0;
    for (auto _ : state) {
        for (const auto* path : {&TheSongs().a, &TheSongs().b}) {
            TMxAudioFileReader reader(*path);
            while (reader.Read(block.data(), static_cast<uint32_t>(block.size())) == block.size())
                ;
            audio += reader.Duration() / 1e7;
        }
    }
    state.counters["x_realtime"] = benchmark::Counter(audio, benchmark::Counter::kIsRate);
}

// Two channels playing both songs to their end.
void BM_TwoChannelsStreaming(benchmark::State& state)
{
    TheSongs();
    double channelCpu = 0, audio = 0, renderCpu = 0;
    int64_t worstWaitUs = 0;
    for (auto _ : state) {
        engine::Engine::Reset();
        engine::Engine::UseManualBackend();
        MxDSMixerInitialize();
        timescale::Scope fast(20);
        TMxDSMixer mixer(nullptr);
        TMxDSMixerChannel left(&mixer), right(&mixer);
        left.SetFileName(TheSongs().a);
        right.SetFileName(TheSongs().b);

        std::atomic<bool> done{false};
        std::atomic<int64_t> worst{0};
        std::atomic<double> probeCpu{0};
        std::thread probe([&] {
            const double t0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            while (!done) {
                const auto t0 = std::chrono::steady_clock::now();
                left.Volume(); // lock-free read; the probe below takes the lock
                void *p1, *p2;
                uint32_t n1, n2;
                right.LockPlayData(0, 8820, p1, n1, p2, n2);
                right.UnlockPlayData();
                const auto us =
                    std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
                        .count();
                worst = std::max<int64_t>(worst, us);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            probeCpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - t0;
        });

        const double process0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const double self0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        left.Play();
        right.Play();
        std::vector<uint8_t> out;
        // 50 ms of audio per 2.5 ms of real time: 20 times real time, the pace of the time scale.
        while (left.State() == csPlaying || right.State() == csPlaying) {
            engine::Engine::PullS16(2205);
            std::this_thread::sleep_for(std::chrono::microseconds(2500));
            ProcessMessages();
        }
        const double self = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - self0;
        done = true;
        probe.join();
        // The probe measures; it is not the channels' work.
        channelCpu += CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process0 - self - probeCpu;
        renderCpu += self;
        worstWaitUs = std::max<int64_t>(worstWaitUs, worst.load());
        audio += (left.Duration() + right.Duration()) / 1000.0;
    }
    engine::Engine::Reset();
    state.counters["x_realtime"] = audio / channelCpu;
    state.counters["channel_cpu_s"] = channelCpu / state.iterations();
    state.counters["worst_ui_wait_ms"] = worstWaitUs / 1000.0;
    state.counters["render_thread_cpu_s"] = renderCpu / state.iterations();
}

} // namespace

BENCHMARK(BM_ReaderStraightThrough)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_TwoChannelsStreaming)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
