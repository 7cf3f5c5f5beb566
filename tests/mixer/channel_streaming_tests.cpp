#include "channel_support.h"

#include "decode/MxAudioFileRead.h"

TEST_F(ChannelTest, ASongPlaysOutBitExactWithoutGapsThenStopsAndReportsTheEndOnce)
{
    auto& ch = NewChannel();
    const int frames = kRate * 3 + 123; // several refills, odd length
    ch.SetFileName(NoiseSong("song.wav", frames));
    int ends = 0;
    std::thread::id endThread;
    ch.OnPlayEnd = [&](TMxDSMixerChannel* sender) {
        EXPECT_EQ(sender, &ch);
        ++ends;
        endThread = std::this_thread::get_id();
    };
    EXPECT_EQ(ch.BufferSize(), 0u);
    ch.Play();
    EXPECT_EQ(ch.State(), csPlaying);
    EXPECT_EQ(ch.BufferSize(), 705600u);
    EXPECT_EQ(ch.EndThreshold(), 282240u);
    EXPECT_EQ(ch.SilenceChunk(), 141120u);

    const auto out = Render(frames + kRate * 4);
    EXPECT_EQ(FirstDifference(out, 0, song, 0, frames), static_cast<size_t>(frames));
    EXPECT_TRUE(AllSilent(out, frames, out.size() / 2));

    EXPECT_EQ(ch.State(), csStopped);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(endThread, std::this_thread::get_id()); // delivered on the UI (test) thread
    EXPECT_EQ(ch.Position(), ch.PlayFrom());
    Render(kRate);
    EXPECT_EQ(ends, 1);
}

TEST_F(ChannelTest, LoopPlaysTheRangeAgainWithoutAGapAndNeverEnds)
{
    auto& ch = NewChannel();
    const int frames = kRate + 777;
    ch.SetFileName(NoiseSong("loop.wav", frames));
    int ends = 0;
    ch.OnPlayEnd = [&](TMxDSMixerChannel*) { ++ends; };
    ch.SetLoop(true);
    ch.Play();
    const auto out = Render(frames * 3);
    for (int pass = 0; pass < 3; ++pass)
        EXPECT_EQ(FirstDifference(out, static_cast<size_t>(pass) * frames, song, 0, frames),
                  static_cast<size_t>(frames))
            << "pass " << pass;
    EXPECT_EQ(ends, 0);
    EXPECT_EQ(ch.State(), csPlaying);
}

TEST_F(ChannelTest, ASongOfSeveralBufferLapsPlaysOutWithItsPositionInStepAndEndsOnTime)
{
    auto& ch = NewChannel();
    // Three laps of the 4-second buffer and a little: the end marker lands just past a wrap.
    const int frames = kRate * 12 + 321;
    ch.SetFileName(NoiseSong("long.wav", frames));
    int ends = 0;
    ch.OnPlayEnd = [&](TMxDSMixerChannel*) { ++ends; };
    ch.Play();

    const int block = 2205;
    std::vector<int16_t> out;
    int endedAt = -1;
    int32_t last = 0, worst = 0;
    bool monotonic = true;
    for (int done = 0; done < frames + kRate * 2; done += block) {
        const auto part = engine::Engine::PullS16(block);
        out.insert(out.end(), part.begin(), part.end());
        std::this_thread::sleep_for(std::chrono::microseconds(1500));
        ProcessMessages();
        if (ends > 0) {
            if (endedAt < 0)
                endedAt = done + block;
            continue;
        }
        const int32_t position = ch.Position();
        if (ch.State() != csPlaying)
            continue; // stopped at its end (the position reads 0): the notification is on its way
        const int32_t played = static_cast<int32_t>(std::min(done + block, frames) * 1000LL / kRate);
        monotonic = monotonic && position >= last;
        worst = std::max(worst, std::abs(position - played));
        last = position;
    }
    EXPECT_EQ(FirstDifference(out, 0, song, 0, frames), static_cast<size_t>(frames));
    EXPECT_TRUE(AllSilent(out, frames, out.size() / 2));
    EXPECT_TRUE(monotonic);
    EXPECT_LE(worst, 50);
    EXPECT_EQ(ends, 1);
    // Within one refill period (400 ms) of the song's last frame, give or take the block it ended in.
    EXPECT_GE(endedAt, frames);
    EXPECT_LE(endedAt, frames + kRate * 4 / 10 + block);
}

TEST_F(ChannelTest, LoopOverARangeLongerThanTheBufferRepeatsItExactly)
{
    auto& ch = NewChannel();
    ch.SetFileName(NoiseSong("range-loop.wav", kRate * 15));
    ch.SetPlayFrom(3000);
    ch.SetPlayTo(9000); // six seconds: each pass wraps the 4-second buffer
    ch.SetLoop(true);
    int ends = 0;
    ch.OnPlayEnd = [&](TMxDSMixerChannel*) { ++ends; };
    ch.Play();
    const size_t range = kRate * 6;
    const auto out = Render(static_cast<int>(range) * 5 / 2);
    for (size_t pass = 0; pass < 2; ++pass)
        EXPECT_EQ(FirstDifference(out, pass * range, song, kRate * 3, range), range) << "pass " << pass;
    EXPECT_EQ(FirstDifference(out, 2 * range, song, kRate * 3, range / 2), range / 2);
    const int32_t position = ch.Position();
    EXPECT_NEAR(position, 3000 + 3000, 50);
    EXPECT_EQ(ends, 0);
}

TEST_F(ChannelTest, PauseResumesAtTheSameSampleStopRestartsAtPlayFrom)
{
    auto& ch = NewChannel();
    const int frames = kRate * 2;
    ch.SetFileName(NoiseSong("pause.wav", frames));
    ch.Play();
    auto first = Render(kRate / 2);
    ch.Pause();
    EXPECT_EQ(ch.State(), csPaused);
    const auto paused = Render(kRate / 4);
    EXPECT_TRUE(AllSilent(paused, 0, paused.size() / 2));
    ch.Play();
    const auto second = Render(kRate / 2);
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(FirstDifference(first, 0, song, 0, kRate), static_cast<size_t>(kRate));

    ch.Stop();
    EXPECT_EQ(ch.State(), csStopped);
    EXPECT_EQ(ch.Position(), 0);
    ch.Play();
    const auto again = Render(kRate / 4);
    EXPECT_EQ(FirstDifference(again, 0, song, 0, kRate / 4), static_cast<size_t>(kRate / 4));
}

TEST_F(ChannelTest, SettingThePositionStopsAndPlayStartsThere)
{
    auto& ch = NewChannel();
    const int frames = kRate * 35;
    ch.SetFileName(NoiseSong("long.wav", frames));
    EXPECT_EQ(ch.Duration(), frames * 1000LL / kRate);
    ch.Play();
    Render(kRate / 2);
    const int32_t pos = ch.Position();
    EXPECT_GE(pos, 400);
    EXPECT_LE(pos, 600);
    ch.SetPosition(30000);
    EXPECT_EQ(ch.State(), csStopped);
    EXPECT_EQ(ch.Position(), 30000);
    ch.Play();
    const auto out = Render(kRate / 10);
    EXPECT_EQ(FirstDifference(out, 0, song, static_cast<size_t>(kRate) * 30, kRate / 10),
              static_cast<size_t>(kRate / 10));
    EXPECT_GE(ch.Position(), 30000);
}

TEST_F(ChannelTest, PlayingRangeFollowsPlayFromAndPlayTo)
{
    auto& ch = NewChannel();
    ch.SetFileName(NoiseSong("range.wav", kRate * 25));
    ch.SetPlayFrom(5000);
    EXPECT_EQ(ch.PlayFrom(), 5000);
    EXPECT_EQ(ch.PlayTo(), 0); // the reader keeps a 10 ms range from 5 s
    ch.SetPlayTo(20000);
    EXPECT_EQ(ch.PlayTo(), 20000);
    EXPECT_EQ(ch.Position(), 5000);

    ch.SetPlayFrom(19000);
    ch.SetPlayTo(19500);
    int ends = 0;
    ch.OnPlayEnd = [&](TMxDSMixerChannel*) { ++ends; };
    ch.Play();
    const auto out = Render(kRate * 2);
    EXPECT_EQ(FirstDifference(out, 0, song, static_cast<size_t>(kRate) * 19, kRate / 2),
              static_cast<size_t>(kRate / 2));
    EXPECT_TRUE(AllSilent(out, kRate / 2, kRate * 2));

    // Values written before a song is opened are stored, and reset when one opens.
    auto& other = NewChannel();
    other.SetPlayFrom(1234);
    other.SetVolume(-500);
    other.SetPan(300);
    other.SetFrequency(22050);
    EXPECT_EQ(other.PlayFrom(), 1234);
    other.SetFileName(dir.file("range.wav").string());
    EXPECT_EQ(other.PlayFrom(), 0);
    EXPECT_EQ(other.Volume(), 0);
    EXPECT_EQ(other.Pan(), 0);
    EXPECT_EQ(other.Frequency(), 44100u);
}

TEST_F(ChannelTest, OpeningRefusesEmptySongsAndMissingFiles)
{
    auto& ch = NewChannel();
    auto expectRefusal = [&](const std::string& path, const char* message) {
        try {
            ch.SetFileName(path);
            FAIL() << "no refusal for " << path;
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), message);
        }
        EXPECT_EQ(ch.FileName(), "");
    };
    // Less than 1 ms: 40 frames at 44.1 kHz.
    testsupport::WriteWavS16(dir.file("tiny.wav"), kRate, 2, std::vector<int16_t>(80, 100));
    expectRefusal(dir.file("tiny.wav").string(), "Audio file is empty.");

    auto& empty = NewChannel();
    try {
        empty.Play();
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "No file opened");
    }
    EXPECT_THROW(ch.SetFileName(dir.file("missing.wav").string()), EAudioReadError);
}

TEST_F(ChannelTest, SongsOfManyChannelsWidthsAndRatesPlay)
{
    // A tone of 440 Hz on the (front) left and one of 1000 Hz on the (front) right, in the file's own
    // sample format; what plays is the song mixed down to stereo, at the level the fold gives.
    struct Case {
        const char* name;
        int rate, channels, bits, tag;
        double level; // of each tone after the mix-down
    };
    const Case cases[] = {{"6ch-24bit-192k.wav", 192000, 6, 24, 1, 0.5 / (1 + 2 * 0.70710678)},
                          {"mono-float-8k.wav", 8000, 1, 32, 3, 0.5},
                          {"stereo-32bit-48k.wav", 48000, 2, 32, 1, 0.5},
                          {"4ch-8bit-22k.wav", 22050, 4, 8, 1, 0.5 / (1 + 0.70710678)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> data;
        for (int f = 0; f < c.rate * 2; ++f)
            for (int k = 0; k < c.channels; ++k) {
                const double hz = k == 0 ? 440 : k == 1 ? 1000 : 0;
                const double v = hz ? 0.5 * std::sin(2 * M_PI * hz * f / c.rate) : 0;
                if (c.tag == 3) {
                    const float x = static_cast<float>(v);
                    const auto* p = reinterpret_cast<const uint8_t*>(&x);
                    data.insert(data.end(), p, p + 4);
                } else if (c.bits == 8) {
                    data.push_back(static_cast<uint8_t>(128 + std::lrint(v * 127)));
                } else {
                    const auto s = static_cast<int64_t>(std::lrint(v * std::ldexp(1.0, c.bits - 1)));
                    for (int b = 0; b < c.bits / 8; ++b)
                        data.push_back(static_cast<uint8_t>(s >> (8 * b)));
                }
            }
        testsupport::WriteWavBytes(dir.file(c.name), c.rate, c.channels, c.bits, data, c.tag);
        auto& ch = NewChannel();
        ch.SetFileName(dir.file(c.name).string());
        EXPECT_EQ(ch.Channels(), c.channels == 1 ? 1u : 2u);
        EXPECT_EQ(ch.BitsPerSample(), c.bits == 8 && c.channels <= 2 ? 8u : 16u);
        EXPECT_EQ(ch.SamplesPerSec(), c.rate > 100000 ? uint32_t(c.rate / 2) : uint32_t(c.rate));
        EXPECT_EQ(ch.Duration(), 2000);
        ch.Play();
        const auto out = Render(kRate);
        ch.Stop();
        const std::vector<int16_t> tail(out.begin() + kRate / 2, out.end()); // past the first refill
        const double full = 32768 * c.level;
        EXPECT_NEAR(testsupport::ToneLevel(tail, 2, 0, kRate, 440), full, full * 0.05);
        if (c.channels > 1) {
            EXPECT_NEAR(testsupport::ToneLevel(tail, 2, 1, kRate, 1000), full, full * 0.05);
            EXPECT_LT(testsupport::ToneLevel(tail, 2, 0, kRate, 1000), full * 0.02);
        }
    }
}

TEST_F(ChannelTest, EightBitMonoSongIsFollowedBySilenceOf128)
{
    auto& ch = NewChannel();
    const int frames = 11025; // 1 s at 11025 Hz
    std::vector<uint8_t> data(frames);
    uint32_t x = 12345;
    for (auto& b : data) { // never 128, so the song's end is plain to see
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 24) | 1u;
        if (b == 129)
            b = 131;
    }
    testsupport::WriteWavBytes(dir.file("u8.wav"), 11025, 1, 8, data);
    ch.SetFileName(dir.file("u8.wav").string());
    ch.Play();
    Render(kRate / 2);
    void *p1 = nullptr, *p2 = nullptr;
    uint32_t n1 = 0, n2 = 0;
    // Right after a refill nothing counts as written ahead; let the cursor move on first.
    for (int tries = 0; tries < 20 && !p1; ++tries) {
        engine::Engine::PullS16(441);
        ch.LockPlayData(0, 30000, p1, n1, p2, n2);
        if (!p1)
            ch.UnlockPlayData();
    }
    ASSERT_NE(p1, nullptr);
    const auto* lent = static_cast<const uint8_t*>(p1);
    // The loan starts inside the song and runs into the silence after its last byte.
    size_t songBytes = 0;
    while (songBytes < n1 && lent[songBytes] != 128)
        ++songBytes;
    ASSERT_GT(songBytes, 0u);
    ASSERT_LT(songBytes, n1);
    EXPECT_EQ(std::memcmp(lent, data.data() + (frames - songBytes), songBytes), 0);
    for (size_t i = songBytes; i < n1; ++i)
        ASSERT_EQ(lent[i], 128) << i;
    ch.UnlockPlayData();
}

TEST_F(ChannelTest, ASongShorterThanOneUpdateEndsOneBufferLengthLater)
{
    auto& ch = NewChannel();
    const int frames = kRate / 10; // 100 ms
    ch.SetFileName(NoiseSong("short.wav", frames));
    int ends = 0;
    ch.OnPlayEnd = [&](TMxDSMixerChannel*) { ++ends; };
    ch.Play();
    // Past the end in one block, before the first update (one period after Play) can look.
    auto out = engine::Engine::PullS16(static_cast<uint32_t>(frames * 2));
    const auto rest = Render(kRate * 3);
    out.insert(out.end(), rest.begin(), rest.end());
    EXPECT_EQ(FirstDifference(out, 0, song, 0, frames), static_cast<size_t>(frames));
    EXPECT_TRUE(AllSilent(out, frames, out.size() / 2));
    EXPECT_EQ(ends, 0) << "the cursor passed the marker before any update saw it coming";
    Render(kRate * 2);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(ch.State(), csStopped);
}

TEST_F(ChannelTest, LockPlayDataLendsWhatIsAboutToBePlayed)
{
    auto& ch = NewChannel();
    const int frames = kRate * 2;
    ch.SetFileName(NoiseSong("lend.wav", frames));
    void *p1, *p2;
    uint32_t n1, n2;
    ch.LockPlayData(0, 4000, p1, n1, p2, n2); // before the first Play: nothing
    EXPECT_EQ(p1, nullptr);
    EXPECT_EQ(n1 + n2, 0u);
    ch.Play();
    Render(kRate / 2);
    // Right after a refill nothing counts as written ahead; let the cursor move on first.
    uint32_t cursorBytes = static_cast<uint32_t>(kRate / 2) * 4;
    for (int tries = 0; tries < 20 && !p1; ++tries) {
        engine::Engine::PullS16(441);
        cursorBytes += 441 * 4;
        ch.LockPlayData(0, 4000, p1, n1, p2, n2);
        if (!p1)
            ch.UnlockPlayData();
    }
    ASSERT_NE(p1, nullptr);
    EXPECT_EQ(n1, 4000u);
    EXPECT_EQ(std::memcmp(p1, reinterpret_cast<const uint8_t*>(song.data()) + cursorBytes, 4000), 0);
    ch.UnlockPlayData();

    // Crossing the end of the buffer: two regions that add up to the request.
    // The update thread writes the start of the buffer again on its own schedule, which a loaded
    // machine delays: until then the written data ends at the buffer's end, so wait for it. A refill
    // that lands meanwhile leaves nothing written ahead of the cursor, so move the cursor on then.
    uint32_t toEnd = ch.BufferSize() - cursorBytes;
    for (int tries = 0; tries < 1000; ++tries) {
        ch.LockPlayData(toEnd - 400, 1000, p1, n1, p2, n2);
        if (n2 > 0)
            break;
        ch.UnlockPlayData();
        if (n1 == 0) {
            engine::Engine::PullS16(441);
            cursorBytes += 441 * 4;
            toEnd = ch.BufferSize() - cursorBytes;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            ProcessMessages();
        }
    }
    EXPECT_EQ(n1, 400u);
    EXPECT_EQ(n2, 600u);
    EXPECT_NE(p2, nullptr);
    ch.UnlockPlayData();

    // While lent, refills write silence ahead instead of song data, and the loan stays unchanged.
    ch.LockPlayData(0, 4000, p1, n1, p2, n2);
    std::vector<uint8_t> before(static_cast<uint8_t*>(p1), static_cast<uint8_t*>(p1) + n1);
    Render(kRate * 2);
    EXPECT_EQ(std::memcmp(p1, before.data(), n1), 0);
    ch.UnlockPlayData();
    // At or beyond the written data: nothing.
    ch.LockPlayData(ch.BufferSize(), 100, p1, n1, p2, n2);
    EXPECT_EQ(p1, nullptr);
}

TEST_F(ChannelTest, MixerCloseReleasesPlayingBuffersAndPlayReopens)
{
    auto& ch = NewChannel();
    ch.SetFileName(NoiseSong("close.wav", kRate * 2));
    ch.Play();
    Render(kRate / 4);
    mixer->Close();
    EXPECT_EQ(ch.State(), csStopped);
    EXPECT_FALSE(mixer->IsOpen());
    const auto quiet = Render(kRate / 4);
    EXPECT_TRUE(AllSilent(quiet, 0, quiet.size() / 2));
    ch.Play();
    EXPECT_TRUE(mixer->IsOpen());
    const auto out = Render(kRate / 4);
    EXPECT_EQ(FirstDifference(out, 0, song, 0, kRate / 4), static_cast<size_t>(kRate / 4));
}
