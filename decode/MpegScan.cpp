#include "decode/MpegScan.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// A small read-through window over the file, so that hopping from header to header costs one
// pread per 64 KiB rather than one per frame.
class TFileWindow {
public:
    TFileWindow(int fd, int64_t size) : FFd(fd), FSize(size), FBuf(65536) {}

    // Copies n bytes at off into out; false when they are not all in the file.
    bool Get(int64_t off, size_t n, uint8_t* out)
    {
        if (off < 0 || n > FBuf.size() || off + static_cast<int64_t>(n) > FSize)
            return false;
        if (off < FStart || off + static_cast<int64_t>(n) > FStart + FFill) {
            FStart = off;
            FFill = 0;
            const size_t want = static_cast<size_t>(std::min<int64_t>(FBuf.size(), FSize - off));
            while (FFill < static_cast<int64_t>(want)) {
                ssize_t r = pread(FFd, FBuf.data() + FFill, want - FFill, FStart + FFill);
                if (r < 0 && errno == EINTR)
                    continue;
                if (r <= 0)
                    break;
                FFill += r;
            }
            if (static_cast<int64_t>(n) > FFill)
                return false; // the file shrank under us
        }
        std::memcpy(out, FBuf.data() + (off - FStart), n);
        return true;
    }

private:
    int FFd;
    int64_t FSize;
    std::vector<uint8_t> FBuf;
    int64_t FStart = 0;
    int64_t FFill = 0;
};

struct THeader {
    int Version = 0; // the header's two version bits: 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int Layer = 0;   // 1, 2 or 3
    bool Crc = false;
    int BitrateIndex = 0;
    int Rate = 0;
    int Mode = 0; // 3 = mono
    int Size = 0; // bytes of the whole frame
    int SamplesPerFrame = 0;
};

// Bitrates in kbit/s by [MPEG-1 ? 0 : 1][layer - 1][index]; index 0 (free format) is not accepted.
constexpr int kBitrates[2][3][15] = {{{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
                                      {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
                                      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
                                     {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
                                      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
                                      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
constexpr int kRates[3] = {44100, 48000, 32000};

int FrameSize(const THeader& h, int bitrateIndex, bool padding)
{
    const int kbps = kBitrates[h.Version == 3 ? 0 : 1][h.Layer - 1][bitrateIndex];
    const int pad = padding ? 1 : 0;
    if (h.Layer == 1)
        return (12 * kbps * 1000 / h.Rate + pad) * 4;
    if (h.Layer == 3 && h.Version != 3)
        return 72 * kbps * 1000 / h.Rate + pad;
    return 144 * kbps * 1000 / h.Rate + pad;
}

bool ParseHeader(const uint8_t* p, THeader& h)
{
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return false;
    h.Version = (p[1] >> 3) & 3;
    const int layerBits = (p[1] >> 1) & 3;
    const int bitrateIndex = p[2] >> 4;
    const int rateIndex = (p[2] >> 2) & 3;
    if (h.Version == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3 ||
        (p[3] & 3) == 2)
        return false;
    h.Layer = 4 - layerBits;
    h.Crc = (p[1] & 1) == 0;
    h.BitrateIndex = bitrateIndex;
    h.Rate = kRates[rateIndex] >> (h.Version == 3 ? 0 : h.Version == 2 ? 1 : 2);
    h.Mode = p[3] >> 6;
    h.Size = FrameSize(h, bitrateIndex, (p[2] & 2) != 0);
    h.SamplesPerFrame = h.Layer == 1 ? 384 : (h.Layer == 3 && h.Version != 3) ? 576 : 1152;
    return true;
}

bool SameStream(const THeader& a, const THeader& b)
{
    return a.Version == b.Version && a.Layer == b.Layer && a.Rate == b.Rate;
}

// Where a Xing/Info tag sits in a layer III frame: after the header, the CRC and the side information.
int TagOffset(const THeader& h)
{
    const bool mono = h.Mode == 3;
    const int side = h.Version == 3 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    return 4 + (h.Crc ? 2 : 0) + side;
}

uint32_t Be32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void PutBe32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Skips ID3v2 tags at `pos`; returns the offset after them (beyond the file when a tag says so).
int64_t SkipId3v2(TFileWindow& w, int64_t pos)
{
    uint8_t t[10];
    while (w.Get(pos, 10, t) && t[0] == 'I' && t[1] == 'D' && t[2] == '3' && t[3] != 0xFF && t[4] != 0xFF &&
           ((t[6] | t[7] | t[8] | t[9]) & 0x80) == 0) {
        const int64_t size = (int64_t(t[6]) << 21) | (int64_t(t[7]) << 14) | (int64_t(t[8]) << 7) | t[9];
        pos += 10 + size + ((t[5] & 0x10) ? 10 : 0); // footer flag
    }
    return pos;
}

// A minimal Xing frame carrying only a frame count, shaped like the stream's first audio frame.
std::vector<uint8_t> MakeTagFrame(const uint8_t* firstHeader, const THeader& first, int64_t frames)
{
    THeader h = first;
    h.Crc = false;
    const int off = TagOffset(h);
    int index = first.BitrateIndex;
    while (index < 14 && FrameSize(h, index, false) < off + 12)
        ++index;
    std::vector<uint8_t> out(static_cast<size_t>(FrameSize(h, index, false)), 0);
    out[0] = firstHeader[0];
    out[1] = firstHeader[1] | 1; // no CRC
    out[2] = static_cast<uint8_t>((index << 4) | (firstHeader[2] & 0x0C));
    out[3] = firstHeader[3];
    std::memcpy(out.data() + off, "Xing", 4);
    PutBe32(out.data() + off + 4, 1); // frames field present
    PutBe32(out.data() + off + 8, static_cast<uint32_t>(frames));
    return out;
}

// Frames of the stream that follow one another from `pos`, up to `limit` of them (0: no limit);
// `end` receives where the last of them ends.
int64_t FrameRun(TFileWindow& w, const THeader& first, int64_t pos, int64_t fileSize, int64_t limit, int64_t& end)
{
    uint8_t b[4];
    THeader h;
    int64_t frames = 0;
    while ((limit == 0 || frames < limit) && w.Get(pos, 4, b) && ParseHeader(b, h) && SameStream(first, h) &&
           pos + h.Size <= fileSize) {
        pos += h.Size;
        ++frames;
    }
    end = pos;
    return frames;
}

// After a break in the frames: the next offset where the stream picks up again, as a decoder would
// take it: a few whole frames in a row agree (or frames reach the very end of the file). -1: none.
int64_t Resynchronise(TFileWindow& w, const THeader& first, int64_t from, int64_t fileSize)
{
    constexpr int64_t kAgreeing = 3;
    uint8_t b[4];
    THeader h;
    for (int64_t p = from; p + 4 <= fileSize; ++p) {
        if (!w.Get(p, 4, b) || b[0] != 0xFF || !ParseHeader(b, h) || !SameStream(first, h))
            continue;
        int64_t end = 0;
        const int64_t frames = FrameRun(w, first, p, fileSize, kAgreeing, end);
        if (frames == kAgreeing || (frames > 0 && end == fileSize))
            return p;
    }
    return -1;
}

int64_t AudioBytes(const TMpegLayout& layout)
{
    int64_t bytes = 0;
    for (const auto& [start, end] : layout.Runs)
        bytes += end - start;
    return bytes;
}

} // namespace

TMpegLayout ScanMpeg(int fd, int64_t fileSize)
{
    TMpegLayout out;
    TFileWindow w(fd, fileSize);
    const int64_t begin = SkipId3v2(w, 0);

    // The first frame is a valid header followed by a consistent one (or by less than a header);
    // a lone 0xFFE pattern in leading junk is not enough.
    constexpr int64_t kSearch = 65536;
    uint8_t b[4];
    THeader first;
    int64_t pos = -1;
    for (int64_t p = begin; p < begin + kSearch && w.Get(p, 4, b); ++p) {
        if (!ParseHeader(b, first))
            continue;
        THeader next;
        uint8_t nb[4];
        const int64_t end = p + first.Size;
        if (end > fileSize)
            continue;
        if (end + 4 > fileSize || (w.Get(end, 4, nb) && ParseHeader(nb, next) && SameStream(first, next))) {
            pos = p;
            break;
        }
    }
    if (pos < 0 || pos + first.Size > fileSize)
        return out;
    out.SamplesPerFrame = first.SamplesPerFrame;
    out.Skipped = pos - begin;

    // A Xing/Info frame is not audio: decoders skip it.
    if (first.Layer == 3) {
        const int off = TagOffset(first);
        uint8_t tag[12];
        if (first.Size >= off + 16 && w.Get(pos + off, 12, tag) &&
            (std::memcmp(tag, "Xing", 4) == 0 || std::memcmp(tag, "Info", 4) == 0)) {
            out.TagStart = pos;
            if (Be32(tag + 4) & 1) {
                out.TagFrames = Be32(tag + 8);
                out.Header.resize(static_cast<size_t>(first.Size));
                w.Get(pos, out.Header.size(), out.Header.data());
            }
            pos += first.Size;
        }
    }
    out.AudioStart = pos;

    while (pos >= 0) {
        int64_t end = 0;
        const int64_t frames = FrameRun(w, first, pos, fileSize, 0, end);
        if (frames > 0) {
            out.Runs.emplace_back(pos, end);
            out.Frames += frames;
            out.AudioEnd = end;
        }
        pos = Resynchronise(w, first, end + (frames > 0 ? 0 : 1), fileSize);
    }
    out.Found = out.Frames > 0;
    if (!out.Found)
        return out;
    out.AudioStart = out.Runs.front().first;

    if (!out.Header.empty()) {
        // Keep the file's own tag (its gapless fields) with the true count and, when it has one,
        // the true byte count.
        uint8_t* tag = out.Header.data() + TagOffset(first);
        const uint32_t flags = Be32(tag + 4);
        PutBe32(tag + 8, static_cast<uint32_t>(out.Frames));
        if (flags & 2)
            PutBe32(tag + 12, static_cast<uint32_t>(out.Header.size() + AudioBytes(out)));
        // The encoder's extension after the optional fields gives the padding after the last sample.
        // When the stream was cut (fewer frames than counted, in one run) that end is gone: left in,
        // it would take real samples off the end of what remains (all of them from a stream of one
        // frame). Frames lost in the middle leave the end, and its padding, as they were.
        const size_t lame = static_cast<size_t>(TagOffset(first)) + 8 + ((flags & 1) ? 4 : 0) + ((flags & 2) ? 4 : 0) +
                            ((flags & 4) ? 100 : 0) + ((flags & 8) ? 4 : 0);
        if (out.TagFrames > out.Frames && out.Runs.size() == 1 && lame + 24 <= out.Header.size() &&
            std::memcmp(out.Header.data() + lame, "LAME", 4) == 0) {
            out.Header[lame + 22] &= 0xF0; // delay: 12 bits, then padding: 12 bits
            out.Header[lame + 23] = 0;
        }
    } else {
        uint8_t audioHeader[4];
        w.Get(out.AudioStart, 4, audioHeader);
        THeader ah;
        // Only layer III streams know the Xing frame; elsewhere it would decode as a frame of audio.
        if (ParseHeader(audioHeader, ah) && ah.Layer == 3)
            out.Header = MakeTagFrame(audioHeader, ah, out.Frames);
    }
    return out;
}
