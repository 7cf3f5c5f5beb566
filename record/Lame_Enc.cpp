#include "record/Lame_Enc.h"

#include <lame/lame.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

// ---- The entry points over libmp3lame ----

namespace {

struct TLameStream {
    lame_t Lame = nullptr;
    int Channels = 2;
    uint32_t BufferSize = 0; // the bufferSize handed out by beInitStream
};

// Streams by handle − 1. The entry points may be called from any thread, so the table is locked;
// one stream is used by one thread at a time.
std::mutex StreamsLock;
std::array<TLameStream, 8> Streams;

// libmp3lame's own bound for the output of `frames` sample frames per channel.
uint32_t WorstCaseBytes(uint64_t frames)
{
    return static_cast<uint32_t>(std::min<uint64_t>(frames + frames / 4 + 7200, INT32_MAX));
}

TLameStream* Find(HBE_STREAM stream)
{
    std::lock_guard lock(StreamsLock);
    if (stream == 0 || stream > Streams.size() || !Streams[stream - 1].Lame)
        return nullptr;
    return &Streams[stream - 1];
}

// The preset picks libmp3lame's algorithm quality (0 best … 9 fastest).
void ApplyPreset(lame_t lame, int32_t preset)
{
    switch (static_cast<lQUALITY>(preset)) {
    case lQUALITY::LOW:
        lame_set_quality(lame, 7);
        break;
    case lQUALITY::HIGH:
        lame_set_quality(lame, 2);
        break;
    case lQUALITY::VOICE:
        // Speech carries nothing worth the bits above 12 kHz.
        lame_set_quality(lame, 5);
        lame_set_lowpassfreq(lame, 12000);
        break;
    case lQUALITY::NORMAL:
    default:
        lame_set_quality(lame, 5);
        break;
    }
}

} // namespace

BE_ERR beInitStream(BE_CONFIG* config, uint32_t* samples, uint32_t* bufferSize, HBE_STREAM* stream)
{
    if (!config || !samples || !bufferSize || !stream)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (config->dwConfig != BE_CONFIG_LAME || config->format.LHV1.dwStructVersion < 1 ||
        config->format.LHV1.dwStructSize < sizeof(BE_CONFIG))
        return BE_ERR_INVALID_FORMAT;
    const auto& c = config->format.LHV1;
    if (c.nMode < 0 || c.nMode > static_cast<int32_t>(LMODE::MONO) || c.dwSampleRate == 0)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;

    lame_t lame = lame_init();
    if (!lame)
        return BE_ERR_NO_MORE_HANDLES;
    const auto mode = static_cast<LMODE>(c.nMode);
    const int channels = mode == LMODE::MONO ? 1 : 2;
    lame_set_num_channels(lame, channels);
    lame_set_in_samplerate(lame, static_cast<int>(c.dwSampleRate));
    // A rate the MP3 format lacks (96 kHz, 38 kHz) is resampled to the nearest one the library supports.
    lame_set_out_samplerate(lame, static_cast<int>(c.dwReSampleRate));
    // The library has no dual-channel coding; two independent channels are plain stereo.
    lame_set_mode(lame, mode == LMODE::MONO ? MONO : mode == LMODE::JSTEREO ? JOINT_STEREO : STEREO);
    ApplyPreset(lame, c.nPreset);
    lame_set_extension(lame, c.bPrivate != 0);
    lame_set_error_protection(lame, c.bCRC != 0);
    lame_set_copyright(lame, c.bCopyright != 0);
    lame_set_original(lame, c.bOriginal != 0);
    // Without it the stream is plain CBR frames that play however early the recording ends.
    lame_set_bWriteVbrTag(lame, c.bWriteVBRHeader != 0);
    if (c.bEnableVBR) {
        lame_set_VBR(lame, vbr_default);
        lame_set_VBR_q(lame, std::clamp(c.nVBRQuality, 0, 9));
        lame_set_VBR_min_bitrate_kbps(lame, static_cast<int>(c.dwBitrate));
        lame_set_VBR_max_bitrate_kbps(lame, static_cast<int>(c.dwMaxBitrate));
    } else {
        lame_set_VBR(lame, vbr_off);
        lame_set_brate(lame, static_cast<int>(c.dwBitrate));
    }
    if (lame_init_params(lame) < 0) {
        lame_close(lame);
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }

    std::lock_guard lock(StreamsLock);
    auto free = std::find_if(Streams.begin(), Streams.end(), [](const TLameStream& s) { return !s.Lame; });
    if (free == Streams.end()) {
        lame_close(lame);
        return BE_ERR_NO_MORE_HANDLES;
    }
    const auto frameSize = static_cast<uint32_t>(lame_get_framesize(lame));
    *free = TLameStream{lame, channels, WorstCaseBytes(frameSize)};
    *samples = frameSize * static_cast<uint32_t>(channels);
    *bufferSize = free->BufferSize;
    *stream = static_cast<HBE_STREAM>(free - Streams.begin() + 1);
    return BE_ERR_SUCCESSFUL;
}

BE_ERR beEncodeChunk(HBE_STREAM stream, uint32_t samples, const int16_t* pcm, uint8_t* output, uint32_t* outputBytes)
{
    TLameStream* s = Find(stream);
    if (!s)
        return BE_ERR_INVALID_HANDLE;
    if (!output || !outputBytes || (samples > 0 && !pcm))
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    const uint32_t frames = samples / static_cast<uint32_t>(s->Channels);
    // The caller reserves room by the contract of beInitStream, which is what libmp3lame checks against.
    const int room = static_cast<int>(std::max(s->BufferSize, WorstCaseBytes(frames)));
    auto* in = const_cast<short*>(pcm);
    const int n = s->Channels == 1
                      ? lame_encode_buffer(s->Lame, in, in, static_cast<int>(frames), output, room)
                      : lame_encode_buffer_interleaved(s->Lame, in, static_cast<int>(frames), output, room);
    if (n < 0) {
        *outputBytes = 0;
        return n == -1 ? BE_ERR_BUFFER_TOO_SMALL : BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    *outputBytes = static_cast<uint32_t>(n);
    return BE_ERR_SUCCESSFUL;
}

BE_ERR beDeinitStream(HBE_STREAM stream, uint8_t* output, uint32_t* outputBytes)
{
    TLameStream* s = Find(stream);
    if (!s)
        return BE_ERR_INVALID_HANDLE;
    if (!output || !outputBytes)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    const int n = lame_encode_flush(s->Lame, output, static_cast<int>(s->BufferSize));
    if (n < 0) {
        *outputBytes = 0;
        return BE_ERR_BUFFER_TOO_SMALL;
    }
    *outputBytes = static_cast<uint32_t>(n);
    return BE_ERR_SUCCESSFUL;
}

namespace {
// The finished VBR header frame of a flushed stream that began with a placeholder for it; 0 bytes otherwise.
size_t VbrHeaderFrame(HBE_STREAM stream, uint8_t* buffer, size_t size)
{
    TLameStream* s = Find(stream);
    if (!s || !lame_get_bWriteVbrTag(s->Lame))
        return 0;
    const size_t n = lame_get_lametag_frame(s->Lame, buffer, size);
    return n <= size ? n : 0;
}
} // namespace

BE_ERR beCloseStream(HBE_STREAM stream)
{
    lame_t lame = nullptr;
    {
        std::lock_guard lock(StreamsLock);
        if (stream == 0 || stream > Streams.size() || !Streams[stream - 1].Lame)
            return BE_ERR_INVALID_HANDLE;
        lame = std::exchange(Streams[stream - 1].Lame, nullptr);
    }
    lame_close(lame);
    return BE_ERR_SUCCESSFUL;
}

// ---- Settings tables ----

namespace {
constexpr std::array<uint32_t, 10> BitRates{32, 48, 64, 96, 128, 160, 192, 224, 256, 320};
constexpr std::array<uint32_t, 5> MaxBitRates{160, 192, 224, 256, 320};

template <size_t N> size_t IndexAtOrBelow(const std::array<uint32_t, N>& table, uint32_t kbps)
{
    size_t i = 0;
    while (i + 1 < N && table[i + 1] <= kbps)
        ++i;
    return i;
}
} // namespace

uint32_t BitRateKbps(LBITRATE rate)
{
    return BitRates.at(static_cast<size_t>(rate));
}

uint32_t MaxBitRateKbps(LMAXBITRATE rate)
{
    return MaxBitRates.at(static_cast<size_t>(rate));
}

LBITRATE BitRateFromKbps(uint32_t kbps)
{
    return static_cast<LBITRATE>(IndexAtOrBelow(BitRates, kbps));
}

LMAXBITRATE MaxBitRateFromKbps(uint32_t kbps)
{
    return static_cast<LMAXBITRATE>(IndexAtOrBelow(MaxBitRates, kbps));
}

// ---- The encoder instance ----

BE_CONFIG EncoderConfig{};
HBE_STREAM EncoderHandle = 0;
uint32_t EncoderSamples = 0;
uint32_t EncoderMp3BufferSize = 0;
uint32_t EncoderBlockAlign = 0;
uint32_t EncoderChunkBytes = 0;
std::unique_ptr<uint8_t[]> EncoderInBuffer;
std::unique_ptr<uint8_t[]> EncoderOutBuffer;
uint32_t EncoderOutCount = 0;
uint32_t EncoderFlushCount = 0;

namespace {

uint32_t EncoderOutCapacity = 0; // bytes of EncoderOutBuffer
std::string LastError;
// Where this encoder's first bytes went: the VBR header placeholder, to be filled in at the flush.
TStream* FirstOutput = nullptr;
int64_t FirstOutputPosition = 0;

bool EncoderIsOpen()
{
    return EncoderInBuffer && EncoderOutBuffer;
}

void FreeWorkBuffers()
{
    EncoderInBuffer.reset();
    EncoderOutBuffer.reset();
    EncoderOutCapacity = 0;
    FirstOutput = nullptr;
}

// Encodes `bytes` of PCM from EncoderInBuffer and appends the MP3 bytes that come out.
BE_ERR EncodePiece(const uint8_t* pcm, size_t bytes, TStream& output)
{
    const BE_ERR result =
        beEncodeChunk(EncoderHandle, static_cast<uint32_t>(bytes / 2), reinterpret_cast<const int16_t*>(pcm),
                      EncoderOutBuffer.get(), &EncoderOutCount);
    if (result == BE_ERR_SUCCESSFUL && EncoderOutCount > 0) {
        const int64_t position = FirstOutput ? 0 : output.Position();
        output.Write(EncoderOutBuffer.get(), EncoderOutCount);
        if (!FirstOutput) {
            FirstOutput = &output;
            FirstOutputPosition = position;
        }
    }
    return result;
}

template <typename Body> uint32_t Guarded(Body body)
{
    try {
        if (!EncoderIsOpen())
            throw Exception("The MP3 encoder is not open");
        return body();
    } catch (const std::exception& e) {
        LastError = e.what();
    } catch (...) {
        LastError = "Unknown error while encoding";
    }
    return ENC_ERR_EXCEPTION;
}

} // namespace

uint32_t EncoderOpen(const TEncoderSettings& recorder)
{
    if (EncoderIsOpen() || EncoderHandle != 0)
        EncoderClose();

    auto& c = EncoderConfig.format.LHV1;
    EncoderConfig.dwConfig = BE_CONFIG_LAME;
    c.dwStructVersion = 1;
    c.dwStructSize = sizeof(BE_CONFIG);
    c.dwSampleRate = recorder.WaveFormat.nSamplesPerSec;
    c.dwReSampleRate = recorder.WaveFormat.nSamplesPerSec;
    c.nMode = static_cast<int32_t>(recorder.RecChannels);
    c.dwBitrate = BitRateKbps(recorder.Mp3BitRate);
    c.dwMaxBitrate = MaxBitRateKbps(recorder.Mp3MaxBitRate);
    c.nPreset = static_cast<int32_t>(recorder.Mp3Quality);
    c.dwMpegVersion = 0;
    c.dwPsyModel = 0;
    c.dwEmphasis = 0;
    c.bPrivate = recorder.Mp3Private;
    c.bCRC = recorder.Mp3CRC;
    c.bCopyright = recorder.Mp3CopyRight;
    c.bOriginal = recorder.Mp3Original;
    c.bWriteVBRHeader = recorder.Mp3WriteVBRHeader;
    c.bEnableVBR = recorder.Mp3EnableVBR;
    c.nVBRQuality = static_cast<int32_t>(recorder.Mp3VBRQuality);
    EncoderBlockAlign = recorder.WaveFormat.nBlockAlign;

    // The encoder reads 16-bit values, interleaved as the mode says; other PCM would come out as noise.
    const uint32_t channels = recorder.RecChannels == LMODE::MONO ? 1 : 2;
    if (recorder.WaveFormat.wBitsPerSample != 16 || recorder.WaveFormat.nChannels != channels ||
        EncoderBlockAlign != 2 * channels)
        return BE_ERR_INVALID_FORMAT;

    const BE_ERR result = beInitStream(&EncoderConfig, &EncoderSamples, &EncoderMp3BufferSize, &EncoderHandle);
    if (result != BE_ERR_SUCCESSFUL) {
        EncoderHandle = 0;
        return result;
    }
    EncoderChunkBytes = EncoderSamples * EncoderBlockAlign;
    try {
        EncoderInBuffer = std::make_unique_for_overwrite<uint8_t[]>(EncoderChunkBytes);
        EncoderOutCapacity = 32 * EncoderMp3BufferSize;
        EncoderOutBuffer = std::make_unique_for_overwrite<uint8_t[]>(EncoderOutCapacity);
    } catch (const std::exception& e) {
        LastError = e.what();
        beCloseStream(EncoderHandle);
        EncoderHandle = 0;
        FreeWorkBuffers();
        return ENC_ERR_EXCEPTION;
    }
    return BE_ERR_SUCCESSFUL;
}

uint32_t EncodeBlock(const void* data, size_t count, TStream& output)
{
    return Guarded([&]() -> uint32_t {
        const auto* pcm = static_cast<const uint8_t*>(data);
        for (size_t position = 0; position != count;) {
            const size_t piece = std::min<size_t>(EncoderChunkBytes, count - position);
            std::memcpy(EncoderInBuffer.get(), pcm + position, piece);
            if (const BE_ERR result = EncodePiece(EncoderInBuffer.get(), piece, output))
                return result;
            position += piece;
        }
        return BE_ERR_SUCCESSFUL;
    });
}

uint32_t EncodeStream(TStream& source, TStream& output)
{
    return Guarded([&]() -> uint32_t {
        const int64_t total = source.Size();
        for (int64_t position = 0; position < total;) {
            const int64_t piece = std::min<int64_t>(EncoderChunkBytes, total - position);
            // A short read means the source ended early; what is in the buffer beyond it is stale.
            const int64_t got = source.Read(EncoderInBuffer.get(), piece);
            if (got > 0)
                if (const BE_ERR result = EncodePiece(EncoderInBuffer.get(), static_cast<size_t>(got), output))
                    return result;
            if (got < piece)
                break;
            position += piece;
        }
        return BE_ERR_SUCCESSFUL;
    });
}

std::pair<const uint8_t*, uint32_t> EncodeBlockToBuffer(const void* data, size_t count)
{
    EncoderOutCount = 0;
    if (!EncoderIsOpen())
        return {nullptr, 0};
    // Blocks of up to about three seconds fit the buffer sized at open; a longer one gets a larger buffer.
    const uint32_t needed = WorstCaseBytes(count / EncoderBlockAlign);
    if (needed > EncoderOutCapacity) {
        try {
            auto larger = std::make_unique_for_overwrite<uint8_t[]>(needed);
            EncoderOutBuffer = std::move(larger);
            EncoderOutCapacity = needed;
        } catch (const std::exception& e) {
            LastError = e.what();
            return {EncoderOutBuffer.get(), 0};
        }
    }
    beEncodeChunk(EncoderHandle, static_cast<uint32_t>(count / 2), static_cast<const int16_t*>(data),
                  EncoderOutBuffer.get(), &EncoderOutCount);
    return {EncoderOutBuffer.get(), EncoderOutCount};
}

BE_ERR EncoderClose()
{
    EncoderFlushCount = 0;
    if (EncoderOutBuffer)
        beDeinitStream(EncoderHandle, EncoderOutBuffer.get(), &EncoderFlushCount);
    const BE_ERR result = beCloseStream(EncoderHandle);
    EncoderHandle = 0;
    FreeWorkBuffers();
    return result;
}

BE_ERR EncoderFlushTo(TStream& output)
{
    EncoderFlushCount = 0;
    BE_ERR flushed = BE_ERR_INVALID_HANDLE;
    if (EncoderOutBuffer)
        flushed = beDeinitStream(EncoderHandle, EncoderOutBuffer.get(), &EncoderFlushCount);
    try {
        if (flushed == BE_ERR_SUCCESSFUL) {
            output.Write(EncoderOutBuffer.get(), EncoderFlushCount);
            // The placeholder frame at the start of the stream only now gets its frame count and seek table.
            const size_t header = VbrHeaderFrame(EncoderHandle, EncoderOutBuffer.get(), EncoderOutCapacity);
            if (header > 0 && FirstOutput == &output) {
                const int64_t end = output.Position();
                output.Seek(FirstOutputPosition, TSeekOrigin::Beginning);
                output.Write(EncoderOutBuffer.get(), static_cast<int64_t>(header));
                output.Seek(end, TSeekOrigin::Beginning);
            }
        }
    } catch (...) {
        beCloseStream(EncoderHandle);
        EncoderHandle = 0;
        FreeWorkBuffers();
        throw;
    }
    const BE_ERR result = beCloseStream(EncoderHandle);
    EncoderHandle = 0;
    FreeWorkBuffers();
    return result;
}

const std::string& EncoderLastError()
{
    return LastError;
}

// ---- WAV output ----

namespace {

void Put16(uint8_t* at, uint32_t value)
{
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void Put32(uint8_t* at, uint32_t value)
{
    Put16(at, value & 0xFFFF);
    Put16(at + 2, value >> 16);
}

} // namespace

bool WriteWavHeader(const WAVEFORMATEX& format, TStream& stream)
{
    uint8_t header[WAV_HEADER_BYTES];
    std::memcpy(header, "RIFF", 4);
    Put32(header + 4, 0);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    Put32(header + 16, 16);
    Put16(header + 20, WAVE_FORMAT_PCM);
    Put16(header + 22, format.nChannels);
    Put32(header + 24, format.nSamplesPerSec);
    Put32(header + 28, format.nAvgBytesPerSec);
    Put16(header + 32, format.nBlockAlign);
    Put16(header + 34, format.wBitsPerSample);
    std::memcpy(header + 36, "data", 4);
    Put32(header + 40, 0);
    try {
        stream.Write(header, sizeof header);
        return false;
    } catch (const std::exception&) {
        return true;
    }
}

int PatchWavHeader(TStream& stream)
{
    try {
        const int64_t size = stream.Size();
        if (size < WAV_HEADER_BYTES)
            return 1;
        // Past 4 GiB the fields cannot hold the size; readers take the largest value as "to the end".
        auto field = [](int64_t value) { return static_cast<uint32_t>(std::min<int64_t>(value, UINT32_MAX)); };
        uint8_t value[4];
        Put32(value, field(size - 8));
        stream.Seek(4, TSeekOrigin::Beginning);
        stream.Write(value, 4);
        Put32(value, field(size - WAV_HEADER_BYTES));
        stream.Seek(40, TSeekOrigin::Beginning);
        stream.Write(value, 4);
        stream.Seek(0, TSeekOrigin::End);
        return 0;
    } catch (const std::exception&) {
        return 1;
    }
}
