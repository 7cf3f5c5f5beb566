// Generated files for the reader's tests: WAV files with any header values and chunks, VBR MP3,
// ID3 tags. Each returns the bytes so that a test can cut or alter them before writing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace decodetest {

struct TWavLayout {
    int FormatTag = 1;
    int Channels = 2;
    int Rate = 44100;
    int Bits = 16;
    std::vector<std::vector<uint8_t>> ChunksBefore; // whole chunks (id, size, body) put before "data"
    int64_t DataSizeField = -1;                     // the data chunk's size field; -1: the true size
};
std::vector<uint8_t> Chunk(const char id[4], const std::vector<uint8_t>& body);
std::vector<uint8_t> WavBytes(const TWavLayout& layout, const std::vector<uint8_t>& data);

// MP3 bytes through libmp3lame: CBR at kbps, or VBR when kbps is 0; with or without the Xing frame,
// with or without CRC protection of each frame.
std::vector<uint8_t> Mp3Bytes(int rate, int channels, const std::vector<int16_t>& samples, int kbps, bool xing,
                              bool crc = false);

// One Ogg Vorbis stream (libvorbisenc, quality 0.5) or Ogg Opus stream (libopus, 48 kHz, 160 kbit/s,
// the encoder's look-ahead as pre-skip, the end trimmed by the last granule position) of interleaved
// float samples; `serial` tells the streams of a chain apart.
std::vector<uint8_t> VorbisBytes(int rate, int channels, const std::vector<float>& samples, int serial = 1);
std::vector<uint8_t> OpusBytes(int channels, const std::vector<float>& samples, int serial = 1);

// An ID3v2.3 tag of about `bytes` bytes holding one private frame of deterministic noise.
std::vector<uint8_t> Id3Tag(size_t bytes);

std::vector<uint8_t> S16Bytes(const std::vector<int16_t>& samples);

} // namespace decodetest
