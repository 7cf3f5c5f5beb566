// AAC (MP4/M4A, ADTS), ALAC, WMA and Opus/Vorbis in Matroska/WebM through FFmpeg's libavformat and
// libavcodec, exact to the frame.
//
// At open the packets are listed once (demuxing only) with where each one's output ends on a timeline
// of everything the decoder gives in a straight decode ("output samples"). The song is the part of that
// timeline between the priming (edit list, iTunes gapless tag, Opus pre-skip) and the end the container
// states (edit list duration, iTunes gapless tag, Matroska's discard padding). A decoded frame is put at
// its packet's end on the timeline, so a decoder that gives less just after a flush (WMA's first
// superframe, Vorbis's first packet) still lands exactly; a seek starts a pre-roll earlier and discards.
#include "decode/MxAudioFileRead.h"
#include "decode/MxDecoder.h"
#include "decode/MxPcm.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}
#include <opus.h>
#include <vorbis/codec.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr int kIoBuffer = 65536;

// Decoded samples run from a flush before they equal a straight decode's: AAC needs its 2112-frame
// window overlap and SBR's envelope history, Vorbis and WMA two blocks; Opus converges more slowly
// (its predictors), as it does through libopusfile.
constexpr int64_t kPreroll = 8192;
constexpr int64_t kOpusPreroll = 48000;

struct TPacket {
    int64_t Pts;
    int64_t Pos;
    int64_t End; // output samples up to the end of this packet's output in a straight decode
};

class TFfmpegDecoder final : public TMxDecoder {
public:
    TFfmpegDecoder(const TMxByteRange& range, uint32_t kindCode) : FRange(range), FKindCode(kindCode)
    {
        static std::once_flag once; // FFmpeg's warnings about damaged files stay off the console
        std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
        try {
            Open();
        } catch (...) {
            Release(); // no destructor runs for a constructor that raises
            throw;
        }
    }
    ~TFfmpegDecoder() override { Release(); }

    int64_t Read(uint8_t* out, int64_t frames) override
    {
        if (Bits != 24)
            return TMxDecoder::Read(out, frames);
        FScratch.resize(static_cast<size_t>(std::min<int64_t>(frames, 2048) * Channels));
        int64_t done = 0;
        while (done < frames) {
            const int64_t n = ReadFloat(FScratch.data(), std::min<int64_t>(frames - done, 2048));
            if (n <= 0)
                break;
            uint8_t* p = out + done * 3 * Channels;
            for (int64_t i = 0; i < n * Channels; ++i, p += 3) {
                // Exact: 24-bit samples were scaled by a power of two into a float's 24-bit mantissa.
                const auto v = static_cast<int32_t>(std::clamp(FScratch[i] * 8388608.0f, -8388608.0f, 8388607.0f));
                p[0] = static_cast<uint8_t>(v);
                p[1] = static_cast<uint8_t>(v >> 8);
                p[2] = static_cast<uint8_t>(v >> 16);
            }
            done += n;
        }
        return done;
    }

    int64_t ReadFloat(float* out, int64_t frames) override
    {
        int64_t done = 0;
        while (done < frames && FNext < Frames) {
            if (FBufAt < FBufFrames) {
                const int64_t n = std::min({frames - done, FBufFrames - FBufAt, Frames - FNext});
                std::copy_n(FBuf.data() + FBufAt * Channels, n * Channels, out + done * Channels);
                FBufAt += n;
                FNext += n;
                done += n;
                continue;
            }
            if (!DecodeFrame())
                break;
        }
        return done;
    }

    void Seek(int64_t frame) override
    {
        FBufAt = FBufFrames = 0;
        FNext = frame;
        FEnded = false;
        const int64_t preroll = FCodec->codec_id == AV_CODEC_ID_OPUS ? kOpusPreroll : kPreroll;
        const int64_t from = frame + FSkip - preroll;
        // The first packet whose output reaches beyond `from`; its start is at or before it.
        const auto it = std::upper_bound(FPackets.begin(), FPackets.end(), from,
                                         [](int64_t v, const TPacket& p) { return v < p.End; });
        const size_t want = it == FPackets.end() ? FPackets.size() - 1 : static_cast<size_t>(it - FPackets.begin());
        if (!SeekToPacket(want) && !SeekToPacket(0))
            AMCheck(MS_E_NOSEEKING);
    }

private:
    void Release()
    {
        av_frame_free(&FFrame);
        av_packet_free(&FPacket);
        av_packet_free(&FLast);
        avcodec_free_context(&FCodec);
        avformat_close_input(&FFormat);
        if (FIo)
            av_freep(&FIo->buffer);
        avio_context_free(&FIo);
        if (FVorbisReady) {
            vorbis_info_clear(&FVorbis);
            vorbis_comment_clear(&FVorbisComment);
            FVorbisReady = false;
        }
    }

    [[noreturn]] void Fail() const { throw EAudioReadError(AMErrorText(FKindCode), FKindCode); }

    void Open()
    {
        auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBuffer));
        if (!buffer)
            Fail();
        FIo = avio_alloc_context(buffer, kIoBuffer, 0, &FRange, &ReadCb, nullptr, &SeekCb);
        if (!FIo) {
            av_free(buffer);
            Fail();
        }
        FFormat = avformat_alloc_context();
        if (!FFormat)
            Fail();
        FFormat->pb = FIo;
        FFormat->flags |= AVFMT_FLAG_CUSTOM_IO;
        if (avformat_open_input(&FFormat, nullptr, nullptr, nullptr) < 0)
            Fail(); // FFmpeg frees the context then
        if (avformat_find_stream_info(FFormat, nullptr) < 0)
            Fail();
        FStream = av_find_best_stream(FFormat, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        if (FStream < 0)
            Fail();
        for (unsigned i = 0; i < FFormat->nb_streams; ++i)
            if (static_cast<int>(i) != FStream)
                FFormat->streams[i]->discard = AVDISCARD_ALL;
        AVStream* st = FFormat->streams[FStream];
        const AVCodecParameters* par = st->codecpar;
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        if (!codec || !OpenCodec(codec))
            Fail();
        FPacket = av_packet_alloc();
        FFrame = av_frame_alloc();
        FLast = av_packet_alloc();
        if (!FPacket || !FFrame || !FLast)
            Fail();
        Rate = par->sample_rate;
        Channels = par->ch_layout.nb_channels;
        if (Rate <= 0 || Channels <= 0)
            Fail();
        ListPackets();
        if (!FFirstFrame)
            Fail(); // not one packet decodes: not audio we can play
        Bits = 16;
        const AVCodecDescriptor* desc = avcodec_descriptor_get(par->codec_id);
        if (desc && (desc->props & AV_CODEC_PROP_LOSSLESS) && FCodec->bits_per_raw_sample > 16)
            Bits = 24;

        const int64_t total = FPackets.back().End;
        int64_t end = total - FDiscardEnd;
        // MP4's edit list: FFmpeg gives its priming as the first packet's skip and its length as the
        // stream's duration from its start time (an estimate elsewhere, as for ADTS).
        if (FExactTime && st->duration > 0 && FFormat->duration_estimation_method == AVFMT_DURATION_FROM_STREAM) {
            const int64_t start = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
            end = std::min(end, ToSamples(start + st->duration) - FOrigin);
        }
        // iTunes's gapless tag, for files without an edit list: " 0 priming padding length ..." in hex.
        if (const AVDictionaryEntry* e = ItunesTag(); e && FSkip == 0) {
            unsigned long long f[4] = {};
            // A file cut short keeps the tag: its priming still holds, its length no longer.
            if (std::sscanf(e->value, " %llx %llx %llx %llx", &f[0], &f[1], &f[2], &f[3]) == 4 && f[3] > 0 &&
                f[1] < static_cast<unsigned long long>(total) &&
                f[3] <= static_cast<unsigned long long>(INT64_MAX / 2)) {
                FSkip = static_cast<int64_t>(f[1]);
                end = std::min(end, FSkip + static_cast<int64_t>(f[3]));
            }
        }
        Frames = std::max<int64_t>(std::min(end, total) - FSkip, 0);
        if (Frames == 0)
            AMCheck(MXAR_E_NOAUDIO);
        Seek(0);
    }

    // A fresh decoder: a flushed one keeps state (AAC's noise generator among it) that a fresh one
    // does not have, and seeks must decode as the first pass did.
    bool OpenCodec(const AVCodec* codec)
    {
        avcodec_free_context(&FCodec);
        const AVStream* st = FFormat->streams[FStream];
        FCodec = avcodec_alloc_context3(codec);
        if (!FCodec || avcodec_parameters_to_context(FCodec, st->codecpar) < 0)
            return false;
        FCodec->pkt_timebase = st->time_base;
        FCodec->thread_count = 1;
        // Nothing is discarded by the decoder: the timeline says what belongs to the song.
        FCodec->flags2 |= AV_CODEC_FLAG2_SKIP_MANUAL;
        return avcodec_open2(FCodec, codec, nullptr) >= 0;
    }

    const AVDictionaryEntry* ItunesTag() const
    {
        const AVDictionaryEntry* e = av_dict_get(FFormat->streams[FStream]->metadata, "iTunSMPB", nullptr, 0);
        return e ? e : av_dict_get(FFormat->metadata, "iTunSMPB", nullptr, 0);
    }

    int64_t ToSamples(int64_t ts) const
    {
        const AVRational tb = FFormat->streams[FStream]->time_base;
        return av_rescale_q_rnd(ts, tb, AVRational{1, Rate}, AV_ROUND_NEAR_INF);
    }

    // Lists the packets with their output; decodes the first until one gives audio (the format, the
    // decoder's own skip), and decodes all of them only for a codec whose packets do not tell their length.
    void ListPackets()
    {
        AVStream* st = FFormat->streams[FStream];
        // A time base in whole samples makes timestamps exact (MP4, ADTS); Matroska and ASF count ms.
        FExactTime = st->time_base.num == 1 && st->time_base.den % Rate == 0;
        const AVCodecID id = FCodec->codec_id;
        if (!FExactTime && id == AV_CODEC_ID_VORBIS)
            InitVorbis();
        bool decodeAll = !FExactTime && id != AV_CODEC_ID_OPUS && !(id == AV_CODEC_ID_VORBIS && FVorbisReady) &&
                         !WmaFrames(nullptr, 0);
        int64_t origin = AV_NOPTS_VALUE, end = 0, prevBlock = 0;
        while (ReadPacket()) {
            const int64_t pts = FPacket->pts, pos = FPacket->pos;
            int64_t count = 0;
            if (FExactTime && FPacket->pts != AV_NOPTS_VALUE) {
                if (origin == AV_NOPTS_VALUE)
                    origin = FOrigin = ToSamples(FPacket->pts);
                // Timestamps keep the timeline across a missing packet.
                count = std::max<int64_t>(ToSamples(FPacket->pts + FPacket->duration) - origin - end, 0);
            } else if (id == AV_CODEC_ID_OPUS) {
                count = std::max(opus_packet_get_nb_samples(FPacket->data, FPacket->size, Rate), 0);
            } else if (id == AV_CODEC_ID_VORBIS && FVorbisReady) {
                ogg_packet op{};
                op.packet = FPacket->data;
                op.bytes = FPacket->size;
                const long block = vorbis_packet_blocksize(&FVorbis, &op);
                count = block > 0 && prevBlock > 0 ? prevBlock / 4 + block / 4 : 0;
                if (block > 0)
                    prevBlock = block;
            } else if (!decodeAll) {
                count = WmaFrames(FPacket->data, FPacket->size) - (FPackets.empty() && FWmaReservoir ? FWmaFrame : 0);
            }
            // Only the last packet's end discard counts (Matroska's discard padding).
            FDiscardEnd = SideDiscard(FPacket);
            if (decodeAll || !FFirstFrame) {
                const bool first = !FFirstFrame;
                const int64_t decoded = DecodeCount();
                if (decodeAll)
                    count = decoded;
                // The decoder's own priming (Opus pre-skip, the container's skip) from the first frame's start.
                // WMA's decoder lags its input by one frame; the two it asks to skip would cut the music's first.
                if (first && FFirstFrame)
                    FSkip = (FWmaFrame > 0 ? FWmaFrame : FSkip) + end + count - decoded;
            } else if (FExactTime) {
                av_packet_unref(FLast);
                av_packet_move_ref(FLast, FPacket);
            } else {
                av_packet_unref(FPacket);
            }
            end += count;
            FPackets.push_back({pts, pos, end});
        }
        // The last packet's duration in MP4 is what the edit keeps of it, but AAC's decoder gives a whole
        // frame: its output is what a fresh decoder makes of it (ALAC's last frame is short, AAC's not).
        if (FExactTime && FLast->size > 0 && OpenCodec(FCodec->codec)) {
            const int64_t kept = ToSamples(FLast->duration);
            av_packet_move_ref(FPacket, FLast);
            const int64_t n = DecodeCount();
            if (n > 0 && !FPackets.empty()) {
                FPackets.back().End += n - kept;
                end = FPackets.back().End;
            }
        }
        if (FPackets.empty() || end <= 0)
            Fail();
    }

    // Sends the listed packet (FPacket, then unreferenced) and counts what comes out.
    int64_t DecodeCount()
    {
        int64_t n = 0;
        if (avcodec_send_packet(FCodec, FPacket) >= 0) {
            while (avcodec_receive_frame(FCodec, FFrame) >= 0) {
                if (!FFirstFrame) {
                    FFirstFrame = true;
                    const AVFrameSideData* sd = av_frame_get_side_data(FFrame, AV_FRAME_DATA_SKIP_SAMPLES);
                    FSkip = sd && sd->size >= 4 ? Le32(sd->data) : 0;
                }
                n += FFrame->nb_samples;
                av_frame_unref(FFrame);
            }
        }
        av_packet_unref(FPacket);
        return n;
    }

    // The end discard of a packet's skip side data (Matroska's discard padding).
    static int64_t SideDiscard(const AVPacket* pkt)
    {
        size_t size = 0;
        const uint8_t* sd = av_packet_get_side_data(pkt, AV_PKT_DATA_SKIP_SAMPLES, &size);
        return sd && size >= 8 ? Le32(sd + 4) : 0;
    }

    static uint32_t Le32(const uint8_t* p)
    {
        return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
    }

    // WMA 1/2: the frames a packet completes, each 2^frame_len_bits samples (the format's rule by rate);
    // with the bit reservoir the superframe's header counts them, and the very first one completes one
    // fewer. With `data` null, whether this codec is counted so.
    int64_t WmaFrames(const uint8_t* data, int size)
    {
        const AVCodecID id = FCodec->codec_id;
        if (id != AV_CODEC_ID_WMAV1 && id != AV_CODEC_ID_WMAV2)
            return 0;
        const uint8_t* x = FCodec->extradata;
        const int flagsAt = id == AV_CODEC_ID_WMAV1 ? 2 : 4;
        const bool reservoir = x && FCodec->extradata_size >= flagsAt + 2 && ((x[flagsAt] | (x[flagsAt + 1] << 8)) & 2);
        const int bits = Rate <= 16000 ? 9 : (Rate <= 22050 || (Rate <= 32000 && id == AV_CODEC_ID_WMAV1)) ? 10 : 11;
        FWmaFrame = int64_t(1) << bits;
        FWmaReservoir = reservoir;
        if (!data)
            return 1;
        if (!reservoir)
            return FWmaFrame;
        return size > 0 ? int64_t(data[0] & 0x0F) << bits : 0;
    }

    // Vorbis's block sizes from its three headers (Xiph-laced in the codec's extra data), so that each
    // packet's output is known without decoding it.
    void InitVorbis()
    {
        const uint8_t* x = FCodec->extradata;
        int size = FCodec->extradata_size;
        if (!x || size < 3 || x[0] != 2)
            return;
        int at = 1, lens[3] = {};
        for (int i = 0; i < 2; ++i) {
            while (at < size && x[at] == 255)
                lens[i] += x[at++];
            if (at >= size)
                return;
            lens[i] += x[at++];
        }
        lens[2] = size - at - lens[0] - lens[1];
        if (lens[2] <= 0)
            return;
        vorbis_info_init(&FVorbis);
        vorbis_comment_init(&FVorbisComment);
        FVorbisReady = true;
        for (int i = 0; i < 3; ++i) {
            ogg_packet op{};
            op.packet = const_cast<uint8_t*>(x + at);
            op.bytes = lens[i];
            op.b_o_s = i == 0;
            op.packetno = i;
            at += lens[i];
            if (vorbis_synthesis_headerin(&FVorbis, &FVorbisComment, &op) != 0) {
                vorbis_info_clear(&FVorbis);
                vorbis_comment_clear(&FVorbisComment);
                FVorbisReady = false;
                return;
            }
        }
    }

    // The listed packet with this pts and byte position, or the list's size. Timestamps ascend, except
    // that a laced packet may have none; then the byte position tells.
    size_t Find(int64_t pts, int64_t pos, size_t hint) const
    {
        const auto is = [&](const TPacket& p) { return p.Pts == pts && (pos < 0 || p.Pos == pos); };
        if (hint < FPackets.size() && is(FPackets[hint]))
            return hint;
        auto it = std::lower_bound(FPackets.begin(), FPackets.end(), pts,
                                   [](const TPacket& p, int64_t v) { return p.Pts < v; });
        for (; it != FPackets.end() && it->Pts == pts; ++it)
            if (is(*it))
                return static_cast<size_t>(it - FPackets.begin());
        return static_cast<size_t>(std::find_if(FPackets.begin(), FPackets.end(), is) - FPackets.begin());
    }

    // Positions the demuxer so that the next packet read is a listed one at or before `want`.
    bool SeekToPacket(size_t want)
    {
        if (FHavePacket)
            av_packet_unref(FPacket);
        FHavePacket = false;
        if (!OpenCodec(FCodec->codec))
            return false;
        const int flags = AVSEEK_FLAG_BACKWARD;
        if (want == 0 ? avformat_seek_file(FFormat, FStream, INT64_MIN, FPackets[0].Pts, FPackets[0].Pts, 0) < 0 &&
                            av_seek_frame(FFormat, FStream, FPackets[0].Pts, flags) < 0
                      : av_seek_frame(FFormat, FStream, FPackets[want].Pts, flags) < 0)
            return false;
        if (!ReadPacket())
            return false;
        FIndex = Find(FPacket->pts, FPacket->pos, want);
        if (FIndex > want) {
            av_packet_unref(FPacket);
            return false;
        }
        FHavePacket = true;
        return true;
    }

    // The next packet of the stream; false at the end. A damaged stretch that the demuxer can read past
    // (a Matroska cluster, an ASF packet) is skipped, as MP3 frames are after junk.
    bool ReadPacket()
    {
        constexpr int kMaxErrors = 1000;
        for (int errors = 0; errors < kMaxErrors;) {
            const int r = av_read_frame(FFormat, FPacket);
            if (r == AVERROR_EOF || (r < 0 && avio_feof(FFormat->pb)))
                return false;
            if (r < 0) {
                ++errors;
                continue;
            }
            if (FPacket->stream_index == FStream)
                return true;
            av_packet_unref(FPacket);
        }
        return false;
    }

    // Decodes the next frame into FBuf as the song frames from FNext on (silence for what a damaged
    // packet did not give); false at the end of the stream.
    bool DecodeFrame()
    {
        while (!FEnded) {
            const int r = avcodec_receive_frame(FCodec, FFrame);
            if (r >= 0) {
                const bool placed = Place();
                av_frame_unref(FFrame);
                if (placed)
                    return true;
                continue;
            }
            if (r == AVERROR_EOF) {
                FEnded = true;
                break;
            }
            if (!FHavePacket) {
                if (!ReadPacket()) {
                    avcodec_send_packet(FCodec, nullptr); // drain
                    continue;
                }
                FIndex = Find(FPacket->pts, FPacket->pos, FIndex + 1);
                FHavePacket = true;
            }
            if (FIndex >= FPackets.size()) { // a packet the listing never saw: the file changed under us
                av_packet_unref(FPacket);
                FHavePacket = false;
                FEnded = true;
                break;
            }
            // The decoder carries the packet's place in the list to its frame.
            FPacket->pts = FPacket->dts = static_cast<int64_t>(FIndex);
            const int s = avcodec_send_packet(FCodec, FPacket);
            if (s == AVERROR(EAGAIN))
                continue; // frames first; the packet stays
            av_packet_unref(FPacket);
            FHavePacket = false;
            if (s == AVERROR_EOF)
                FEnded = true;
        }
        // The end of the stream before the listed end (damage at the end): silence to the listed end of
        // what was decodable would be invented, so the song simply ends here.
        return false;
    }

    // Puts the received frame on the timeline; false when all of it lies before FNext.
    bool Place()
    {
        const int64_t index = FFrame->pts;
        if (index < 0 || index >= static_cast<int64_t>(FPackets.size()))
            return false;
        const int64_t n = FFrame->nb_samples;
        const int64_t end = FPackets[static_cast<size_t>(index)].End - FSkip; // song frames
        const int64_t start = end - n;
        if (end <= FNext || n <= 0)
            return false;
        const int64_t gap = std::max<int64_t>(start - FNext, 0); // a packet lost to damage
        const int64_t from = std::max<int64_t>(FNext - start, 0);
        FBufFrames = gap + n - from;
        FBuf.resize(static_cast<size_t>(FBufFrames * Channels));
        std::fill_n(FBuf.begin(), gap * Channels, 0.0f);
        Interleave(from, n - from, FBuf.data() + gap * Channels);
        FBufAt = 0;
        return true;
    }

    // Frames [from, from + n) of FFrame as interleaved float, mixed to the song's channels.
    void Interleave(int64_t from, int64_t n, float* out)
    {
        const int ch = FFrame->ch_layout.nb_channels;
        float* dst = out;
        if (ch != Channels) {
            FMix.resize(static_cast<size_t>(n * ch));
            dst = FMix.data();
        }
        const auto fmt = static_cast<AVSampleFormat>(FFrame->format);
        const bool planar = av_sample_fmt_is_planar(fmt);
        const auto each = [&](auto tag, float scale) {
            using T = decltype(tag);
            for (int c = 0; c < ch; ++c) {
                const T* src = planar ? reinterpret_cast<const T*>(FFrame->extended_data[c]) + from
                                      : reinterpret_cast<const T*>(FFrame->extended_data[0]) + from * ch + c;
                const int step = planar ? 1 : ch;
                float* d = dst + c;
                for (int64_t i = 0; i < n; ++i, src += step, d += ch)
                    *d = static_cast<float>(*src) * scale;
            }
        };
        switch (fmt) {
        case AV_SAMPLE_FMT_FLTP:
        case AV_SAMPLE_FMT_FLT:
            each(float{}, 1.0f);
            break;
        case AV_SAMPLE_FMT_S16P:
        case AV_SAMPLE_FMT_S16:
            each(int16_t{}, 1.0f / 32768);
            break;
        case AV_SAMPLE_FMT_S32P:
        case AV_SAMPLE_FMT_S32:
            each(int32_t{}, 1.0f / 2147483648.0f);
            break;
        case AV_SAMPLE_FMT_DBLP:
        case AV_SAMPLE_FMT_DBL:
            each(double{}, 1.0f);
            break;
        default: // 8-bit unsigned or a 64-bit integer: no decoder here gives them
            std::fill_n(dst, n * ch, 0.0f);
            break;
        }
        if (ch != Channels)
            MixChannels(FMix.data(), ch, out, Channels, n);
    }

    static int ReadCb(void* opaque, uint8_t* buffer, int size)
    {
        const int64_t n = static_cast<TMxByteRange*>(opaque)->Read(buffer, size);
        return n < 0 ? AVERROR(EIO) : n == 0 ? AVERROR_EOF : static_cast<int>(n);
    }
    static int64_t SeekCb(void* opaque, int64_t offset, int whence)
    {
        auto* range = static_cast<TMxByteRange*>(opaque);
        if (whence & AVSEEK_SIZE)
            return range->Size();
        const int64_t at = range->Seek(offset, whence & ~AVSEEK_FORCE);
        return at < 0 ? AVERROR(EINVAL) : at;
    }

    TMxByteRange FRange;
    uint32_t FKindCode;
    AVIOContext* FIo = nullptr;
    AVFormatContext* FFormat = nullptr;
    AVCodecContext* FCodec = nullptr;
    AVPacket* FPacket = nullptr;
    AVPacket* FLast = nullptr; // while listing: the last packet, where timestamps are exact
    AVFrame* FFrame = nullptr;
    int FStream = -1;

    std::vector<TPacket> FPackets;
    bool FExactTime = false;
    bool FFirstFrame = false;
    int64_t FSkip = 0;       // output samples before the song's first frame
    int64_t FDiscardEnd = 0; // output samples after the song's last frame, from the last packet
    int64_t FOrigin = 0;     // the first packet's timestamp in samples, where time is exact
    int64_t FWmaFrame = 0;   // WMA 1/2: samples per frame
    bool FWmaReservoir = false;
    vorbis_info FVorbis{};
    vorbis_comment FVorbisComment{};
    bool FVorbisReady = false;

    // Reading: FPacket is held unsent while FHavePacket; FIndex is its place in FPackets.
    bool FHavePacket = false;
    bool FEnded = false;
    size_t FIndex = 0;
    int64_t FNext = 0; // the next song frame ReadFloat gives
    std::vector<float> FBuf, FMix, FScratch;
    int64_t FBufAt = 0, FBufFrames = 0; // FBuf holds song frames [FNext - FBufAt, FNext - FBufAt + FBufFrames)
};

} // namespace

std::unique_ptr<TMxDecoder> OpenFfmpegDecoder(const TMxByteRange& range, uint32_t kindCode)
{
    return std::make_unique<TFfmpegDecoder>(range, kindCode);
}
