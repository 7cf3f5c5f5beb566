// MPEG audio layers I-III through libmpg123: its gapless decoding (LAME/Xing/Info/VBRI frames), its
// frame scan for the exact length and its sample-exact seeks; float output.
#include "decode/MxAudioFileRead.h"
#include "decode/MxDecoder.h"

#include <mpg123.h>

#include <cstdio>
#include <mutex>

namespace {

[[noreturn]] void Raise(int error)
{
    const uint32_t code = MXAR_E_MPG123_BASE | (static_cast<uint32_t>(error) & 0xFFFF);
    throw EAudioReadError(AMErrorText(code), code);
}

class TMpegDecoder final : public TMxDecoder {
public:
    TMpegDecoder(const TMxByteRange& range, const std::string& name) : FRange(range), FName(name)
    {
        static std::once_flag once; // needed by libraries before 1.27, harmless after
        std::call_once(once, [] { mpg123_init(); });
        int error = MPG123_OK;
        FOwned.reset(mpg123_new(nullptr, &error));
        FHandle = FOwned.get();
        if (!FHandle)
            Raise(error);
        // No automatic resampling: every sample must be one of the file's own, for exact lengths and seeks.
        // No look-ahead to the next frame's header, which a stream of one whole frame does not have
        // (the reader leaves junk between frames out of what the library reads).
        mpg123_param(FHandle, MPG123_FLAGS, MPG123_GAPLESS | MPG123_QUIET | MPG123_NO_READAHEAD, 0);
        mpg123_param(FHandle, MPG123_RESYNC_LIMIT, -1, 0);
        mpg123_format_none(FHandle);
        const long* rates = nullptr;
        size_t count = 0;
        mpg123_rates(&rates, &count);
        for (size_t i = 0; i < count; ++i)
            mpg123_format(FHandle, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32);
        Check(mpg123_replace_reader_handle(FHandle, &TMpegDecoder::ReadCb, &TMpegDecoder::SeekCb, nullptr));
        Check(mpg123_open_handle(FHandle, &FRange));
        long rate = 0;
        int channels = 0, encoding = 0;
        error = mpg123_getformat(FHandle, &rate, &channels, &encoding);
        if (error == MPG123_DONE || error == MPG123_NEED_MORE)
            AMCheck(MXAR_E_NOAUDIO);
        Check(error);
        // Frames in another channel count than the first are converted by the library.
        mpg123_format_none(FHandle);
        mpg123_format(FHandle, rate, channels, MPG123_ENC_FLOAT_32);
        Check(mpg123_scan(FHandle));
        const off_t length = mpg123_length(FHandle);
        if (length <= 0)
            AMCheck(MXAR_E_NOAUDIO);
        Channels = channels;
        Rate = static_cast<int>(rate);
        Frames = length;
    }
    int64_t ReadFloat(float* out, int64_t frames) override
    {
        if (FEnded)
            return 0;
        const size_t bytes = static_cast<size_t>(frames * Channels) * sizeof(float);
        size_t got = 0;
        while (got < bytes) {
            size_t done = 0;
            const int r = mpg123_read(FHandle, reinterpret_cast<unsigned char*>(out) + got, bytes - got, &done);
            got += done;
            if (r == MPG123_NEW_FORMAT) {
                long rate = 0;
                int channels = 0, encoding = 0;
                mpg123_getformat(FHandle, &rate, &channels, &encoding);
                if (rate == Rate && channels == Channels)
                    continue;
                std::fprintf(stderr, "DuoDeck: %s changes its sample rate at %.3f s; the song ends there.\n",
                             FName.c_str(), double(mpg123_tell(FHandle)) / Rate);
                FEnded = true;
                break;
            }
            if (r != MPG123_OK)
                break; // the end, or a damage the library cannot step over: the end of the song
        }
        return static_cast<int64_t>(got / (sizeof(float) * Channels));
    }

    void Seek(int64_t frame) override
    {
        if (mpg123_seek(FHandle, static_cast<off_t>(frame), SEEK_SET) < 0)
            AMCheck(MS_E_NOSEEKING);
        FEnded = false;
    }

private:
    void Check(int error)
    {
        if (error != MPG123_OK)
            Raise(error == MPG123_ERR ? mpg123_errcode(FHandle) : error);
    }
    static mpg123_ssize_t ReadCb(void* handle, void* buffer, size_t bytes)
    {
        return static_cast<mpg123_ssize_t>(
            static_cast<TMxByteRange*>(handle)->Read(buffer, static_cast<int64_t>(bytes)));
    }
    static off_t SeekCb(void* handle, off_t offset, int whence)
    {
        return static_cast<off_t>(static_cast<TMxByteRange*>(handle)->Seek(offset, whence));
    }

    TMxByteRange FRange;
    std::string FName;
    struct TDelete {
        void operator()(mpg123_handle* h) const
        {
            mpg123_close(h);
            mpg123_delete(h);
        }
    };
    std::unique_ptr<mpg123_handle, TDelete> FOwned; // freed also when the constructor raises
    mpg123_handle* FHandle = nullptr;
    bool FEnded = false;
};

} // namespace

std::unique_ptr<TMxDecoder> OpenMpegDecoder(const TMxByteRange& range, const std::string& name)
{
    return std::make_unique<TMpegDecoder>(range, name);
}
