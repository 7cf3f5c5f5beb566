// Side by side with ffmpeg: decodes each file given through the reader and through ffmpeg (32-bit
// float), and prints per file the frame counts of both, the largest difference (in 16-bit steps),
// the wraps (samples of opposite sign to ffmpeg's beyond half of full scale), and how many of 10
// ordered and 30 random seeks, each followed by a read, gave other samples than the straight decode.
//   compare_decode FILE...     (exit status 1 when any file differs in length, wraps or seeks)
#include "decode/MxAudioFileRead.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<float> Ffmpeg(const std::string& file, int channels)
{
    std::string quoted;
    for (char c : file)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    const std::string command = "ffmpeg -nostdin -loglevel error -i '" + quoted + "' -map 0:a:0 -ac " +
                                std::to_string(channels) + " -f f32le -";
    std::vector<float> out;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return out;
    float buf[4096];
    size_t n;
    while ((n = std::fread(buf, sizeof(float), 4096, p)) > 0)
        out.insert(out.end(), buf, buf + n);
    pclose(p);
    return out;
}

// One sample of the reader's output as float, full scale 1.
float Sample(const TMxWaveFormat& f, const uint8_t* p)
{
    switch (f.wBitsPerSample) {
    case 8:
        return (p[0] - 128) / 128.0f;
    case 16: {
        int16_t v;
        std::memcpy(&v, p, 2);
        return v / 32768.0f;
    }
    case 24:
        return static_cast<int32_t>((uint32_t(p[0]) << 8) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 24)) /
               2147483648.0f;
    case 32: {
        if (f.wFormatTag == MX_WAVE_FORMAT_IEEE_FLOAT) {
            float v;
            std::memcpy(&v, p, 4);
            return v;
        }
        int32_t v;
        std::memcpy(&v, p, 4);
        return v / 2147483648.0f;
    }
    default: {
        double v;
        std::memcpy(&v, p, 8);
        return static_cast<float>(v);
    }
    }
}

std::vector<uint8_t> ReadAll(TMxAudioFileReader& r)
{
    const uint32_t block = 4096u * r.Format().nBlockAlign;
    std::vector<uint8_t> out, buf(block);
    while (uint32_t n = r.Read(buf.data(), block))
        out.insert(out.end(), buf.begin(), buf.begin() + n);
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    int bad = 0;
    std::printf("%-44s %5s %6s %10s %10s %8s %6s %6s\n", "file", "ch", "rate", "frames", "ffmpeg", "max-diff", "wraps",
                "seeks");
    for (int i = 1; i < argc; ++i) {
        const std::string file = argv[i];
        std::string name = file.substr(file.find_last_of('/') + 1);
        try {
            TMxAudioFileReader r(file);
            const TMxWaveFormat& f = r.Format();
            const auto all = ReadAll(r);
            const int ch = f.nChannels, bytes = f.wBitsPerSample / 8;
            const int64_t frames = static_cast<int64_t>(all.size() / f.nBlockAlign);
            const auto ref = Ffmpeg(file, ch);
            const int64_t refFrames = static_cast<int64_t>(ref.size() / ch);
            double maxDiff = 0;
            int wraps = 0;
            for (int64_t s = 0; s < std::min(frames, refFrames) * ch; ++s) {
                const float v = Sample(f, all.data() + s * bytes);
                // ffmpeg's float goes beyond full scale where 16 bits saturate: compare what 16 bits can hold.
                const float w = f.wBitsPerSample <= 16
                                    ? std::clamp(ref[static_cast<size_t>(s)], -1.0f, 32767 / 32768.0f)
                                    : ref[static_cast<size_t>(s)];
                maxDiff = std::max<double>(maxDiff, std::fabs(v - w));
                if (std::fabs(v - w) > 0.5f && v * w < 0)
                    ++wraps;
            }
            // Seeks: 10 in order through the song, then 30 at random, each followed by a read.
            int wrongSeeks = 0;
            std::mt19937 gen(1);
            std::uniform_int_distribution<int64_t> when(0, std::max<int64_t>(r.Duration() - 1, 0));
            std::vector<uint8_t> buf(2000u * f.nBlockAlign);
            for (int k = 0; k < 40; ++k) {
                const int64_t t = k < 10 ? r.Duration() * k / 10 : when(gen);
                r.Seek(t);
                const int64_t first = (t * f.nSamplesPerSec + MX_UNITS_PER_SECOND - 1) / MX_UNITS_PER_SECOND;
                const uint32_t n = r.Read(buf.data(), static_cast<uint32_t>(buf.size()));
                const size_t expect =
                    std::min<size_t>(buf.size(), all.size() - static_cast<size_t>(first) * f.nBlockAlign);
                if (n != expect || std::memcmp(buf.data(), all.data() + first * f.nBlockAlign, n) != 0 ||
                    (n > 0 && r.SampleStart() != first * MX_UNITS_PER_SECOND / f.nSamplesPerSec))
                    ++wrongSeeks;
            }
            const bool lengthOk =
                frames == refFrames && frames * MX_UNITS_PER_SECOND / f.nSamplesPerSec == r.Duration();
            bad += !lengthOk || wraps || wrongSeeks;
            std::printf("%-44s %5d %6u %10lld %10lld %8.1f %6d %6d%s\n", name.substr(0, 44).c_str(), ch,
                        f.nSamplesPerSec, static_cast<long long>(frames), static_cast<long long>(refFrames),
                        maxDiff * 32768, wraps, wrongSeeks, lengthOk ? "" : "  LENGTH");
        } catch (const EAudioReadError& e) {
            std::printf("%-44s %s\n", name.substr(0, 44).c_str(), e.Message().c_str());
        }
    }
    return bad ? 1 : 0;
}
