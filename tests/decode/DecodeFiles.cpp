#include "tests/decode/DecodeFiles.h"

#include <lame/lame.h>
#include <ogg/ogg.h>
#include <opus/opus.h>
#include <vorbis/vorbisenc.h>

#include <cstring>
#include <random>
#include <stdexcept>

namespace decodetest {

static void PutLE(std::vector<uint8_t>& b, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::vector<uint8_t> Chunk(const char id[4], const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> b(id, id + 4);
    PutLE(b, body.size(), 4);
    b.insert(b.end(), body.begin(), body.end());
    if (body.size() % 2)
        b.push_back(0);
    return b;
}

std::vector<uint8_t> WavBytes(const TWavLayout& s, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> fmt;
    const int align = s.Channels * s.Bits / 8;
    PutLE(fmt, s.FormatTag, 2);
    PutLE(fmt, s.Channels, 2);
    PutLE(fmt, s.Rate, 4);
    PutLE(fmt, static_cast<uint64_t>(s.Rate) * align, 4);
    PutLE(fmt, align, 2);
    PutLE(fmt, s.Bits, 2);
    std::vector<uint8_t> body{'W', 'A', 'V', 'E'};
    auto f = Chunk("fmt ", fmt);
    body.insert(body.end(), f.begin(), f.end());
    for (const auto& c : s.ChunksBefore)
        body.insert(body.end(), c.begin(), c.end());
    body.insert(body.end(), {'d', 'a', 't', 'a'});
    PutLE(body, s.DataSizeField >= 0 ? static_cast<uint64_t>(s.DataSizeField) : data.size(), 4);
    body.insert(body.end(), data.begin(), data.end());
    std::vector<uint8_t> out{'R', 'I', 'F', 'F'};
    PutLE(out, body.size(), 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::vector<uint8_t> Mp3Bytes(int rate, int channels, const std::vector<int16_t>& samples, int kbps, bool xing,
                              bool crc)
{
    lame_t gf = lame_init();
    lame_set_in_samplerate(gf, rate);
    lame_set_out_samplerate(gf, rate);
    lame_set_num_channels(gf, channels);
    lame_set_mode(gf, channels == 1 ? MONO : JOINT_STEREO);
    if (kbps > 0) {
        lame_set_brate(gf, kbps);
    } else {
        lame_set_VBR(gf, vbr_default);
        lame_set_VBR_quality(gf, 2);
    }
    lame_set_bWriteVbrTag(gf, xing ? 1 : 0);
    lame_set_error_protection(gf, crc ? 1 : 0);
    lame_set_quality(gf, 7);
    if (lame_init_params(gf) < 0) {
        lame_close(gf);
        throw std::runtime_error("lame_init_params failed");
    }
    const int frames = static_cast<int>(samples.size() / channels);
    std::vector<unsigned char> out(static_cast<size_t>(1.25 * frames + 7200) + 16384);
    int n = channels == 1 ? lame_encode_buffer(gf, samples.data(), samples.data(), frames, out.data(),
                                               static_cast<int>(out.size()))
                          : lame_encode_buffer_interleaved(gf, const_cast<short*>(samples.data()), frames, out.data(),
                                                           static_cast<int>(out.size()));
    int m = n < 0 ? -1 : lame_encode_flush(gf, out.data() + n, static_cast<int>(out.size()) - n);
    if (n < 0 || m < 0) {
        lame_close(gf);
        throw std::runtime_error("lame encoding failed");
    }
    out.resize(static_cast<size_t>(n + m));
    if (xing) {
        std::vector<unsigned char> tag(2880);
        size_t t = lame_get_lametag_frame(gf, tag.data(), tag.size());
        if (t > 0 && t <= out.size())
            std::memcpy(out.data(), tag.data(), t);
    }
    lame_close(gf);
    return std::vector<uint8_t>(out.begin(), out.end());
}

static void AppendPages(ogg_stream_state& os, std::vector<uint8_t>& out, bool flush)
{
    ogg_page page;
    while (flush ? ogg_stream_flush(&os, &page) : ogg_stream_pageout(&os, &page)) {
        out.insert(out.end(), page.header, page.header + page.header_len);
        out.insert(out.end(), page.body, page.body + page.body_len);
    }
}

std::vector<uint8_t> VorbisBytes(int rate, int channels, const std::vector<float>& samples, int serial)
{
    vorbis_info vi;
    vorbis_info_init(&vi);
    if (vorbis_encode_init_vbr(&vi, channels, rate, 0.5f) != 0)
        throw std::runtime_error("vorbis_encode_init_vbr failed");
    vorbis_comment vc;
    vorbis_comment_init(&vc);
    vorbis_dsp_state vd;
    vorbis_analysis_init(&vd, &vi);
    vorbis_block vb;
    vorbis_block_init(&vd, &vb);
    ogg_stream_state os;
    ogg_stream_init(&os, serial);
    ogg_packet head, comments, codebooks, packet;
    vorbis_analysis_headerout(&vd, &vc, &head, &comments, &codebooks);
    ogg_stream_packetin(&os, &head);
    ogg_stream_packetin(&os, &comments);
    ogg_stream_packetin(&os, &codebooks);
    std::vector<uint8_t> out;
    AppendPages(os, out, true);
    const long frames = static_cast<long>(samples.size() / channels);
    for (long done = 0;;) {
        const int n = static_cast<int>(std::min<long>(1024, frames - done));
        if (n > 0) {
            float** in = vorbis_analysis_buffer(&vd, n);
            for (int i = 0; i < n; ++i)
                for (int c = 0; c < channels; ++c)
                    in[c][i] = samples[static_cast<size_t>((done + i) * channels + c)];
        }
        vorbis_analysis_wrote(&vd, n);
        done += n;
        while (vorbis_analysis_blockout(&vd, &vb) == 1) {
            vorbis_analysis(&vb, nullptr);
            vorbis_bitrate_addblock(&vb);
            while (vorbis_bitrate_flushpacket(&vd, &packet)) {
                ogg_stream_packetin(&os, &packet);
                AppendPages(os, out, false);
            }
        }
        if (n == 0)
            break;
    }
    AppendPages(os, out, true);
    ogg_stream_clear(&os);
    vorbis_block_clear(&vb);
    vorbis_dsp_clear(&vd);
    vorbis_comment_clear(&vc);
    vorbis_info_clear(&vi);
    return out;
}

std::vector<uint8_t> OpusBytes(int channels, const std::vector<float>& samples, int serial)
{
    int error = 0;
    OpusEncoder* enc = opus_encoder_create(48000, channels, OPUS_APPLICATION_AUDIO, &error);
    if (!enc)
        throw std::runtime_error("opus_encoder_create failed");
    opus_encoder_ctl(enc, OPUS_SET_BITRATE(80000 * channels));
    opus_int32 preSkip = 0;
    opus_encoder_ctl(enc, OPUS_GET_LOOKAHEAD(&preSkip));
    ogg_stream_state os;
    ogg_stream_init(&os, serial);
    std::vector<uint8_t> out;
    // The identification header (RFC 7845, 5.1): version 1, channels, pre-skip, input rate, gain 0, family 0.
    std::vector<uint8_t> head{'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, static_cast<uint8_t>(channels)};
    PutLE(head, static_cast<uint64_t>(preSkip), 2);
    PutLE(head, 48000, 4);
    PutLE(head, 0, 2);
    head.push_back(0);
    std::vector<uint8_t> tags{'O', 'p', 'u', 's', 'T', 'a', 'g', 's', 0, 0, 0, 0, 0, 0, 0, 0};
    ogg_packet p{};
    p.packet = head.data();
    p.bytes = static_cast<long>(head.size());
    p.b_o_s = 1;
    ogg_stream_packetin(&os, &p);
    AppendPages(os, out, true);
    p = ogg_packet{};
    p.packet = tags.data();
    p.bytes = static_cast<long>(tags.size());
    p.packetno = 1;
    ogg_stream_packetin(&os, &p);
    AppendPages(os, out, true);
    // The input, then the look-ahead's worth of silence so that its last samples leave the encoder.
    const int64_t frames = static_cast<int64_t>(samples.size() / channels);
    const int64_t total = frames + preSkip;
    std::vector<float> block(960 * static_cast<size_t>(channels));
    std::vector<unsigned char> packet(4000);
    for (int64_t done = 0, no = 2; done < total; done += 960, ++no) {
        for (int64_t i = 0; i < 960 * channels; ++i) {
            const int64_t at = done * channels + i;
            block[static_cast<size_t>(i)] = at < frames * channels ? samples[static_cast<size_t>(at)] : 0.0f;
        }
        const int n = opus_encode_float(enc, block.data(), 960, packet.data(), static_cast<int>(packet.size()));
        if (n < 0)
            throw std::runtime_error("opus_encode_float failed");
        p = ogg_packet{};
        p.packet = packet.data();
        p.bytes = n;
        p.packetno = no;
        p.granulepos = std::min(done + 960, total);
        p.e_o_s = done + 960 >= total;
        ogg_stream_packetin(&os, &p);
        AppendPages(os, out, false);
    }
    AppendPages(os, out, true);
    ogg_stream_clear(&os);
    opus_encoder_destroy(enc);
    return out;
}

std::vector<uint8_t> Id3Tag(size_t bytes)
{
    std::mt19937 gen(7);
    std::vector<uint8_t> frame{'P', 'R', 'I', 'V'};
    const size_t content = bytes - 20;
    for (int i = 3; i >= 0; --i)
        frame.push_back(static_cast<uint8_t>(content >> (8 * i)));
    frame.insert(frame.end(), {0, 0, 'd', 'u', 'o', 0});
    for (size_t i = 4; i < content; ++i)
        frame.push_back(static_cast<uint8_t>(gen())); // noise full of false frame syncs
    std::vector<uint8_t> tag{'I', 'D', '3', 3, 0, 0};
    const size_t size = frame.size();
    for (int i = 3; i >= 0; --i)
        tag.push_back(static_cast<uint8_t>((size >> (7 * i)) & 0x7F));
    tag.insert(tag.end(), frame.begin(), frame.end());
    return tag;
}

std::vector<uint8_t> S16Bytes(const std::vector<int16_t>& samples)
{
    std::vector<uint8_t> b(samples.size() * 2);
    std::memcpy(b.data(), samples.data(), b.size());
    return b;
}

} // namespace decodetest
