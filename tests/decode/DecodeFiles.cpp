#include "tests/decode/DecodeFiles.h"

#include <lame/lame.h>

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

std::vector<uint8_t> Mp3Bytes(int rate, int channels, const std::vector<int16_t>& samples, int kbps, bool xing)
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
