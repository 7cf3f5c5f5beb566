// Ogg Vorbis through libvorbisfile and Opus through libopusfile: float output, exact PCM lengths and
// seeks, every link of a chained stream. A link in another channel count is mixed to the song's; a
// Vorbis link in another rate ends the song (one console line), since its samples cannot be ours.
#include "decode/MxAudioFileRead.h"
#include "decode/MxDecoder.h"
#include "decode/MxPcm.h"

#include <opusfile.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cstdio>

namespace {

[[noreturn]] void Raise(uint32_t base, int error)
{
    const uint32_t code = base | (static_cast<uint32_t>(-error) & 0xFFFF);
    throw EAudioReadError(AMErrorText(code), code);
}

// Reorders (and mixes, for a link of other channels) `frames` frames of `from` channels in the Vorbis
// order into `out`, the song's channels in the WAVE order.
void Deliver(const float* const* planar, const float* in, int from, float* out, int to, std::vector<float>& tmp,
             int64_t frames)
{
    if (from == to) {
        VorbisOrderToWave(planar, in, from, out, frames);
        return;
    }
    tmp.resize(static_cast<size_t>(frames * from));
    VorbisOrderToWave(planar, in, from, tmp.data(), frames);
    MixChannels(tmp.data(), from, out, to, frames);
}

std::string Time(int64_t frame, int rate)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", double(frame) / rate);
    return text;
}

class TVorbisDecoder final : public TMxDecoder {
public:
    TVorbisDecoder(const TMxByteRange& range, const std::string& name) : FRange(range)
    {
        const ov_callbacks io = {&ReadCb, &SeekCb, nullptr, &TellCb};
        const int error = ov_open_callbacks(&FRange, &FFile, nullptr, 0, io);
        if (error != 0)
            Raise(MXAR_E_VORBIS_BASE, error);
        FOpen = true;
        const vorbis_info* first = ov_info(&FFile, 0);
        Channels = first->channels;
        Rate = static_cast<int>(first->rate);
        for (int link = 0; link < ov_streams(&FFile); ++link) {
            if (ov_info(&FFile, link)->rate != first->rate) {
                std::fprintf(stderr, "DuoDeck: %s changes its sample rate at %s; the song ends there.\n", name.c_str(),
                             Time(Frames, Rate).c_str());
                break;
            }
            const ogg_int64_t n = ov_pcm_total(&FFile, link);
            if (n > 0)
                Frames += n;
        }
    }
    ~TVorbisDecoder() override
    {
        if (FOpen)
            ov_clear(&FFile);
    }

    int64_t ReadFloat(float* out, int64_t frames) override
    {
        int64_t done = 0;
        while (done < frames) {
            float** pcm = nullptr;
            int link = 0;
            const long n = ov_read_float(&FFile, &pcm, static_cast<int>(std::min<int64_t>(frames - done, 4096)), &link);
            if (n == OV_HOLE)
                continue; // a damaged page: the stream goes on after it
            if (n <= 0)
                break;
            const vorbis_info* info = ov_info(&FFile, link);
            if (info->rate != Rate)
                break;
            Deliver(pcm, nullptr, info->channels, out + done * Channels, Channels, FTmp, n);
            done += n;
        }
        return done;
    }

    void Seek(int64_t frame) override
    {
        if (ov_pcm_seek(&FFile, frame) != 0)
            AMCheck(MS_E_NOSEEKING);
    }

private:
    static size_t ReadCb(void* buffer, size_t size, size_t count, void* source)
    {
        const int64_t n = static_cast<TMxByteRange*>(source)->Read(buffer, static_cast<int64_t>(size * count));
        return n <= 0 || size == 0 ? 0 : static_cast<size_t>(n) / size;
    }
    static int SeekCb(void* source, ogg_int64_t offset, int whence)
    {
        return static_cast<TMxByteRange*>(source)->Seek(offset, whence) < 0 ? -1 : 0;
    }
    static long TellCb(void* source) { return static_cast<long>(static_cast<TMxByteRange*>(source)->Pos); }

    TMxByteRange FRange;
    OggVorbis_File FFile{};
    bool FOpen = false;
    std::vector<float> FTmp;
};

class TOpusDecoder final : public TMxDecoder {
public:
    explicit TOpusDecoder(const TMxByteRange& range) : FRange(range)
    {
        const OpusFileCallbacks io = {&ReadCb, &SeekCb, &TellCb, nullptr};
        int error = 0;
        FFile = op_open_callbacks(&FRange, &io, nullptr, 0, &error);
        if (!FFile)
            Raise(MXAR_E_OPUS_BASE, error);
        Channels = op_channel_count(FFile, 0);
        Rate = 48000; // Opus always decodes at 48 kHz
        Frames = std::max<ogg_int64_t>(op_pcm_total(FFile, -1), 0);
    }
    ~TOpusDecoder() override
    {
        if (FFile)
            op_free(FFile);
    }

    int64_t ReadFloat(float* out, int64_t frames) override
    {
        // Frames decoded beyond the last call's want (a link of fewer channels gives more frames per float).
        int64_t done = std::min<int64_t>(frames, FPendingFrames - FPendingAt);
        std::copy_n(FPending.begin() + FPendingAt * Channels, done * Channels, out);
        FPendingAt += done;
        while (done < frames) {
            int link = 0;
            // 120 ms is the longest packet; a smaller buffer costs a copy inside the library.
            const int linkChannels = std::max(op_channel_count(FFile, -1), 1);
            FTmp.resize(static_cast<size_t>(5760 * linkChannels));
            const int want = static_cast<int>(std::min<int64_t>(frames - done, 5760)) * linkChannels;
            const int n = op_read_float(FFile, FTmp.data(), want, &link);
            if (n == OP_HOLE)
                continue;
            if (n <= 0)
                break;
            const int from = op_channel_count(FFile, link);
            const int64_t fits = std::min<int64_t>(n, frames - done);
            if (fits < n) {
                FPending.resize(static_cast<size_t>(n * Channels));
                Deliver(nullptr, FTmp.data(), from, FPending.data(), Channels, FMix, n);
                std::copy_n(FPending.begin(), fits * Channels, out + done * Channels);
                FPendingFrames = n;
                FPendingAt = fits;
            } else {
                Deliver(nullptr, FTmp.data(), from, out + done * Channels, Channels, FMix, n);
            }
            done += fits;
        }
        return done;
    }

    void Seek(int64_t frame) override
    {
        // The decoder's state after the library's 80 ms pre-roll still differs from a straight decode's
        // in the last bits; after a longer run in it converges, so the samples become a straight decode's.
        const int64_t from = std::max<int64_t>(frame - kPreroll, 0);
        if (op_pcm_seek(FFile, from) != 0)
            AMCheck(MS_E_NOSEEKING);
        FPendingFrames = FPendingAt = 0;
        std::vector<float>& skip = FSkip;
        skip.resize(static_cast<size_t>(4096 * Channels));
        for (int64_t at = from; at < frame;) {
            const int64_t n = ReadFloat(skip.data(), std::min<int64_t>(frame - at, 4096));
            if (n <= 0)
                break;
            at += n;
        }
    }

private:
    static constexpr int64_t kPreroll = 48000;
    static int ReadCb(void* source, unsigned char* buffer, int bytes)
    {
        return static_cast<int>(static_cast<TMxByteRange*>(source)->Read(buffer, bytes));
    }
    static int SeekCb(void* source, opus_int64 offset, int whence)
    {
        return static_cast<TMxByteRange*>(source)->Seek(offset, whence) < 0 ? -1 : 0;
    }
    static opus_int64 TellCb(void* source) { return static_cast<TMxByteRange*>(source)->Pos; }

    TMxByteRange FRange;
    OggOpusFile* FFile = nullptr;
    std::vector<float> FTmp, FMix, FSkip, FPending;
    int64_t FPendingFrames = 0, FPendingAt = 0;
};

// Links that the libraries cannot tell apart (one serial number), each opened on its own byte range.
// A link in another rate ends the song, as in one stream; a damaged link after the first ends it too.
class TOggChain final : public TMxDecoder {
public:
    using TOpen = std::unique_ptr<TMxDecoder> (*)(const TMxByteRange&, const std::string&);
    TOggChain(const TMxByteRange& range, const std::vector<std::pair<int64_t, int64_t>>& links, const std::string& name,
              TOpen open)
    {
        for (const auto& [begin, end] : links) {
            TMxByteRange link = range;
            link.Begin = range.Begin + begin;
            link.End = range.Begin + end;
            link.Pos = 0;
            std::unique_ptr<TMxDecoder> d;
            try {
                d = open(link, name);
            } catch (const EAudioReadError&) {
                if (FLinks.empty())
                    throw;
                std::fprintf(stderr, "DuoDeck: %s has a damaged link at %s; the song ends there.\n", name.c_str(),
                             Time(Frames, Rate).c_str());
                break;
            }
            if (FLinks.empty()) {
                Channels = d->Channels;
                Rate = d->Rate;
            } else if (d->Rate != Rate) {
                std::fprintf(stderr, "DuoDeck: %s changes its sample rate at %s; the song ends there.\n", name.c_str(),
                             Time(Frames, Rate).c_str());
                break;
            }
            FStarts.push_back(Frames);
            Frames += d->Frames;
            FLinks.push_back(std::move(d));
        }
    }

    int64_t ReadFloat(float* out, int64_t frames) override
    {
        int64_t done = 0;
        while (done < frames && FLink < FLinks.size()) {
            TMxDecoder& d = *FLinks[FLink];
            int64_t n;
            if (d.Channels == Channels) {
                n = d.ReadFloat(out + done * Channels, frames - done);
            } else {
                FTmp.resize(static_cast<size_t>((frames - done) * d.Channels));
                n = d.ReadFloat(FTmp.data(), frames - done);
                MixChannels(FTmp.data(), d.Channels, out + done * Channels, Channels, std::max<int64_t>(n, 0));
            }
            if (n <= 0) {
                if (++FLink < FLinks.size())
                    FLinks[FLink]->Seek(0);
                continue;
            }
            done += n;
        }
        return done;
    }

    void Seek(int64_t frame) override
    {
        FLink = static_cast<size_t>(std::upper_bound(FStarts.begin(), FStarts.end(), frame) - FStarts.begin()) - 1;
        FLinks[FLink]->Seek(frame - FStarts[FLink]);
    }

private:
    std::vector<std::unique_ptr<TMxDecoder>> FLinks;
    std::vector<int64_t> FStarts; // each link's first frame in the song
    size_t FLink = 0;
    std::vector<float> FTmp;
};

} // namespace

std::unique_ptr<TMxDecoder> OpenOggChain(const TMxByteRange& range,
                                         const std::vector<std::pair<int64_t, int64_t>>& links, bool opus,
                                         const std::string& name)
{
    return std::make_unique<TOggChain>(range, links, name, opus ? &OpenOpusDecoder : &OpenVorbisDecoder);
}

std::unique_ptr<TMxDecoder> OpenVorbisDecoder(const TMxByteRange& range, const std::string& name)
{
    return std::make_unique<TVorbisDecoder>(range, name);
}

std::unique_ptr<TMxDecoder> OpenOpusDecoder(const TMxByteRange& range, const std::string&)
{
    return std::make_unique<TOpusDecoder>(range);
}
