// The decoders behind TMxAudioFileReader: one small adapter per library (libmpg123, libvorbisfile,
// libopusfile, libsndfile, FFmpeg), each opening a byte range of an open file, telling its exact length and
// seeking to an exact frame. Internal to decode/; called under the reader's owner's serialisation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// A byte range [Begin, End) of a file read with positional reads, so that the file offset is shared
// with nobody; or, when Runs is set, those ranges one after the other. Pos is relative to the start.
struct TMxByteRange {
    int Fd = -1;
    int64_t Begin = 0;
    int64_t End = 0;
    int64_t Pos = 0;
    std::vector<std::pair<int64_t, int64_t>> Runs;

    int64_t Size() const;
    // Bytes read (fewer at the end or when the file was cut under us), -1 on a read error. Small reads
    // (a decoder fetching frame by frame) are served from a read-ahead of 64 KiB.
    int64_t Read(void* buffer, int64_t bytes);
    // lseek's contract: the new position, or -1 for a place before the start.
    int64_t Seek(int64_t offset, int whence);

private:
    int64_t ReadAt(int64_t at, uint8_t* buffer, int64_t bytes) const;
    std::vector<uint8_t> FCache;
    int64_t FCacheAt = 0; // the position of FCache's first byte
};

class TMxDecoder {
public:
    virtual ~TMxDecoder() = default;

    int Channels = 0;
    int Rate = 0;
    int64_t Frames = 0; // what the song really plays
    // The samples Read delivers: 8 (unsigned), 16, 24 (packed), 32 bits little-endian integer, or
    // 32/64-bit float when FloatSamples.
    int Bits = 16;
    bool FloatSamples = false;

    // Up to `frames` frames as the file stores them (packed, any alignment of `out`); 0 at the end.
    // Lossy decoders give 16-bit samples rounded and saturated from their float output.
    virtual int64_t Read(uint8_t* out, int64_t frames);
    // Up to `frames` frames as float (full scale ±1, may exceed it), channels in the WAVE order.
    virtual int64_t ReadFloat(float* out, int64_t frames) = 0;
    // Moves to `frame` (< Frames) exactly; raises EAudioReadError when the stream cannot get there.
    virtual void Seek(int64_t frame) = 0;

private:
    std::vector<float> FScratch;
};

// Each opens `range` of a file whose kind the reader has already recognised, and raises
// EAudioReadError with the library's code and text when it cannot.
std::unique_ptr<TMxDecoder> OpenMpegDecoder(const TMxByteRange& range, const std::string& name);
std::unique_ptr<TMxDecoder> OpenVorbisDecoder(const TMxByteRange& range, const std::string& name);
std::unique_ptr<TMxDecoder> OpenOpusDecoder(const TMxByteRange& range, const std::string& name);
// Ogg Vorbis or Opus links opened one by one and played in a row (`links` as OggLinksSharingSerials
// gives them).
std::unique_ptr<TMxDecoder> OpenOggChain(const TMxByteRange& range,
                                         const std::vector<std::pair<int64_t, int64_t>>& links, bool opus,
                                         const std::string& name);
// FFmpeg's formats; a file it cannot open or decode raises `kindCode`, the reader's name for the kind.
std::unique_ptr<TMxDecoder> OpenFfmpegDecoder(const TMxByteRange& range, uint32_t kindCode);
// libsndfile's formats. Returns null when the library does not recognise the file, with its error
// code (MXAR_E_LIBRARY_BASE + number) and text; `isMpeg` when it saw MPEG audio, which is not its job here.
std::unique_ptr<TMxDecoder> OpenSndfileDecoder(int fd, uint32_t& error, std::string& text, bool& isMpeg);
