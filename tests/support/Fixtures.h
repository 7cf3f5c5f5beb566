// Test fixtures shared by every layer: temporary folders, generated audio and a full disk.
// Nothing here is downloaded; every song a test needs is synthesised on the spot.
#pragma once

#include <sys/resource.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// The process's files may not grow beyond `limit` bytes while this lives: a full disk. Writes past
// the limit fail with EFBIG ("File too large"); the signal that would end the process is ignored.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit FOld{};
    void (*FOldSignal)(int) = nullptr;
};

// A fresh folder under the system's temporary folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return FPath; }
    std::filesystem::path file(const std::string& name) const { return FPath / name; }

private:
    std::filesystem::path FPath;
};

// Interleaved 16-bit signed frames of a sine tone: `frames` frames at `rate` Hz, `channels` channels,
// amplitude in full-scale units (0..32767). Channel c is phase-shifted by c quarter periods so that
// channels can be told apart.
std::vector<int16_t> SineS16(int frames, int rate, int channels, double hz, double amplitude = 12000);

// Deterministic white noise, 16-bit signed interleaved.
std::vector<int16_t> NoiseS16(int frames, int channels, uint32_t seed = 1, double amplitude = 8000);

// A plain 44-byte-header WAV file from raw sample bytes as given (format tag 1: integer PCM, 3: float).
void WriteWavBytes(const std::filesystem::path& file, int rate, int channels, int bits,
                   const std::vector<uint8_t>& data, int formatTag = 1);
void WriteWavS16(const std::filesystem::path& file, int rate, int channels, const std::vector<int16_t>& samples);

// An MP3 file encoded through libmp3lame (CBR at `kbps`, with the Xing/Info header unless `xing` is false).
void WriteMp3S16(const std::filesystem::path& file, int rate, int channels, const std::vector<int16_t>& samples,
                 int kbps = 128, bool xing = true);

// The whole file as bytes / a file from bytes.
std::vector<uint8_t> ReadBytes(const std::filesystem::path& file);
void WriteBytes(const std::filesystem::path& file, const std::vector<uint8_t>& bytes);

// Frequency estimate of one channel of interleaved float or int16 samples, by counting rising zero crossings.
double ZeroCrossingHz(const std::vector<float>& interleaved, int channels, int channel, int rate);
// Amplitude of the `hz` component of one channel of interleaved 16-bit samples (Goertzel over the
// whole signal): a full-scale-units figure comparable with the tone's amplitude.
double ToneLevel(const std::vector<int16_t>& interleaved, int channels, int channel, int rate, double hz);
// Root mean square of one channel.
double Rms(const std::vector<float>& interleaved, int channels, int channel);

} // namespace testsupport
