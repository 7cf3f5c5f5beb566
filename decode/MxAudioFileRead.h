// TMxAudioFileReader decodes one song file to PCM and hands it out in caller-sized blocks with exact
// stream times (100 ns units), with seeking and an optional reading range. It has no lock: its owner
// (a mixer channel) serialises every call under the channel mutex; any one thread at a time may call it.
#pragma once

#include "platform/kernel/Exceptions.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The PCM format a reader delivers, laid out like the sound API's WAVEFORMATEX (same fields, 18 bytes)
// so that the mixer can copy it field by field. Kept here so that decoding does not depend on the
// sound output layer.
#pragma pack(push, 1)
struct TMxWaveFormat {
    uint16_t wFormatTag; // MX_WAVE_FORMAT_PCM or MX_WAVE_FORMAT_IEEE_FLOAT
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec; // nSamplesPerSec * nBlockAlign
    uint16_t nBlockAlign;     // bytes per interleaved frame
    uint16_t wBitsPerSample;  // 8 (unsigned), 16 (signed LE), or the file's own 24, 32, 64
    uint16_t cbSize;          // always 0
};
#pragma pack(pop)
static_assert(sizeof(TMxWaveFormat) == 18);

constexpr uint16_t MX_WAVE_FORMAT_PCM = 1;
constexpr uint16_t MX_WAVE_FORMAT_IEEE_FLOAT = 3;

// Stream time: 100 ns units.
constexpr int64_t MX_UNITS_PER_SECOND = 10'000'000;

// Result codes the reader raises or tests itself (the rest of the message table is in the .cpp).
constexpr uint32_t MS_S_ENDOFSTREAM = 0x00040003;
constexpr uint32_t MS_E_NOSTREAM = 0x80040403;
constexpr uint32_t MS_E_NOSEEKING = 0x80040404;
constexpr uint32_t MXAR_E_BUFFERSIZE = 0x08000001; // "Invalid buffer size."
constexpr uint32_t MXAR_E_NOTREGULAR = 0x08000002; // the path names no regular file
constexpr uint32_t MXAR_E_BADFORMAT = 0x08000003;  // the file declares no channels or no rate
constexpr uint32_t MXAR_E_NOAUDIO = 0x08000004;    // a frame-count header and no whole frame after it
// Kinds of file FFmpeg decodes (when it cannot: the first four) or no library here decodes, one code
// each so that the message names the kind.
constexpr uint32_t MXAR_E_AAC = 0x08000010;
constexpr uint32_t MXAR_E_MP4 = 0x08000011;
constexpr uint32_t MXAR_E_MATROSKA = 0x08000012;
constexpr uint32_t MXAR_E_ASF = 0x08000013;
constexpr uint32_t MXAR_E_OGGFLAC = 0x08000014;
constexpr uint32_t MXAR_E_OGGOTHER = 0x08000015;
// Failures of a decoding library: its base + the library's own error number (negated where negative).
constexpr uint32_t MXAR_E_LIBRARY_BASE = 0xA0DE0000; // libsndfile
constexpr uint32_t MXAR_E_MPG123_BASE = 0xA0E10000;
constexpr uint32_t MXAR_E_VORBIS_BASE = 0xA0E20000;
constexpr uint32_t MXAR_E_OPUS_BASE = 0xA0E30000;
// Failures of the operating system while opening: this base + errno.
constexpr uint32_t MXAR_E_SYSTEM_BASE = 0xA0DF0000;

// A failure of the reader; ErrorCode is the result code the message was chosen by.
class EAudioReadError : public Exception {
public:
    EAudioReadError(std::string message, uint32_t errorCode) : Exception(std::move(message)), FErrorCode(errorCode) {}
    uint32_t ErrorCode() const { return FErrorCode; }

private:
    uint32_t FErrorCode;
};

// The message for a result code: the table's sentence, the library's or the system's own text for
// codes in their ranges, otherwise "Unrecognized error value.".
std::string AMErrorText(uint32_t code);
// Returns for 0; raises EAudioReadError with AMErrorText(code) for every other code.
void AMCheck(uint32_t code);

class TMxDecoder;
class TMxConverter;

// What Format may be. AsDecoded: stored samples as stored (8, 16, 24, 32-bit integer, 32/64-bit float,
// any channels and rate), everything decoded from a codec as 16-bit. Playable: what a sound buffer
// takes: 8- or 16-bit integer, mono or stereo (more channels mixed down), at most 100 kHz (a higher
// rate is divided by the smallest whole factor that brings it there).
enum class TMxReaderOutput { AsDecoded, Playable };

class TMxAudioFileReader {
public:
    // Opens and identifies the file by its content (not its name). Raises EAudioReadError; nothing
    // stays open then. Only regular files are opened, so a FIFO or a device never blocks the caller.
    explicit TMxAudioFileReader(const std::string& FileName, TMxReaderOutput Output = TMxReaderOutput::AsDecoded);
    ~TMxAudioFileReader();
    TMxAudioFileReader(const TMxAudioFileReader&) = delete;
    TMxAudioFileReader& operator=(const TMxAudioFileReader&) = delete;

    // Decodes up to Size bytes (a whole number of frames, not 0, else "Invalid buffer size.") into
    // Buffer. Blocks are full until the end of the stream or of the range, then one short block, then 0.
    // Sets SampleStart/SampleEnd/Position. Allocates nothing.
    uint32_t Read(void* Buffer, uint32_t Size);
    // Moves to the first frame at or after Time (100 ns), clamped to Start, Duration and the range end.
    void Seek(int64_t Time);
    void SetStart(int64_t Value);  // negative → 0; seeks forward when Position is before it
    void SetLength(int64_t Value); // 0 = no range end; otherwise clamped to [10 ms, 10^15]

    const TMxWaveFormat& Format() const { return FFormat; }
    int64_t Duration() const { return FDuration; }
    int64_t Position() const { return FPosition; }
    int64_t Start() const { return FStart; }
    int64_t Length() const { return FLength; }
    int64_t SampleStart() const { return FSampleStart; }
    int64_t SampleEnd() const { return FSampleEnd; }
    const std::string& FileName() const { return FFileName; }
    // Positions in frames of Format: the next frame Read gives, and the song's length. SeekFrame
    // seeks to the frame's own start time, so it lands on that frame exactly.
    int64_t Frame() const { return FFrame; }
    int64_t Frames() const { return FFrames; }
    void SeekFrame(int64_t frame) { Seek(FrameTime(frame)); }

private:
    void Open(TMxReaderOutput output);
    void Close();
    int64_t FrameTime(int64_t frame) const; // start time of a frame, truncated
    int64_t TimeFrame(int64_t time) const;  // first frame starting at or after time
    int64_t EndFrame(int64_t time) const;   // frames that end at or before time

    std::string FFileName;
    TMxWaveFormat FFormat{};
    int64_t FDuration = 0;
    int64_t FPosition = 0;
    int64_t FStart = 0;
    int64_t FLength = 0;
    int64_t FSampleStart = 0;
    int64_t FSampleEnd = 0;

    int FFd = -1;
    std::unique_ptr<TMxDecoder> FDecoder;
    std::unique_ptr<TMxConverter> FConverter; // set when Format is not the decoder's own
    int64_t FFrames = 0;                      // frames of Format the song plays
    int64_t FFrame = 0;                       // the next frame Read gives
};
