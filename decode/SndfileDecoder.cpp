// WAV, AIFF, CAF, FLAC and libsndfile's other formats: stored samples come out as stored; codecs the
// library cannot seek in (GSM, DWVW, some ADPCM) are sought by decoding forward, from where the
// decoder is when the place lies ahead, else from a fresh start.
#include "decode/MxAudioFileRead.h"
#include "decode/MxDecoder.h"

#include <sndfile.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Library error numbers that mean something else for a file the reader has already found to be a
// regular file (libsndfile's internal numbering, stable across its releases).
constexpr int kLibraryBadFile = 7;                   // "not a regular file": here, content its decoder gave up on
constexpr int kLibraryBadInfo = 24;                  // "SF_INFO struct incomplete": a header with a rate of 0
constexpr int kLibraryMalformed = 3;                 // SF_ERR_MALFORMED_FILE
constexpr int64_t kUnknownFrames = int64_t(1) << 40; // beyond 290 days at 44.1 kHz: the length is unknown
constexpr int64_t kChunkFrames = 4096;               // frames of stereo per pass through the scratch buffer

enum class TKind { U8, S16, S24, S32, Float, Double };

[[noreturn]] void RaiseSystem(int err)
{
    const uint32_t code = MXAR_E_SYSTEM_BASE | (static_cast<uint32_t>(err) & 0xFFFF);
    throw EAudioReadError(AMErrorText(code), code);
}

// The library gets a duplicate that it owns (it closes it even when its open fails), reading from the start.
SNDFILE* OpenFd(int fd, SF_INFO& info)
{
    const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0)
        RaiseSystem(errno);
    lseek(own, 0, SEEK_SET);
    info = SF_INFO{};
    return sf_open_fd(own, SFM_READ, &info, SF_TRUE);
}

class TSndfileDecoder final : public TMxDecoder {
public:
    TSndfileDecoder(int fd, SNDFILE* file, const SF_INFO& info) : FFd(fd), FFile(file)
    {
        Channels = info.channels;
        Rate = info.samplerate;
        // Uncompressed samples keep their width; every codec's output comes out as 16-bit.
        const int major = info.format & SF_FORMAT_TYPEMASK;
        if (major != SF_FORMAT_FLAC) {
            switch (info.format & SF_FORMAT_SUBMASK) {
            case SF_FORMAT_PCM_S8:
            case SF_FORMAT_PCM_U8:
                FKind = TKind::U8;
                Bits = 8;
                break;
            case SF_FORMAT_PCM_24:
                FKind = TKind::S24;
                Bits = 24;
                break;
            case SF_FORMAT_PCM_32:
                FKind = TKind::S32;
                Bits = 32;
                break;
            case SF_FORMAT_FLOAT:
                FKind = TKind::Float;
                Bits = 32;
                FloatSamples = true;
                break;
            case SF_FORMAT_DOUBLE:
                FKind = TKind::Double;
                Bits = 64;
                FloatSamples = true;
                break;
            default:
                break;
            }
        }
        // Room for kChunkFrames frames of the widest sample (8 bytes), fewer when there are many channels.
        FChunkFrames = std::max<int64_t>(1, kChunkFrames * 2 / Channels);
        FScratch.resize(static_cast<size_t>(FChunkFrames) * Channels * 8);
        Frames = std::max<sf_count_t>(info.frames, 0);
    }
    ~TSndfileDecoder() override
    {
        if (FFile)
            sf_close(FFile);
    }

    int64_t Read(uint8_t* out, int64_t frames) override
    {
        // The library may return fewer frames than asked before the end; only 0 means the end.
        int64_t done = 0;
        while (done < frames) {
            const int64_t n = Chunk(out + done * Channels * Bits / 8, frames - done);
            if (n <= 0)
                break;
            done += n;
        }
        FFrame += done;
        return done;
    }

    int64_t ReadFloat(float* out, int64_t frames) override
    {
        int64_t done = 0;
        sf_count_t n;
        while (done < frames && (n = sf_readf_float(FFile, out + done * Channels, frames - done)) > 0)
            done += n;
        FFrame += done;
        return done;
    }

    // For a length the library cannot tell: counts what decodes.
    void CountFrames()
    {
        if (Frames <= kUnknownFrames)
            return;
        Frames = 0;
        sf_count_t n;
        while ((n = sf_readf_short(FFile, reinterpret_cast<short*>(FScratch.data()), FChunkFrames)) > 0)
            Frames += n;
        FFrame = Frames;
        Seek(0);
    }

    void Seek(int64_t frame) override
    {
        if (FSeekable && sf_seek(FFile, frame, SEEK_SET) >= 0) {
            FFrame = frame;
            return;
        }
        if (FSeekable || frame < FFrame) {
            // A failed seek may have left the decoder anywhere: start afresh.
            FSeekable = false;
            SF_INFO info;
            SNDFILE* file = OpenFd(FFd, info);
            if (!file)
                AMCheck(MS_E_NOSEEKING);
            sf_close(FFile);
            FFile = file;
            FFrame = 0;
        }
        auto* skip = reinterpret_cast<short*>(FScratch.data());
        while (FFrame < frame) {
            const sf_count_t n = sf_readf_short(FFile, skip, std::min(frame - FFrame, FChunkFrames));
            if (n <= 0)
                break;
            FFrame += n;
        }
    }

private:
    int64_t Chunk(uint8_t* out, int64_t frames)
    {
        SNDFILE* sf = FFile;
        const int ch = Channels;
        const auto aligned = [out](size_t a) { return reinterpret_cast<uintptr_t>(out) % a == 0; };
        const int64_t chunk = std::min(frames, FChunkFrames);
        sf_count_t n = 0;
        switch (FKind) {
        case TKind::S16:
            if (aligned(alignof(short)))
                return sf_readf_short(sf, reinterpret_cast<short*>(out), frames);
            n = sf_readf_short(sf, reinterpret_cast<short*>(FScratch.data()), chunk);
            std::memcpy(out, FScratch.data(), static_cast<size_t>(std::max<sf_count_t>(n, 0) * ch * 2));
            return n;
        case TKind::U8: {
            // 8-bit samples come from the library as value << 8; stored 8-bit WAV is unsigned.
            auto* s = reinterpret_cast<short*>(FScratch.data());
            n = sf_readf_short(sf, s, chunk);
            for (sf_count_t i = 0; i < n * ch; ++i)
                out[i] = static_cast<uint8_t>((s[i] >> 8) + 128);
            return n;
        }
        case TKind::S24: {
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
        case TKind::S32:
            if (aligned(alignof(int)))
                return sf_readf_int(sf, reinterpret_cast<int*>(out), frames);
            n = sf_readf_int(sf, reinterpret_cast<int*>(FScratch.data()), chunk);
            break;
        case TKind::Float:
            if (aligned(alignof(float)))
                return sf_readf_float(sf, reinterpret_cast<float*>(out), frames);
            n = sf_readf_float(sf, reinterpret_cast<float*>(FScratch.data()), chunk);
            break;
        case TKind::Double:
            if (aligned(alignof(double)))
                return sf_readf_double(sf, reinterpret_cast<double*>(out), frames);
            n = sf_readf_double(sf, reinterpret_cast<double*>(FScratch.data()), chunk);
            break;
        }
        if (n > 0)
            std::memcpy(out, FScratch.data(), static_cast<size_t>(n) * ch * Bits / 8);
        return n;
    }

    int FFd;
    SNDFILE* FFile;
    TKind FKind = TKind::S16;
    bool FSeekable = true;
    int64_t FFrame = 0; // the library's next frame
    int64_t FChunkFrames = 1;
    std::vector<uint8_t> FScratch;
};

} // namespace

std::unique_ptr<TMxDecoder> OpenSndfileDecoder(int fd, uint32_t& error, std::string& text, bool& isMpeg)
{
    SF_INFO info;
    SNDFILE* file = OpenFd(fd, info);
    isMpeg = false;
    if (!file) {
        // The library's own code and text (the text may be more precise than the code's alone),
        // except where its words would not describe a regular file.
        const int e = sf_error(nullptr);
        const char* t = sf_strerror(nullptr);
        if (e == kLibraryBadInfo) {
            error = MXAR_E_BADFORMAT;
        } else if (e == kLibraryBadFile) {
            error = MXAR_E_LIBRARY_BASE | kLibraryMalformed;
        } else {
            error = MXAR_E_LIBRARY_BASE | (static_cast<uint32_t>(e) & 0xFFFF);
            text = t && *t ? t : "";
        }
        if (text.empty())
            text = AMErrorText(error);
        return nullptr;
    }
    const int major = info.format & SF_FORMAT_TYPEMASK;
    if (major == SF_FORMAT_MPEG || major == SF_FORMAT_OGG) {
        isMpeg = major == SF_FORMAT_MPEG;
        sf_close(file);
        error = MS_E_NOSTREAM;
        text = AMErrorText(error);
        return nullptr;
    }
    if (info.channels <= 0 || info.samplerate <= 0) {
        sf_close(file);
        AMCheck(MXAR_E_BADFORMAT);
    }
    auto decoder = std::make_unique<TSndfileDecoder>(fd, file, info);
    decoder->CountFrames();
    return decoder;
}
