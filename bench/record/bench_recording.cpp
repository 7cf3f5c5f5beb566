// CPU cost of a running recording with the main window's settings: the card's capture of the sound
// output's loopback, its conversion from 44.1 to 48 kHz, and the MP3 encoding and file writes of the
// recorder. One iteration renders one second of a playing mix on the manual backend; the process's
// CPU clock (all threads) is read, so "core_fraction" is the share of one core the work takes in real
// time. Rendering alone is measured too: the recording's own share is the difference.
#include "platform/dsound/DSound.h"
#include "engine/Engine.h"
#include "platform/mmsystem/VirtualCard.h"
#include "platform/ui/HiddenWindow.h"
#include "record/AudioRecord.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <vector>

namespace {

constexpr int OutputRate = 44100;

double ProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// A device on the manual backend playing four seconds of tone and noise in a loop.
struct PlayingMix {
    PlayingMix()
    {
        engine::Engine::Reset();
        engine::Engine::UseManualBackend();
        DSoundLibrary().DirectSoundCreate(nullptr, Device.Put(), nullptr);
        Device->SetCooperativeLevel(GetDesktopWindow(), DSSCL_PRIORITY);
        std::vector<int16_t> pcm(static_cast<size_t>(4 * OutputRate) * 2);
        std::mt19937 gen(3);
        std::uniform_real_distribution<double> noise(-3000, 3000);
        for (size_t f = 0; f < pcm.size() / 2; ++f)
            for (int c = 0; c < 2; ++c)
                pcm[2 * f + c] = static_cast<int16_t>(
                    9000 * std::sin(2 * M_PI * (440.0 + 110 * c) * double(f) / OutputRate) + noise(gen));
        WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, OutputRate, OutputRate * 4, 4, 16, 0};
        DSBUFFERDESC desc{};
        desc.dwSize = sizeof(desc);
        desc.dwFlags = 0x000180E0;
        desc.dwBufferBytes = static_cast<DWORD>(pcm.size() * 2);
        desc.lpwfxFormat = &format;
        Device->CreateSoundBuffer(&desc, Buffer.Put(), nullptr);
        void *p1 = nullptr, *p2 = nullptr;
        DWORD n1 = 0, n2 = 0;
        Buffer->Lock(0, desc.dwBufferBytes, &p1, &n1, &p2, &n2, 0);
        std::memcpy(p1, pcm.data(), n1);
        Buffer->Unlock(p1, n1, p2, n2);
        Buffer->Play(0, 0, DSBPLAY_LOOPING);
    }
    ~PlayingMix()
    {
        Buffer.Reset();
        Device.Reset();
        engine::Engine::Reset();
    }
    // One second of output in 10 ms periods, as a sound device would take it.
    void RenderSecond(std::vector<uint8_t>& block, bool capture)
    {
        for (int period = 0; period < 100; ++period) {
            engine::Engine::PullInto(block.data(), OutputRate / 100);
            if (capture) {
                mmsystem::DrainCapture();
                ProcessMessages();
            }
        }
    }
    ComPtr<IDirectSound> Device;
    ComPtr<IDirectSoundBuffer> Buffer;
};

void Report(benchmark::State& state, double cpu)
{
    state.counters["core_fraction"] = benchmark::Counter(cpu / state.iterations());
    state.SetLabel("CPU seconds per second of audio");
}

void BM_RenderOnly(benchmark::State& state)
{
    PlayingMix mix;
    std::vector<uint8_t> block(OutputRate / 100 * 4);
    double cpu = 0;
    for (auto _ : state) {
        const double t0 = ProcessCpuSeconds();
        mix.RenderSecond(block, false);
        cpu += ProcessCpuSeconds() - t0;
    }
    Report(state, cpu);
}

void BM_RenderAndRecordMp3(benchmark::State& state)
{
    mmsystem::ResetCard();
    PlayingMix mix;
    const auto folder = std::filesystem::temp_directory_path() / "duodeck_bench_recording";
    std::filesystem::create_directories(folder);
    std::filesystem::remove(folder / "tem.Mp3");
    double cpu = 0;
    {
        TAudioRecord rec;
        rec.SetRecSamplesPerSec(TSamplesPerSec::s48K);
        rec.Mp3VBRQuality = LVBRQUALITY::v6;
        rec.OutType = TOutType::Mp3FileStream;
        rec.OnData = [](void*, int64_t) {};
        rec.FileName = (folder / "tem").string();
        rec.Start();
        std::vector<uint8_t> block(OutputRate / 100 * 4);
        for (auto _ : state) {
            const double t0 = ProcessCpuSeconds();
            mix.RenderSecond(block, true);
            cpu += ProcessCpuSeconds() - t0;
        }
        rec.Stop();
    }
    std::filesystem::remove_all(folder);
    Report(state, cpu);
}

BENCHMARK(BM_RenderOnly)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_RenderAndRecordMp3)->Unit(benchmark::kMillisecond)->MinTime(3.0);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
