// Channel tests: a real output mixer on the manual sound backend, songs generated on the spot, and
// a player loop that renders the mix in small blocks while the update thread keeps refilling.
#pragma once

#include "mixer/MxDSMixer.h"
#include "engine/Engine.h"
#include "platform/kernel/TimeScale.h"
#include "platform/ui/HiddenWindow.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

class ChannelTest : public ::testing::Test {
protected:
    static constexpr int kRate = 44100;

    void SetUp() override
    {
        engine::Engine::Reset();
        engine::Engine::UseManualBackend();
        MxDSMixerInitialize();
        mixer = std::make_unique<TMxDSMixer>(nullptr);
    }
    void TearDown() override
    {
        channels.clear();
        mixer.reset();
        engine::Engine::Reset();
    }

    TMxDSMixerChannel& NewChannel()
    {
        channels.push_back(std::make_unique<TMxDSMixerChannel>(mixer.get()));
        return *channels.back();
    }

    // A stereo 16-bit noise song (every sample distinct enough to show a gap or a repeat).
    std::string NoiseSong(const char* name, int frames, uint32_t seed = 7)
    {
        song = testsupport::NoiseS16(frames, 2, seed);
        const auto path = dir.file(name);
        testsupport::WriteWavS16(path, kRate, 2, song);
        return path.string();
    }

    // Renders `frames` frames in blocks of `block`, giving the update thread time between blocks
    // (it runs every 400 ms of program time; the test runs at a fast time scale).
    std::vector<int16_t> Render(int frames, int block = 2205)
    {
        std::vector<int16_t> out;
        out.reserve(static_cast<size_t>(frames) * 2);
        for (int done = 0; done < frames; done += block) {
            auto part = engine::Engine::PullS16(static_cast<uint32_t>(std::min(block, frames - done)));
            out.insert(out.end(), part.begin(), part.end());
            std::this_thread::sleep_for(std::chrono::microseconds(1500));
            ProcessMessages();
        }
        return out;
    }

    testsupport::TempDir dir;
    timescale::Scope fast{50};
    std::unique_ptr<TMxDSMixer> mixer;
    std::vector<std::unique_ptr<TMxDSMixerChannel>> channels;
    std::vector<int16_t> song;
};

// Index of the first frame from which `got` differs from `want` (frames compared as stereo pairs).
inline size_t FirstDifference(const std::vector<int16_t>& got, size_t gotFrom, const std::vector<int16_t>& want,
                              size_t wantFrom, size_t frames)
{
    for (size_t f = 0; f < frames; ++f)
        for (int c = 0; c < 2; ++c)
            if (got[(gotFrom + f) * 2 + c] != want[(wantFrom + f) * 2 + c])
                return f;
    return frames;
}

inline bool AllSilent(const std::vector<int16_t>& s, size_t fromFrame, size_t toFrame)
{
    for (size_t i = fromFrame * 2; i < toFrame * 2 && i < s.size(); ++i)
        if (s[i] != 0)
            return false;
    return true;
}
