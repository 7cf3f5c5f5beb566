#include "decode/MxAudioFileRead.h"

#include "decode/FileKind.h"
#include "decode/MxDecoder.h"
#include "decode/MxPcm.h"

#include <mpg123.h>
#include <opusfile.h>
#include <sndfile.h>
#include <vorbis/codec.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

struct TCodeText {
    uint32_t Code;
    const char* Text;
};

// The reader's message table. Codes not listed fall to the library's or the system's text by range.
constexpr TCodeText kMessages[] = {
    {0x00040001, "The asynchronous update is pending."},
    {0x00040002, "Sample was not updated after forced completion."},
    {0x00040003, "Reached the end of the stream; the sample wasn't updated."},
    {0x08000001, "Invalid buffer size."},
    {0x08000002, "The path does not name a regular file."},
    {0x08000003, "The file declares no channels or no sample rate."},
    {0x08000004, "The file holds no whole frame of audio: it may have been cut short."},
    {0x08000010, "The AAC file could not be decoded: it is damaged or holds no audio this player plays."},
    {0x08000011, "The MPEG-4 file (M4A, MP4, AAC, ALAC) could not be decoded: it is damaged or holds no audio "
                 "this player plays."},
    {0x08000012, "The Matroska or WebM file could not be decoded: it is damaged or holds no audio this player "
                 "plays."},
    {0x08000013, "The Windows Media file (ASF, WMA) could not be decoded: it is damaged or holds no audio this "
                 "player plays."},
    {0x08000014, "The file holds FLAC in an Ogg stream, which this player cannot decode."},
    {0x08000015, "The file is an Ogg stream of neither Vorbis nor Opus audio, which this player cannot decode."},
    {0x80004002, "No interface."},
    {0x80004003, "This method tried to access an invalid pointer."},
    {0x80004004, "The update aborted."},
    {0x80040110, "This class cannot be created as part of an aggregate."},
    {0x80040154, "A specified class is not registered in the registration database."},
    {0x80040401, "An IMediaStream object could not be removed from an IMultiMediaStream object because it still "
                 "contains at least one allocated sample."},
    {0x80040402, "The specified purpose ID can't be used for the call."},
    {0x80040403, "No stream can be found with the specified attributes."},
    {0x80040404, "One or more media streams don't support seeking."},
    {0x80040405, "The stream formats are not compatible."},
    {0x80040406, "This sample already has a pending update."},
    {0x80040407, "The object can't accept the call because its initialize function or equivalent has not been "
                 "called."},
    {0x80040408, "Source already defined."},
    {0x80040409, "The stream type is not valid for this operation."},
    {0x8004040A, "The IMultiMediaStream object is not in running state."},
    {0x80070057, "One of the parameters is invalid."},
};

constexpr int64_t kMinLength = 100'000;               // 10 ms
constexpr int64_t kMaxLength = 1'000'000'000'000'000; // 10^15, 100,000,000 s
constexpr uint32_t kPlayableRate = 100'000;           // the sound buffers' highest rate

// Texts of libvorbisfile's and libopusfile's error numbers, which the libraries do not give.
constexpr TCodeText kVorbisErrors[] = {{132, "The file is not Ogg Vorbis data."},
                                       {133, "The Ogg Vorbis header is damaged."},
                                       {134, "The Ogg Vorbis version is not supported."},
                                       {128, "The Ogg Vorbis file could not be read."}};
constexpr TCodeText kOpusErrors[] = {{132, "The file is not Opus data."},
                                     {133, "The Opus header is damaged."},
                                     {134, "The Opus version is not supported."},
                                     {128, "The Opus file could not be read."},
                                     {137, "The Opus stream has a damaged link."}};
static_assert(-OV_ENOTVORBIS == 132 && -OV_EBADHEADER == 133 && -OV_EVERSION == 134 && -OV_EREAD == 128);
static_assert(-OP_ENOTFORMAT == 132 && -OP_EBADHEADER == 133 && -OP_EVERSION == 134 && -OP_EREAD == 128 &&
              -OP_EBADLINK == 137);

const char* Find(const TCodeText* table, size_t n, uint32_t code)
{
    for (size_t i = 0; i < n; ++i)
        if (table[i].Code == code)
            return table[i].Text;
    return nullptr;
}

[[noreturn]] void RaiseSystem(int err)
{
    const uint32_t code = MXAR_E_SYSTEM_BASE | (static_cast<uint32_t>(err) & 0xFFFF);
    throw EAudioReadError(AMErrorText(code), code);
}

// a * b / c for non-negative values without overflow; the quotient is truncated (or rounded up).
int64_t SatAdd(int64_t a, int64_t b)
{
    int64_t r;
    return __builtin_add_overflow(a, b, &r) ? INT64_MAX : r;
}

int64_t MulDiv(int64_t a, int64_t b, int64_t c, bool up)
{
    const __int128 p = static_cast<__int128>(a) * b;
    __int128 q = p / c;
    if (up && q * c != p)
        ++q;
    return q > INT64_MAX ? INT64_MAX : static_cast<int64_t>(q);
}

} // namespace

std::string AMErrorText(uint32_t code)
{
    for (const auto& m : kMessages)
        if (m.Code == code)
            return m.Text;
    const uint32_t base = code & 0xFFFF0000, number = code & 0xFFFF;
    const char* text = nullptr;
    if (base == MXAR_E_LIBRARY_BASE)
        text = sf_error_number(static_cast<int>(number));
    else if (base == MXAR_E_MPG123_BASE)
        text = mpg123_plain_strerror(static_cast<int>(number));
    else if (base == MXAR_E_VORBIS_BASE)
        text = Find(kVorbisErrors, std::size(kVorbisErrors), number);
    else if (base == MXAR_E_OPUS_BASE)
        text = Find(kOpusErrors, std::size(kOpusErrors), number);
    if (text && *text)
        return text;
    if ((code & 0xFFFF0000) == MXAR_E_SYSTEM_BASE)
        return std::strerror(static_cast<int>(code & 0xFFFF));
    return "Unrecognized error value.";
}

void AMCheck(uint32_t code)
{
    if (code != 0)
        throw EAudioReadError(AMErrorText(code), code);
}

TMxAudioFileReader::TMxAudioFileReader(const std::string& FileName, TMxReaderOutput Output) : FFileName(FileName)
{
    try {
        Open(Output);
    } catch (...) {
        Close();
        throw;
    }
}

TMxAudioFileReader::~TMxAudioFileReader()
{
    Close();
}

void TMxAudioFileReader::Open(TMxReaderOutput output)
{
    // O_NONBLOCK so that opening a FIFO cannot wait for a writer; it is cleared once the path is
    // known to be a regular file. Libraries get the descriptor, so path length is not their concern.
    FFd = ::open(FFileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (FFd < 0)
        RaiseSystem(errno);
    struct stat st {};
    if (fstat(FFd, &st) != 0)
        RaiseSystem(errno);
    if (!S_ISREG(st.st_mode))
        AMCheck(MXAR_E_NOTREGULAR);
    fcntl(FFd, F_SETFL, fcntl(FFd, F_GETFL) & ~O_NONBLOCK);

    const TMxFileKindInfo kind = FindFileKind(FFd, st.st_size);
    TMxByteRange range;
    range.Fd = FFd;
    range.Begin = kind.Begin;
    range.End = kind.End;
    switch (kind.Kind) {
    case TMxFileKind::Unsupported:
        AMCheck(kind.Code);
        break;
    case TMxFileKind::Mpeg:
        range.Runs = MpegRuns(FFd, kind.Begin, kind.End);
        FDecoder = OpenMpegDecoder(range, FFileName);
        break;
    case TMxFileKind::Vorbis:
    case TMxFileKind::Opus: {
        const bool opus = kind.Kind == TMxFileKind::Opus;
        if (const auto links = OggLinksSharingSerials(FFd, kind.End); !links.empty())
            FDecoder = OpenOggChain(range, links, opus, FFileName);
        else
            FDecoder = opus ? OpenOpusDecoder(range, FFileName) : OpenVorbisDecoder(range, FFileName);
        break;
    }
    case TMxFileKind::Ffmpeg:
        FDecoder = OpenFfmpegDecoder(range, kind.Code);
        break;
    case TMxFileKind::Other: {
        uint32_t error = 0;
        std::string text;
        bool mpeg = false;
        FDecoder = OpenSndfileDecoder(FFd, error, text, mpeg);
        if (mpeg) { // MPEG audio that only libsndfile's wider search recognised (junk before the first frame)
            range.Runs = MpegRuns(FFd, kind.Begin, kind.End);
            FDecoder = OpenMpegDecoder(range, FFileName);
        } else if (!FDecoder)
            throw EAudioReadError(text, error);
        break;
    }
    }
    const TMxDecoder& d = *FDecoder;
    if (d.Channels <= 0 || d.Rate <= 0)
        AMCheck(MXAR_E_BADFORMAT);

    int channels = d.Channels, rate = d.Rate, bits = d.Bits;
    bool isFloat = d.FloatSamples;
    FFrames = d.Frames;
    if (output == TMxReaderOutput::Playable &&
        (channels > 2 || isFloat || (bits != 8 && bits != 16) || static_cast<uint32_t>(rate) > kPlayableRate)) {
        const int factor = static_cast<int>((static_cast<uint32_t>(rate) + kPlayableRate - 1) / kPlayableRate);
        channels = std::min(channels, 2);
        rate /= factor;
        bits = 16;
        isFloat = false;
        FFrames = (d.Frames + factor - 1) / factor;
        FConverter = std::make_unique<TMxConverter>(*FDecoder, channels, factor);
    }
    const int align = channels * bits / 8;
    if (align > 0xFFFF)
        AMCheck(MXAR_E_BADFORMAT);
    FFormat.wFormatTag = isFloat ? MX_WAVE_FORMAT_IEEE_FLOAT : MX_WAVE_FORMAT_PCM;
    FFormat.nChannels = static_cast<uint16_t>(channels);
    FFormat.nSamplesPerSec = static_cast<uint32_t>(rate);
    FFormat.nBlockAlign = static_cast<uint16_t>(align);
    FFormat.nAvgBytesPerSec = static_cast<uint32_t>(rate) * static_cast<uint32_t>(align);
    FFormat.wBitsPerSample = static_cast<uint16_t>(bits);
    FFormat.cbSize = 0;
    FDuration = FrameTime(FFrames);
    FLength = 0;
}

void TMxAudioFileReader::Close()
{
    FConverter.reset();
    FDecoder.reset();
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
}

int64_t TMxAudioFileReader::FrameTime(int64_t frame) const
{
    return MulDiv(frame, MX_UNITS_PER_SECOND, FFormat.nSamplesPerSec, false);
}

int64_t TMxAudioFileReader::TimeFrame(int64_t time) const
{
    return MulDiv(std::max<int64_t>(time, 0), FFormat.nSamplesPerSec, MX_UNITS_PER_SECOND, true);
}

int64_t TMxAudioFileReader::EndFrame(int64_t time) const
{
    // A range end inside a frame leaves that frame out. A frame's start time is truncated to 100 ns,
    // so an end at exactly that time still keeps the frame before it whole.
    const int64_t frame = MulDiv(std::max<int64_t>(time, 0), FFormat.nSamplesPerSec, MX_UNITS_PER_SECOND, false);
    return FrameTime(frame + 1) <= time ? frame + 1 : frame;
}

uint32_t TMxAudioFileReader::Read(void* Buffer, uint32_t Size)
{
    const uint32_t align = FFormat.nBlockAlign;
    if (Size == 0 || Size % align != 0 || !Buffer)
        AMCheck(MXAR_E_BUFFERSIZE);
    if (FLength != 0 && SatAdd(FStart, FLength) <= FPosition)
        return 0;

    // A decoder never gives more than the song's length.
    int64_t want = std::min<int64_t>(Size / align, std::max<int64_t>(FFrames - FFrame, 0));
    bool cut = false;
    if (FLength != 0) {
        const int64_t endFrame = EndFrame(SatAdd(FStart, FLength));
        if (endFrame - FFrame < want) {
            want = std::max<int64_t>(endFrame - FFrame, 0);
            cut = true;
        }
    }
    auto* out = static_cast<uint8_t*>(Buffer);
    const int64_t got = want <= 0 ? 0 : FConverter ? FConverter->Read(out, want) : FDecoder->Read(out, want);
    if (got == 0) {
        if (cut) // the range ended exactly at a block boundary
            FSampleStart = FSampleEnd = FPosition = SatAdd(FStart, FLength);
        return 0;
    }
    FSampleStart = FrameTime(FFrame);
    FFrame += got;
    FSampleEnd = cut && got == want ? SatAdd(FStart, FLength) : FrameTime(FFrame);
    FPosition = FSampleEnd;
    return static_cast<uint32_t>(got * align);
}

void TMxAudioFileReader::Seek(int64_t Time)
{
    if (Time == FPosition)
        return;
    if (Time < FStart)
        Time = FStart;
    else if (Time > FDuration)
        Time = FDuration;
    else if (FLength != 0 && Time > SatAdd(FStart, FLength))
        Time = SatAdd(FStart, FLength);
    const int64_t frame = std::min(TimeFrame(Time), FFrames);
    // At the end nothing is left to read, and a decoder is never sent beyond its last frame.
    if (frame < FFrames) {
        if (FConverter)
            FConverter->Seek(frame);
        else
            FDecoder->Seek(frame);
    }
    FFrame = frame;
    FPosition = Time;
}

void TMxAudioFileReader::SetStart(int64_t Value)
{
    if (Value == FStart)
        return;
    if (Value < 0)
        Value = 0;
    if (FPosition < Value)
        Seek(Value);
    FStart = Value;
}

void TMxAudioFileReader::SetLength(int64_t Value)
{
    if (Value == FLength)
        return;
    if (Value != 0 && Value < kMinLength)
        Value = kMinLength;
    else if (Value > kMaxLength)
        Value = kMaxLength;
    // 0 means no range end, so it never puts the position beyond the range.
    if (Value != 0 && SatAdd(FStart, Value) < FPosition)
        Seek(FStart);
    FLength = Value;
}
