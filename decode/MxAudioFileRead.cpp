#include "decode/MxAudioFileRead.h"

#include "decode/MpegScan.h"

#include <sndfile.h>

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
constexpr int64_t kChunkFrames = 4096;                // frames of stereo per pass through the scratch buffer
constexpr int64_t kUnknownFrames = int64_t(1) << 40;  // beyond 290 days at 44.1 kHz: the length is unknown

// Library error numbers that mean something else for a file the reader has already found to be a
// regular file (libsndfile's internal numbering, stable across its releases).
constexpr int kLibraryBadFile = 7;   // "not a regular file": here, content its decoder gave up on
constexpr int kLibraryBadInfo = 24;  // "SF_INFO struct incomplete": a header with a rate of 0
constexpr int kLibraryMalformed = 3; // SF_ERR_MALFORMED_FILE

SNDFILE* Sf(void* p)
{
    return static_cast<SNDFILE*>(p);
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
    if ((code & 0xFFFF0000) == MXAR_E_LIBRARY_BASE) {
        const char* text = sf_error_number(static_cast<int>(code & 0xFFFF));
        if (text && *text)
            return text;
    }
    if ((code & 0xFFFF0000) == MXAR_E_SYSTEM_BASE)
        return std::strerror(static_cast<int>(code & 0xFFFF));
    return "Unrecognized error value.";
}

void AMCheck(uint32_t code)
{
    if (code != 0)
        throw EAudioReadError(AMErrorText(code), code);
}

// The byte stream the library reads when an MPEG file needs a corrected frame-count header: the
// header from memory, then the file's runs of whole audio frames one after the other (junk between
// them left out), then the tail from memory.
struct TMxDecodeSource {
    int Fd = -1;
    std::vector<uint8_t> Head;
    std::vector<std::pair<int64_t, int64_t>> Runs; // [start, end) file offsets
    int64_t BodyLength = 0;                        // bytes of all runs
    int64_t Pos = 0;

    std::vector<uint8_t> Tail;

    int64_t Size() const { return static_cast<int64_t>(Head.size() + Tail.size()) + BodyLength; }

    static sf_count_t GetLength(void* user) { return static_cast<TMxDecodeSource*>(user)->Size(); }
    static sf_count_t Tell(void* user) { return static_cast<TMxDecodeSource*>(user)->Pos; }
    static sf_count_t SeekTo(sf_count_t offset, int whence, void* user)
    {
        auto* s = static_cast<TMxDecodeSource*>(user);
        const int64_t base = whence == SEEK_CUR ? s->Pos : whence == SEEK_END ? s->Size() : 0;
        if (offset < -base)
            return -1;
        s->Pos = base + offset;
        return s->Pos;
    }
    static sf_count_t ReadTo(void* ptr, sf_count_t count, void* user)
    {
        auto* s = static_cast<TMxDecodeSource*>(user);
        auto* out = static_cast<uint8_t*>(ptr);
        sf_count_t done = 0;
        const int64_t head = static_cast<int64_t>(s->Head.size());
        if (s->Pos < head && count > 0) {
            const int64_t n = std::min<int64_t>(count, head - s->Pos);
            std::memcpy(out, s->Head.data() + s->Pos, static_cast<size_t>(n));
            done += n;
            s->Pos += n;
        }
        const int64_t bodyEnd = head + s->BodyLength;
        while (done < count && s->Pos < bodyEnd) {
            // The run that holds the position; runs are few (one unless the file is damaged).
            int64_t at = s->Pos - head;
            size_t run = 0;
            while (at >= s->Runs[run].second - s->Runs[run].first) {
                at -= s->Runs[run].second - s->Runs[run].first;
                ++run;
            }
            const int64_t n = std::min<int64_t>(count - done, s->Runs[run].second - s->Runs[run].first - at);
            const ssize_t r = pread(s->Fd, out + done, static_cast<size_t>(n), s->Runs[run].first + at);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                break; // the file was cut short under us: end of data
            done += r;
            s->Pos += r;
        }
        if (done < count && s->Pos >= bodyEnd && s->Pos < s->Size()) {
            const int64_t n = std::min<int64_t>(count - done, s->Size() - s->Pos);
            std::memcpy(out + done, s->Tail.data() + (s->Pos - bodyEnd), static_cast<size_t>(n));
            done += n;
            s->Pos += n;
        }
        return done;
    }
};

TMxAudioFileReader::TMxAudioFileReader(const std::string& FileName) : FFileName(FileName)
{
    try {
        Open();
    } catch (...) {
        Close();
        throw;
    }
}

TMxAudioFileReader::~TMxAudioFileReader()
{
    Close();
}

void TMxAudioFileReader::Open()
{
    // O_NONBLOCK so that opening a FIFO cannot wait for a writer; it is cleared once the path is
    // known to be a regular file. The library gets the descriptor, so path length is not its concern.
    FFd = ::open(FFileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (FFd < 0)
        RaiseSystem(errno);
    struct stat st {};
    if (fstat(FFd, &st) != 0)
        RaiseSystem(errno);
    if (!S_ISREG(st.st_mode))
        AMCheck(MXAR_E_NOTREGULAR);
    fcntl(FFd, F_SETFL, fcntl(FFd, F_GETFL) & ~O_NONBLOCK);

    // The library gets a duplicate that it owns: it closes the descriptor it was given even when the
    // open fails. Ours stays for the frame scan and positional reads.
    const int libraryFd = fcntl(FFd, F_DUPFD_CLOEXEC, 0);
    if (libraryFd < 0)
        RaiseSystem(errno);
    SF_INFO info{};
    FFile = sf_open_fd(libraryFd, SFM_READ, &info, SF_TRUE);
    uint32_t openError = 0;
    std::string openText;
    if (!FFile) {
        // The library's own code and text (the text may be more precise than the code's alone),
        // except where its words would not describe a regular file.
        const int error = sf_error(nullptr);
        const char* text = sf_strerror(nullptr);
        if (error == kLibraryBadInfo) {
            openError = MXAR_E_BADFORMAT;
        } else if (error == kLibraryBadFile) {
            openError = MXAR_E_LIBRARY_BASE | kLibraryMalformed;
        } else {
            openError = MXAR_E_LIBRARY_BASE | (static_cast<uint32_t>(error) & 0xFFFF);
            openText = text && *text ? text : "";
        }
        if (openText.empty())
            openText = AMErrorText(openError);
    }

    int major = FFile ? info.format & SF_FORMAT_TYPEMASK : 0;
    if (major == SF_FORMAT_MPEG || !FFile) {
        // The library trusts the stream's frame-count header, and without one it estimates the length
        // from the first frame and stops decoding there. Count the whole frames ourselves and, when
        // the header is missing or wrong, let it read the frames behind a header with the true count.
        // A stream it refused outright (it trusts no stream of a single frame) is tried again only
        // when it starts with its first frame: a frame sync inside a file of unknown type proves nothing.
        TMpegLayout layout = ScanMpeg(FFd, st.st_size);
        if (!FFile && layout.TagStart >= 0 && layout.Frames == 0) {
            openError = MXAR_E_NOAUDIO;
            openText = AMErrorText(openError);
        }
        if (layout.Found && !layout.Header.empty() && (layout.TagFrames != layout.Frames || layout.Runs.size() > 1) &&
            (FFile || layout.Skipped == 0)) {
            auto source = std::make_unique<TMxDecodeSource>();
            source->Fd = FFd;
            source->Head = std::move(layout.Header);
            for (const auto& [start, end] : layout.Runs)
                source->BodyLength += end - start;
            source->Runs = std::move(layout.Runs);
            if (layout.Frames == 1)
                source->Tail = source->Head; // a second frame to look ahead to; the count excludes it
            static SF_VIRTUAL_IO io = {&TMxDecodeSource::GetLength, &TMxDecodeSource::SeekTo, &TMxDecodeSource::ReadTo,
                                       nullptr, &TMxDecodeSource::Tell};
            SF_INFO corrected{};
            // When the library refuses the corrected stream the file plays as the library sees it.
            if (SNDFILE* file = sf_open_virtual(&io, SFM_READ, &corrected, source.get())) {
                if (FFile)
                    sf_close(Sf(FFile));
                FFile = file;
                FSource = std::move(source);
                info = corrected;
                major = info.format & SF_FORMAT_TYPEMASK;
            }
        }
    }
    if (!FFile)
        throw EAudioReadError(openText, openError);

    if (info.channels <= 0 || info.samplerate <= 0)
        AMCheck(MXAR_E_BADFORMAT);

    // Uncompressed samples keep their width (8 and 16 bits as stored; wider ones are reported so that
    // the player can refuse them); everything decoded comes out as 16-bit signed.
    int bits = 16;
    uint16_t tag = MX_WAVE_FORMAT_PCM;
    FKind = TSampleKind::S16;
    if (major != SF_FORMAT_MPEG && major != SF_FORMAT_FLAC && major != SF_FORMAT_OGG) {
        switch (info.format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
            FKind = TSampleKind::U8;
            bits = 8;
            break;
        case SF_FORMAT_PCM_24:
            FKind = TSampleKind::S24;
            bits = 24;
            break;
        case SF_FORMAT_PCM_32:
            FKind = TSampleKind::S32;
            bits = 32;
            break;
        case SF_FORMAT_FLOAT:
            FKind = TSampleKind::Float;
            bits = 32;
            tag = MX_WAVE_FORMAT_IEEE_FLOAT;
            break;
        case SF_FORMAT_DOUBLE:
            FKind = TSampleKind::Double;
            bits = 64;
            tag = MX_WAVE_FORMAT_IEEE_FLOAT;
            break;
        default:
            break;
        }
    }
    const int align = info.channels * bits / 8;
    if (align > 0xFFFF)
        AMCheck(MXAR_E_BADFORMAT);
    FFormat.wFormatTag = tag;
    FFormat.nChannels = static_cast<uint16_t>(info.channels);
    FFormat.nSamplesPerSec = static_cast<uint32_t>(info.samplerate);
    FFormat.nBlockAlign = static_cast<uint16_t>(align);
    FFormat.nAvgBytesPerSec = static_cast<uint32_t>(info.samplerate) * static_cast<uint32_t>(align);
    FFormat.wBitsPerSample = static_cast<uint16_t>(bits);
    FFormat.cbSize = 0;

    // Room for kChunkFrames frames of the widest sample (8 bytes), fewer when there are many channels.
    FChunkFrames = std::max<int64_t>(1, kChunkFrames * 2 / info.channels);
    FScratch.resize(static_cast<size_t>(FChunkFrames) * info.channels * 8);
    FFrames = std::max<sf_count_t>(info.frames, 0);
    if (FFrames > kUnknownFrames) {
        // The library could not tell the length (a damaged end of an Ogg stream): count what decodes.
        FFrames = 0;
        sf_count_t n;
        while ((n = sf_readf_short(Sf(FFile), reinterpret_cast<short*>(FScratch.data()), FChunkFrames)) > 0)
            FFrames += n;
        if (sf_seek(Sf(FFile), 0, SEEK_SET) != 0)
            AMCheck(MS_E_NOSEEKING);
    }
    FDuration = FrameTime(FFrames);
    FLength = 0;
}

void TMxAudioFileReader::Close()
{
    if (FFile)
        sf_close(Sf(FFile));
    FFile = nullptr;
    FSource.reset();
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

    int64_t want = Size / align;
    bool cut = false;
    if (FLength != 0) {
        const int64_t endFrame = EndFrame(SatAdd(FStart, FLength));
        if (endFrame - FFrame < want) {
            want = std::max<int64_t>(endFrame - FFrame, 0);
            cut = true;
        }
    }
    const int64_t got = want > 0 ? DecodeFrames(static_cast<uint8_t*>(Buffer), want) : 0;
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

int64_t TMxAudioFileReader::DecodeFrames(uint8_t* out, int64_t frames)
{
    // The library may return fewer frames than asked before the end; only 0 means the end.
    int64_t done = 0;
    while (done < frames) {
        const int64_t n = DecodeChunk(out + done * FFormat.nBlockAlign, frames - done);
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

int64_t TMxAudioFileReader::DecodeChunk(uint8_t* out, int64_t frames)
{
    SNDFILE* sf = Sf(FFile);
    const int ch = FFormat.nChannels;
    const auto aligned = [out](size_t a) { return reinterpret_cast<uintptr_t>(out) % a == 0; };
    const int64_t chunk = std::min(frames, FChunkFrames);
    sf_count_t n = 0;
    switch (FKind) {
    case TSampleKind::S16:
        if (aligned(alignof(short)))
            return sf_readf_short(sf, reinterpret_cast<short*>(out), frames);
        n = sf_readf_short(sf, reinterpret_cast<short*>(FScratch.data()), chunk);
        std::memcpy(out, FScratch.data(), static_cast<size_t>(std::max<sf_count_t>(n, 0) * ch * 2));
        return n;
    case TSampleKind::U8: {
        // 8-bit samples come from the library as value << 8; stored 8-bit WAV is unsigned.
        auto* s = reinterpret_cast<short*>(FScratch.data());
        n = sf_readf_short(sf, s, chunk);
        for (sf_count_t i = 0; i < n * ch; ++i)
            out[i] = static_cast<uint8_t>((s[i] >> 8) + 128);
        return n;
    }
    case TSampleKind::S24: {
        auto* s = reinterpret_cast<int*>(FScratch.data());
        n = sf_readf_int(sf, s, chunk);
        for (sf_count_t i = 0; i < n * ch; ++i) {
            const uint32_t v = static_cast<uint32_t>(s[i]);
            out[3 * i] = static_cast<uint8_t>(v >> 8);
            out[3 * i + 1] = static_cast<uint8_t>(v >> 16);
            out[3 * i + 2] = static_cast<uint8_t>(v >> 24);
        }
        return n;
    }
    case TSampleKind::S32:
        if (aligned(alignof(int)))
            return sf_readf_int(sf, reinterpret_cast<int*>(out), frames);
        n = sf_readf_int(sf, reinterpret_cast<int*>(FScratch.data()), chunk);
        break;
    case TSampleKind::Float:
        if (aligned(alignof(float)))
            return sf_readf_float(sf, reinterpret_cast<float*>(out), frames);
        n = sf_readf_float(sf, reinterpret_cast<float*>(FScratch.data()), chunk);
        break;
    case TSampleKind::Double:
        if (aligned(alignof(double)))
            return sf_readf_double(sf, reinterpret_cast<double*>(out), frames);
        n = sf_readf_double(sf, reinterpret_cast<double*>(FScratch.data()), chunk);
        break;
    }
    if (n > 0)
        std::memcpy(out, FScratch.data(), static_cast<size_t>(n) * FFormat.nBlockAlign);
    return n;
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
    if (sf_seek(Sf(FFile), frame, SEEK_SET) < 0)
        AMCheck(MS_E_NOSEEKING);
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
