// The recorder's MP3 encoder: the four encoder entry points (implemented over libmp3lame), the one
// process-wide encoder instance that feeds them captured PCM in fixed pieces, and the WAV header writer.
// Called on the recorder's (UI) thread only; nothing is locked, so one recorder at a time may encode.
#pragma once

#include "platform/dsound/DSound.h"
#include "record/Streams.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

// ---- The encoder entry points ----

using HBE_STREAM = uint32_t; // 0 is never a valid stream
using BE_ERR = uint32_t;

constexpr uint32_t BE_CONFIG_MP3 = 0;
constexpr uint32_t BE_CONFIG_LAME = 256;

constexpr BE_ERR BE_ERR_SUCCESSFUL = 0;
constexpr BE_ERR BE_ERR_INVALID_FORMAT = 1;
constexpr BE_ERR BE_ERR_INVALID_FORMAT_PARAMETERS = 2;
constexpr BE_ERR BE_ERR_NO_MORE_HANDLES = 3;
constexpr BE_ERR BE_ERR_INVALID_HANDLE = 4;
constexpr BE_ERR BE_ERR_BUFFER_TOO_SMALL = 5;
// Our own result for an encode routine that ended on an exception (a failing write); not an entry-point code.
constexpr uint32_t ENC_ERR_EXCEPTION = 9;

// Version 1 of the encoder's configuration record, laid out as it is passed (natural alignment,
// 331 bytes of fields plus one byte of tail padding).
struct BE_CONFIG {
    uint32_t dwConfig; // BE_CONFIG_LAME
    union {
        struct {
            uint32_t dwStructVersion; // 1
            uint32_t dwStructSize;    // 332
            uint32_t dwSampleRate;    // of the PCM handed in, Hz
            uint32_t dwReSampleRate;  // of the MP3 stream, Hz; 0 = the encoder decides
            int32_t nMode;            // LMODE ordinal
            uint32_t dwBitrate;       // kbit/s: the CBR rate, the VBR minimum
            uint32_t dwMaxBitrate;    // kbit/s: the VBR maximum
            int32_t nPreset;          // lQUALITY ordinal
            uint32_t dwMpegVersion;
            uint32_t dwPsyModel;
            uint32_t dwEmphasis;
            int32_t bPrivate;
            int32_t bCRC;
            int32_t bCopyright;
            int32_t bOriginal;
            int32_t bWriteVBRHeader;
            int32_t bEnableVBR;
            int32_t nVBRQuality; // 0 best … 9
            uint32_t dwVbrAbr_bps;
            int32_t nVbrMethod;
            int32_t bNoRes;
            int32_t bStrictIso;
            uint16_t nQuality;
            uint8_t btReserved[255 - 4 * sizeof(uint32_t) - sizeof(uint16_t)];
        } LHV1;
    } format;
};
static_assert(sizeof(BE_CONFIG) == 332);
static_assert(offsetof(BE_CONFIG, format.LHV1.dwStructVersion) == 4);
static_assert(offsetof(BE_CONFIG, format.LHV1.dwSampleRate) == 12);
static_assert(offsetof(BE_CONFIG, format.LHV1.nPreset) == 32);
static_assert(offsetof(BE_CONFIG, format.LHV1.bPrivate) == 48);
static_assert(offsetof(BE_CONFIG, format.LHV1.nVBRQuality) == 72);
static_assert(offsetof(BE_CONFIG, format.LHV1.bStrictIso) == 88);
static_assert(offsetof(BE_CONFIG, format.LHV1.nQuality) == 92);
static_assert(offsetof(BE_CONFIG, format.LHV1.btReserved) == 94);

// `samples` receives the number of 16-bit values (all channels together) that make one MP3 frame;
// `bufferSize` the output bytes to reserve for a chunk of that many values. A chunk of more values
// needs proportionally more: 5/4 of its sample frames plus 7200 bytes is always enough.
BE_ERR beInitStream(BE_CONFIG* config, uint32_t* samples, uint32_t* bufferSize, HBE_STREAM* stream);
// `samples` counts 16-bit values, all channels together (interleaved for stereo); an odd value left
// over in stereo is not encoded. `outputBytes` may come back 0: the encoder holds back PCM until a frame is full.
BE_ERR beEncodeChunk(HBE_STREAM stream, uint32_t samples, const int16_t* pcm, uint8_t* output, uint32_t* outputBytes);
// Encodes what the encoder still holds; `output` takes at least the `bufferSize` of beInitStream.
BE_ERR beDeinitStream(HBE_STREAM stream, uint8_t* output, uint32_t* outputBytes);
BE_ERR beCloseStream(HBE_STREAM stream);

// ---- Recorder settings that the encoder reads ----

enum class LMODE : int32_t { STEREO, JSTEREO, DUALCHANNEL, MONO };
enum class LBITRATE : int32_t { b32, b48, b64, b96, b128, b160, b192, b224, b256, b320 };
enum class LMAXBITRATE : int32_t { m160, m192, m224, m256, m320 };
enum class lQUALITY : int32_t { NORMAL, LOW, HIGH, VOICE };
enum class LVBRQUALITY : int32_t { v0, v1, v2, v3, v4, v5, v6, v7, v8, v9 };

// kbit/s of each value, and back (a rate not in the table reads as the nearest lower one, at least the first).
uint32_t BitRateKbps(LBITRATE rate);
uint32_t MaxBitRateKbps(LMAXBITRATE rate);
LBITRATE BitRateFromKbps(uint32_t kbps);
LMAXBITRATE MaxBitRateFromKbps(uint32_t kbps);

// What EncoderOpen takes from the recorder; the defaults are a freshly constructed recorder's.
struct TEncoderSettings {
    WAVEFORMATEX WaveFormat{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    LMODE RecChannels = LMODE::STEREO;
    lQUALITY Mp3Quality = lQUALITY::HIGH;
    LBITRATE Mp3BitRate = LBITRATE::b128;
    LMAXBITRATE Mp3MaxBitRate = LMAXBITRATE::m320;
    bool Mp3Private = false;
    bool Mp3CRC = true;
    bool Mp3CopyRight = false;
    bool Mp3Original = false;
    bool Mp3WriteVBRHeader = false;
    bool Mp3EnableVBR = false;
    LVBRQUALITY Mp3VBRQuality = LVBRQUALITY::v4;
};

// ---- The encoder instance (one per process) ----

extern BE_CONFIG EncoderConfig; // zero until the first EncoderOpen; fields it does not set stay zero
extern HBE_STREAM EncoderHandle;
extern uint32_t EncoderSamples;       // 16-bit values per frame, all channels
extern uint32_t EncoderMp3BufferSize; // bytes
extern uint32_t EncoderBlockAlign;    // bytes per PCM sample frame
extern uint32_t EncoderChunkBytes;    // PCM bytes per beEncodeChunk call: EncoderSamples × EncoderBlockAlign
extern std::unique_ptr<uint8_t[]> EncoderInBuffer;  // EncoderChunkBytes; null while closed
extern std::unique_ptr<uint8_t[]> EncoderOutBuffer; // 32 × EncoderMp3BufferSize; null while closed
extern uint32_t EncoderOutCount;                    // bytes of the latest beEncodeChunk
extern uint32_t EncoderFlushCount;                  // bytes of the latest beDeinitStream

// Returns 0, the entry point's code, BE_ERR_INVALID_FORMAT for PCM that is not 16-bit or whose channel
// count does not match the mode, or ENC_ERR_EXCEPTION when memory ran out; on failure nothing stays
// allocated and the encoder is closed.
// An encoder that is still open is closed first (its remaining output is dropped).
uint32_t EncoderOpen(const TEncoderSettings& recorder);
// Encodes `count` PCM bytes in pieces of EncoderChunkBytes and appends the MP3 bytes to `output`.
// Returns 0, the first failing beEncodeChunk code (the rest of the block is skipped), or
// ENC_ERR_EXCEPTION when writing failed or the encoder is closed; EncoderLastError() then says why.
// The encoder stays open either way. A write that fails leaves `output` as it was.
uint32_t EncodeBlock(const void* data, size_t count, TStream& output);
// The same for the bytes of `source` from its position, up to its size taken at the start; a source
// that ends early (not positioned at 0) is encoded up to its end and no further.
uint32_t EncodeStream(TStream& source, TStream& output);
// One beEncodeChunk over the whole block, read in place; gives back EncoderOutBuffer and the byte
// count, valid until the next encoder call (count 0 when the encoder is closed or memory ran out).
std::pair<const uint8_t*, uint32_t> EncodeBlockToBuffer(const void* data, size_t count);
// Ends the stream dropping its last bytes; frees the work buffers whatever happens.
// Returns beCloseStream's result (BE_ERR_INVALID_HANDLE when the encoder was not open).
BE_ERR EncoderClose();
// Ends the stream and appends its last bytes to `output`; the library stream and the work buffers are
// released whatever happens, then an EStreamError from the write travels on. Returns as EncoderClose.
BE_ERR EncoderFlushTo(TStream& output);
// Why the latest encode routine returned ENC_ERR_EXCEPTION.
const std::string& EncoderLastError();

// ---- WAV output ----

constexpr int WAV_HEADER_BYTES = 44;

// The 44-byte PCM header with both sizes 0, written at the stream's position as one write.
// Returns false on success, true if the stream failed.
bool WriteWavHeader(const WAVEFORMATEX& format, TStream& stream);
// Sets the RIFF and data sizes from the stream's size alone (capped at 4 GiB − 1). Returns 0 on success,
// 1 if the stream failed or is shorter than a header. The stream ends up positioned at its end.
int PatchWavHeader(TStream& stream);
