// The engine around the mix: the loopback ring, the null backend, the supervisor that replaces a
// device gone silent and moves back when it answers, and buffers created, written and released
// while the render thread runs.
#include "platform/output/Loopback.h"
#include "platform/output/CueOutput.h"
#include "platform/output/LoopbackRing.h"
#include "platform/kernel/TimeScale.h"
#include "tests/engine/engine_helpers.h"
#include "tests/support/Fixtures.h"

#include <chrono>
#include <thread>
#include <utility>

using namespace dstest;
using engine::Engine;

TEST(LoopbackRing, ReadsInTwoRegionsAcrossTheEndAndDropsWhenFull)
{
    output::LoopbackRing ring(16);
    std::vector<uint8_t> data(12);
    for (int i = 0; i < 12; ++i)
        data[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(ring.Write(data.data(), 12, 4), 12u);
    ring.CommitRead(8);
    // 4 bytes left, room for 12: writes 12 of the 13 offered (whole 4-byte frames).
    std::vector<uint8_t> more(13, 0xAA);
    EXPECT_EQ(ring.Write(more.data(), 13, 4), 12u);
    EXPECT_EQ(ring.Write(more.data(), 4, 4), 0u); // full: dropped, not blocked
    const uint8_t *p1, *p2;
    size_t n1, n2;
    ring.ReadRegions(p1, n1, p2, n2);
    EXPECT_EQ(n1, 8u); // bytes 8..15 of the ring
    EXPECT_EQ(n2, 8u); // wrapped to the start
    EXPECT_EQ(p1[0], 8);
    EXPECT_EQ(p1[4], 0xAA);
    EXPECT_EQ(p2[0], 0xAA);
    ring.CommitRead(100); // never past what was written
    EXPECT_EQ(ring.Available(), 0u);
}

using Loopback = ManualDevice;

TEST_F(Loopback, CarriesExactlyTheRenderedMixToOneReader)
{
    auto reader = output::Loopback::Instance().Open();
    ASSERT_TRUE(reader);
    EXPECT_FALSE(output::Loopback::Instance().Open()); // one reader at a time
    EXPECT_EQ(reader->Format(), output::OutputFormat{});

    auto a = Playing(testsupport::SineS16(1000, 44100, 2, 441), 44100, 2);
    auto b = Playing(testsupport::NoiseS16(777, 2), 22050, 2);
    const auto mixed = Engine::Pull(1500);
    ASSERT_EQ(reader->Available(), 1500u);
    std::vector<uint8_t> got(mixed.size());
    EXPECT_EQ(reader->Read(got.data(), 1000), 1000u);
    EXPECT_EQ(reader->Read(got.data() + 4000, 1000), 500u);
    EXPECT_EQ(got, mixed);

    // Nobody reading: the render goes on and the ring keeps what fits.
    for (int i = 0; i < 100; ++i)
        Engine::Pull(4410);
    EXPECT_LT(reader->Available() * 4, size_t(1) << 20);

    reader.reset();
    EXPECT_TRUE(output::Loopback::Instance().Open());
}

namespace {

// A device that starts calling back after `delayMs` (program time), calls back for `periods`
// periods (-1: for ever) and then stops, as an unplugged one does; its stop takes `stopMs` (real).
// With `rate` it opens at that rate whatever is asked.
class StallingBackend final : public output::Backend {
public:
    explicit StallingBackend(int periods, double delayMs = 0, int stopMs = 0, uint32_t rate = 0)
        : FPeriods(periods), FDelayMs(delayMs), FStopMs(stopMs), FRate(rate)
    {
    }
    ~StallingBackend() override { Stop(); }
    std::string Name() const override { return "stalling test device"; }
    bool Open(output::OutputFormat& format, std::string&) override
    {
        if (FRate)
            format.Rate = FRate;
        FFormat = format;
        return true;
    }
    bool Start(output::MixSource& engine, uint64_t token, std::string&) override
    {
        FThread = std::thread([this, &engine, token] {
            std::this_thread::sleep_for(timescale::Real(FDelayMs));
            std::vector<uint8_t> block(FFormat.PeriodFrames() * FFormat.BlockAlign());
            for (int i = 0; (FPeriods < 0 || i < FPeriods) && !FStop.load(); ++i) {
                engine.Render(token, block.data(), FFormat.PeriodFrames());
                std::this_thread::sleep_for(timescale::Real(10));
            }
        });
        return true;
    }
    void Stop() override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::exchange(FStopMs, 0)));
        FStop = true;
        if (FThread.joinable())
            FThread.join();
    }

private:
    int FPeriods;
    double FDelayMs;
    int FStopMs;
    uint32_t FRate;
    output::OutputFormat FFormat;
    std::thread FThread;
    std::atomic<bool> FStop{false};
};

int CountLines(const std::string& text, const std::string& part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(Supervisor, ASilentDeviceIsReplacedByTheNullBackendAndCursorsGoOn)
{
    timescale::Scope fast(10);
    Engine::Reset();
    Engine::UseTestBackend(std::make_unique<StallingBackend>(20));
    ComPtr<IDirectSound> ds;
    ASSERT_EQ(DSoundLibrary().DirectSoundCreate(nullptr, ds.Put(), nullptr), DS_OK);
    EXPECT_EQ(Engine::Instance().BackendName(), "test");

    WAVEFORMATEX f = Pcm(44100, 2, 16);
    DSBUFFERDESC d = Desc(&f, 176400);
    ComPtr<IDirectSoundBuffer> b;
    ASSERT_EQ(ds->CreateSoundBuffer(&d, b.Put(), nullptr), DS_OK);
    ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    auto reader = output::Loopback::Instance().Open();

    // 20 periods of 10 ms, then silence; the supervisor must act within one second of program time
    // (0.1 s real at scale 10). The bound here is generous for a loaded machine.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor([] { return Engine::Instance().BackendName() == "null"; }));
    EXPECT_LT(timescale::ProgramMs(std::chrono::steady_clock::now() - start), 30000);

    const DWORD before = PlayCursor(b.Get());
    const size_t heard = reader->Available();
    EXPECT_TRUE(WaitFor([&] { return PlayCursor(b.Get()) != before; }));
    EXPECT_TRUE(WaitFor([&] { return reader->Available() > heard; }));

    // A device that cannot be made again is not retried; the next device creation stays on the
    // null backend here.
    ComPtr<IDirectSound> again;
    ASSERT_EQ(DSoundLibrary().DirectSoundCreate(nullptr, again.Put(), nullptr), DS_OK);
    EXPECT_EQ(Engine::Instance().BackendName(), "null");
    reader.reset();
    b.Reset();
    ds.Reset();
    again.Reset();
    Engine::Reset();
}

// The device stalls, is tried again, comes back slowly (within the start grace) in another format
// and keeps the sound in that format; the cursor never stops, and each change is one console line.
TEST(Supervisor, TheDeviceIsTriedAgainAndTheSoundMovesBackWhenItAnswers)
{
    timescale::Scope fast(10);
    Engine::Reset();
    int made = 0;
    Engine::UseTestBackendFactory([&made]() -> std::unique_ptr<output::Backend> {
        ++made;
        if (made == 1)
            return std::make_unique<StallingBackend>(30);
        return std::make_unique<StallingBackend>(-1, 1500, 0, 48000); // slow to start, then steady
    });
    testing::internal::CaptureStderr();
    ComPtr<IDirectSound> ds;
    ASSERT_EQ(DSoundLibrary().DirectSoundCreate(nullptr, ds.Put(), nullptr), DS_OK);
    WAVEFORMATEX f = Pcm(44100, 2, 16);
    DSBUFFERDESC d = Desc(&f, 44100 * 4 * 16); // 16 s: the cursor does not wrap in this test
    ComPtr<IDirectSoundBuffer> b;
    ASSERT_EQ(ds->CreateSoundBuffer(&d, b.Put(), nullptr), DS_OK);
    ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);

    ASSERT_TRUE(WaitFor([] { return Engine::Instance().BackendName() == "null"; }));
    DWORD last = PlayCursor(b.Get());
    // Back on the device after a retry; the slow start must not count as a stall.
    ASSERT_TRUE(WaitFor([&] {
        const DWORD now = PlayCursor(b.Get());
        EXPECT_GE(now, last);
        last = now;
        return Engine::Instance().BackendName() == "test" && made >= 2;
    }));
    std::this_thread::sleep_for(timescale::Real(4000)); // past the start grace
    EXPECT_EQ(Engine::Instance().BackendName(), "test");
    EXPECT_EQ(Engine::Instance().Format().Rate, 48000u);
    EXPECT_EQ(made, 2);
    EXPECT_GT(PlayCursor(b.Get()), last);
    b.Reset();
    ds.Reset();
    Engine::Reset();
    const std::string console = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountLines(console, "stopped responding"), 1) << console;
    EXPECT_EQ(CountLines(console, "is back"), 1) << console;
    EXPECT_EQ(CountLines(console, "\n"), 3) << console;
}

// A device back from a trial has proven itself there: a stall right after is seen as a stall, not
// as a slow start given StartGraceMs.
TEST(Supervisor, ADeviceThatStallsJustAfterComingBackIsLeftAgainWithinTheStallTime)
{
    timescale::Scope fast(10);
    Engine::Reset();
    std::atomic<int> made{0};
    Engine::UseTestBackendFactory([&made]() -> std::unique_ptr<output::Backend> {
        ++made;
        return std::make_unique<StallingBackend>(made == 3 ? -1 : 10); // 100 ms, then silent
    });
    testing::internal::CaptureStderr();
    ComPtr<IDirectSound> ds;
    ASSERT_EQ(DSoundLibrary().DirectSoundCreate(nullptr, ds.Put(), nullptr), DS_OK);
    WAVEFORMATEX f = Pcm(44100, 2, 16);
    DSBUFFERDESC d = Desc(&f, 44100 * 4);
    ComPtr<IDirectSoundBuffer> b;
    ASSERT_EQ(ds->CreateSoundBuffer(&d, b.Put(), nullptr), DS_OK);
    ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    ASSERT_TRUE(WaitFor([&] { return made >= 2; }));
    // Its 100 ms, StallMs, a retry: well under StartGraceMs.
    EXPECT_TRUE(WaitFor([&] { return made >= 3; },
                        std::chrono::duration_cast<std::chrono::milliseconds>(timescale::Real(2000))));
    b.Reset();
    ds.Reset();
    Engine::Reset();
    const std::string console = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountLines(console, "is back"), 1) << console;
}

// Close never waits for a device that will not let go.
TEST(Supervisor, AStopThatHangsIsAbandonedWithinTheDeadline)
{
    Engine::Reset();
    Engine::UseTestBackend(std::make_unique<StallingBackend>(-1, 0, 3000));
    ComPtr<IDirectSound> ds;
    ASSERT_EQ(DSoundLibrary().DirectSoundCreate(nullptr, ds.Put(), nullptr), DS_OK);
    ds.Reset();
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    Engine::Reset();
    const auto took = std::chrono::steady_clock::now() - start;
    testing::internal::GetCapturedStderr();
    EXPECT_LT(took, std::chrono::milliseconds(500));
    EXPECT_GE(took, std::chrono::milliseconds(Engine::StopDeadlineMs - 50));
}

TEST(RenderThread, BuffersComeAndGoAndAreWrittenWhileTheNullBackendRenders)
{
    // Real-time pace: the writer must stay within one lap of the render, as the channel does.
    Engine::Reset();
    ComPtr<IDirectSound> ds;
    ASSERT_EQ(DSoundLibrary().DirectSoundCreate(nullptr, ds.Put(), nullptr), DS_OK);
    ASSERT_EQ(Engine::Instance().BackendName(), "null");

    WAVEFORMATEX f = Pcm(22050, 2, 16);
    std::vector<int16_t> tone = testsupport::SineS16(22050, 22050, 2, 500);
    DSBUFFERDESC d = Desc(&f, static_cast<DWORD>(tone.size() * 2));
    ComPtr<IDirectSoundBuffer> steady;
    ASSERT_EQ(ds->CreateSoundBuffer(&d, steady.Put(), nullptr), DS_OK);
    ASSERT_EQ(steady->Play(0, 0, DSBPLAY_LOOPING), DS_OK);

    // A writer refills what was played, as the channel does, while buffers are created, started
    // and released (playing) around it.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    DWORD written = 0;
    int cycles = 0;
    while (std::chrono::steady_clock::now() < end) {
        ComPtr<IDirectSoundBuffer> passing;
        ASSERT_EQ(ds->CreateSoundBuffer(&d, passing.Put(), nullptr), DS_OK);
        Write(passing.Get(), 0, tone.data(), d.dwBufferBytes);
        ASSERT_EQ(passing->SetFrequency(cycles % 2 ? 44100 : 30000), DS_OK);
        ASSERT_EQ(passing->Play(0, 0, DSBPLAY_LOOPING), DS_OK);

        const DWORD play = PlayCursor(steady.Get());
        const DWORD size = d.dwBufferBytes;
        const DWORD behind = (play + size - written) % size;
        if (behind > 0) {
            std::vector<uint8_t> bytes(behind);
            std::memcpy(bytes.data(), reinterpret_cast<uint8_t*>(tone.data()), std::min(behind, size));
            Write(steady.Get(), written, bytes.data(), behind);
            written = play;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        passing.Reset(); // released while playing
        ++cycles;
    }
    EXPECT_GT(cycles, 10);
    steady.Reset();
    ds.Reset();
    Engine::Reset();
}

TEST(RenderThread, TheNullBackendKeepsRealTimePaceScaledByTheTimeScale)
{
    timescale::Scope fast(10);
    Engine::Reset();
    ComPtr<IDirectSound> ds;
    ASSERT_EQ(DSoundLibrary().DirectSoundCreate(nullptr, ds.Put(), nullptr), DS_OK);
    WAVEFORMATEX f = Pcm(44100, 2, 16);
    DSBUFFERDESC d = Desc(&f, 44100 * 4 * 4); // 4 s: no wrap in this test
    ComPtr<IDirectSoundBuffer> b;
    ASSERT_EQ(ds->CreateSoundBuffer(&d, b.Put(), nullptr), DS_OK);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    ASSERT_TRUE(WaitFor([&] { return PlayCursor(b.Get()) >= 44100 * 4 / 2; }));
    // Half a second of program time cannot pass in much less than 50 ms at scale 10. The backend
    // may render a few periods at once to catch up after a late wake-up, hence the margin; a
    // backend without pace would get there at once. A loaded machine only makes it slower.
    const double programMs = timescale::ProgramMs(std::chrono::steady_clock::now() - start);
    EXPECT_GE(programMs, 400);
    b.Reset();
    ds.Reset();
    Engine::Reset();
}

TEST(Supervisor, HeadphonesThatStopAnsweringAreTriedAgainWhileTheRoomPlaysOn)
{
    timescale::Scope fast(10);
    Engine::Reset();
    setenv("DUODECK_AUDIO_BACKEND", "null", 1);
    std::atomic<int> made{0};
    output::CueOutput& phones = Engine::Instance().Headphones();
    // The first headphones device answers for 20 periods, the next ones for ever.
    phones.UseTestDevice([&] { return std::make_unique<StallingBackend>(made++ == 0 ? 20 : -1); });
    ComPtr<IDirectSound> ds;
    ASSERT_EQ(DSoundLibrary().DirectSoundCreate(nullptr, ds.Put(), nullptr), DS_OK);
    WAVEFORMATEX f = Pcm(44100, 2, 16);
    DSBUFFERDESC d = Desc(&f, 176400);
    ComPtr<IDirectSoundBuffer> b;
    ASSERT_EQ(ds->CreateSoundBuffer(&d, b.Put(), nullptr), DS_OK);
    ASSERT_EQ(dstest::Voice(b.Get()).SetCue(1), DS_OK);
    ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    testing::internal::CaptureStderr();
    phones.Choose({output::CueTarget::Kind::Sink, "test", "test"});

    EXPECT_TRUE(WaitFor([&] { return made.load() >= 2; }));
    const DWORD before = PlayCursor(b.Get());
    EXPECT_TRUE(WaitFor([&] { return PlayCursor(b.Get()) != before; }));
    EXPECT_TRUE(WaitFor([&] { return phones.Playing(); }));
    EXPECT_EQ(Engine::Instance().BackendName(), "null");
    const std::string console = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountLines(console, "stopped responding"), 1) << console;
    b.Reset();
    ds.Reset();
    Engine::Reset();
    unsetenv("DUODECK_AUDIO_BACKEND");
}
