#include "channel_support.h"

#include <cmath>
#include <cstdlib>

namespace {

// Index of the first output frame from which `frames` frames equal the song's from `songFrom` on.
size_t FindSong(const std::vector<int16_t>& out, size_t from, const std::vector<int16_t>& song, size_t songFrom,
                size_t frames)
{
    for (size_t j = from; (j + frames) * 2 <= out.size(); ++j)
        if (FirstDifference(out, j, song, songFrom, frames) == frames)
            return j;
    return SIZE_MAX;
}

} // namespace

TEST_F(ChannelTest, AJumpWhilePlayingLandsOnItsFrameWithADeclickAtEveryBlockSize)
{
    constexpr uint32_t D = TMxDSMixerChannel::kDeclickFrames;
    for (const int block : {64, 441, 1000, 2205}) {
        auto& ch = NewChannel();
        ch.SetFileName(NoiseSong("song.wav", kRate * 10));
        ch.Play();
        auto out = Render(kRate + 1234, block);
        const size_t jumpedAt = out.size() / 2;
        const int64_t cue = kRate * 6 + 17;
        ch.JumpTo(cue);
        const auto after = Render(kRate / 2, block);
        out.insert(out.end(), after.begin(), after.end());

        // Where the song's cue frame, past the fade, is heard: the jump's first frame lies D before.
        const size_t seam = FindSong(out, jumpedAt, song, cue + D, 256) - D;
        ASSERT_LT(seam, out.size()) << "block " << block;
        EXPECT_EQ(FirstDifference(out, 0, song, 0, seam), seam) << "block " << block; // on as before until then
        for (uint32_t i = 0; i < D; ++i) {
            const float w = float(i + 1) / D;
            for (int c = 0; c < 2; ++c) {
                const auto want = std::lround(song[(cue + i) * 2 + c] * w + song[(seam + i) * 2 + c] * (1 - w));
                ASSERT_EQ(out[(seam + i) * 2 + c], want) << "block " << block << " fade frame " << i;
            }
        }
        // Heard within the splice margin past what the output holds (one engine period, 10 ms at most).
        const double ms = (seam - jumpedAt) * 1000.0 / kRate;
        EXPECT_LT(ms, TMxDSMixerChannel::kSpliceMarginMs + 10 + 1) << "block " << block;
        RecordProperty("jump_ms_block_" + std::to_string(block), std::to_string(ms));
        channels.clear();
    }
}

TEST_F(ChannelTest, ALoopOfFourBeatsKeepsItsClickOnTheSameFrameForAHundredPasses)
{
    // A click on every beat at 174 BPM: a beat is 15206.9 frames, so a grid in whole frames or whole
    // milliseconds would drift by a frame or more within a few passes.
    const double beat = 60.0 / 174 * kRate;
    const auto beatFrame = [&](int k) { return static_cast<int64_t>(std::llround(k * beat)); };
    const int64_t start = beatFrame(2);
    const int64_t length = std::llround(4 * beat);
    const int frames = static_cast<int>(start + length + kRate);
    song.assign(size_t(frames) * 2, 0);
    for (int k = 0; beatFrame(k) < frames; ++k)
        song[beatFrame(k) * 2] = song[beatFrame(k) * 2 + 1] = 20000;
    const auto path = dir.file("clicks.wav");
    testsupport::WriteWavS16(path, kRate, 2, song);

    auto& ch = NewChannel();
    ch.SetFileName(path.string());
    ch.SetFrameLoop(start, start + length);
    ch.Play();
    constexpr int kPasses = 100;
    const auto out = Render(static_cast<int>(start + length * (kPasses + 1)), 4410);
    int worst = 0;
    for (int pass = 0; pass <= kPasses; ++pass) {
        const int64_t expected = start + pass * length;
        int64_t peak = expected - beatFrame(1) / 2;
        for (int64_t f = peak; f < expected + beatFrame(1) / 2 && f * 2 < int64_t(out.size()); ++f)
            if (std::abs(out[f * 2]) > std::abs(out[peak * 2]))
                peak = f;
        worst = std::max(worst, static_cast<int>(std::abs(peak - expected)));
        ASSERT_LE(std::abs(peak - expected), 1) << "pass " << pass;
    }
    RecordProperty("loop_click_worst_frames", worst);
    EXPECT_EQ(ch.State(), csPlaying);
}
