#include "decode/FileKind.h"

#include "decode/MxAudioFileRead.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// Bytes at `off` into `out`; false when they are not all in the file.
bool Get(int fd, int64_t fileSize, int64_t off, size_t n, uint8_t* out)
{
    if (off < 0 || off + static_cast<int64_t>(n) > fileSize)
        return false;
    size_t done = 0;
    while (done < n) {
        const ssize_t r = pread(fd, out + done, n - done, off + static_cast<int64_t>(done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

struct THeader {
    int Version = 0; // the header's two version bits: 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int Layer = 0;
    int Rate = 0;
    int Size = 0; // bytes of the whole frame
};

// Bitrates in kbit/s by [MPEG-1 ? 0 : 1][layer - 1][index] (ISO 11172-3, 13818-3); index 0 (free
// format) is left to libsndfile's identification.
constexpr int kBitrates[2][3][15] = {{{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
                                      {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
                                      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
                                     {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
                                      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
                                      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
constexpr int kRates[3] = {44100, 48000, 32000};

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
    h.Rate = kRates[rateIndex] >> (h.Version == 3 ? 0 : h.Version == 2 ? 1 : 2);
    const int kbps = kBitrates[h.Version == 3 ? 0 : 1][h.Layer - 1][bitrateIndex];
    const int pad = (p[2] & 2) ? 1 : 0;
    if (h.Layer == 1)
        h.Size = (12 * kbps * 1000 / h.Rate + pad) * 4;
    else if (h.Layer == 3 && h.Version != 3)
        h.Size = 72 * kbps * 1000 / h.Rate + pad;
    else
        h.Size = 144 * kbps * 1000 / h.Rate + pad;
    return true;
}

// A valid frame header at `pos` followed by a consistent one, or by less than a header: a lone 0xFFE
// pattern is not enough.
bool MpegFramesAt(int fd, int64_t fileSize, int64_t pos)
{
    uint8_t b[4];
    THeader first, next;
    if (!Get(fd, fileSize, pos, 4, b) || !ParseHeader(b, first))
        return false;
    const int64_t end = pos + first.Size;
    if (end > fileSize)
        return false;
    if (end + 4 > fileSize)
        return true;
    return Get(fd, fileSize, end, 4, b) && ParseHeader(b, next) && next.Version == first.Version &&
           next.Layer == first.Layer && next.Rate == first.Rate;
}

// The offset after the ID3v2 tags at `pos` (beyond the file when a tag says so).
int64_t SkipId3v2(int fd, int64_t fileSize, int64_t pos)
{
    uint8_t t[10];
    while (Get(fd, fileSize, pos, 10, t) && std::memcmp(t, "ID3", 3) == 0 && t[3] != 0xFF && t[4] != 0xFF &&
           ((t[6] | t[7] | t[8] | t[9]) & 0x80) == 0) {
        const int64_t size = (int64_t(t[6]) << 21) | (int64_t(t[7]) << 14) | (int64_t(t[8]) << 7) | t[9];
        pos += 10 + size + ((t[5] & 0x10) ? 10 : 0); // footer flag
    }
    return pos;
}

uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// MPEG audio in a RIFF WAVE (format tags 0x50 and 0x55): the data chunk's range; {0, 0} otherwise.
std::pair<int64_t, int64_t> RiffMpegData(int fd, int64_t fileSize)
{
    uint8_t h[12];
    if (!Get(fd, fileSize, 0, 12, h) || std::memcmp(h, "RIFF", 4) != 0 || std::memcmp(h + 8, "WAVE", 4) != 0)
        return {0, 0};
    bool mpeg = false;
    for (int64_t pos = 12; Get(fd, fileSize, pos, 8, h);) {
        const int64_t size = Le32(h + 4);
        if (std::memcmp(h, "fmt ", 4) == 0) {
            uint8_t tag[2];
            if (!Get(fd, fileSize, pos + 8, 2, tag))
                break;
            const int format = tag[0] | (tag[1] << 8);
            mpeg = format == 0x55 || format == 0x50;
            if (!mpeg)
                break;
        } else if (std::memcmp(h, "data", 4) == 0) {
            if (mpeg)
                return {pos + 8, std::min(pos + 8 + size, fileSize)};
            break;
        }
        pos += 8 + size + (size & 1);
    }
    return {0, 0};
}

// A read-through window over the file, so that hopping from header to header costs one pread per
// 64 KiB rather than one per frame.
class TWindow {
public:
    TWindow(int fd, int64_t size) : FFd(fd), FSize(size), FBuf(65536) {}
    const uint8_t* Get(int64_t off, size_t n)
    {
        if (off < 0 || off + static_cast<int64_t>(n) > FSize)
            return nullptr;
        if (off < FStart || off + static_cast<int64_t>(n) > FStart + FFill) {
            FStart = off;
            FFill = std::min<int64_t>(static_cast<int64_t>(FBuf.size()), FSize - off);
            if (!::Get(FFd, FSize, off, static_cast<size_t>(FFill), FBuf.data())) {
                FFill = 0;
                return nullptr; // the file shrank under us
            }
        }
        return FBuf.data() + (off - FStart);
    }

private:
    int FFd;
    int64_t FSize;
    std::vector<uint8_t> FBuf;
    int64_t FStart = 0;
    int64_t FFill = 0;
};

bool SameStream(const THeader& a, const THeader& b)
{
    return a.Version == b.Version && a.Layer == b.Layer && a.Rate == b.Rate;
}

// Frames of the stream that follow one another from `pos`, up to `limit` of them (0: no limit);
// `end` receives where the last of them ends.
int64_t FrameRun(TWindow& w, const THeader& first, int64_t pos, int64_t fileEnd, int64_t limit, int64_t& end)
{
    THeader h;
    int64_t frames = 0;
    const uint8_t* b;
    while ((limit == 0 || frames < limit) && (b = w.Get(pos, 4)) && ParseHeader(b, h) && SameStream(first, h) &&
           pos + h.Size <= fileEnd) {
        pos += h.Size;
        ++frames;
    }
    end = pos;
    return frames;
}

} // namespace

std::vector<std::pair<int64_t, int64_t>> MpegRuns(int fd, int64_t begin, int64_t end)
{
    // The decoder's own resynchronisation takes a single plausible header after junk, and junk is full
    // of them; here the stream picks up again only where three whole frames in a row agree (or frames
    // reach the very end). Everything before the first frame (tags) belongs to the first run.
    std::vector<std::pair<int64_t, int64_t>> runs;
    TWindow w(fd, end);
    const int64_t first = SkipId3v2(fd, end, begin);
    constexpr int64_t kSearch = 65536, kAgreeing = 3;
    THeader head;
    int64_t pos = -1;
    for (int64_t p = first; p < first + kSearch && p + 4 <= end; ++p) {
        const uint8_t* b = w.Get(p, 4);
        if (b && b[0] == 0xFF && ParseHeader(b, head) && MpegFramesAt(fd, end, p)) {
            pos = p;
            break;
        }
    }
    if (pos < 0)
        return {{begin, end}};
    int64_t runStart = begin;
    while (pos >= 0) {
        int64_t runEnd = 0;
        const int64_t frames = FrameRun(w, head, pos, end, 0, runEnd);
        if (frames > 0)
            runs.emplace_back(runStart, runEnd);
        pos = -1;
        for (int64_t p = runEnd + (frames > 0 ? 0 : 1); p + 4 <= end; ++p) {
            const uint8_t* b = w.Get(p, 4);
            THeader h;
            if (!b || b[0] != 0xFF || !ParseHeader(b, h) || !SameStream(head, h))
                continue;
            int64_t e = 0;
            const int64_t n = FrameRun(w, head, p, end, kAgreeing, e);
            if (n == kAgreeing || (n > 0 && e == end)) {
                pos = runStart = p;
                break;
            }
        }
    }
    // One run: the decoder reads the range as it is, tags at its end included.
    if (runs.size() <= 1)
        return {{begin, end}};
    return runs;
}

std::vector<std::pair<int64_t, int64_t>> OggLinksSharingSerials(int fd, int64_t fileSize)
{
    // A link begins with its streams' first pages (flag 2) and ends where the next such group begins.
    TWindow w(fd, fileSize);
    std::vector<std::pair<int64_t, int64_t>> links;
    std::vector<uint32_t> earlier, current; // serial numbers of the links before, of this one
    bool repeated = false, inFirstPages = false;
    int64_t pos = 0;
    while (const uint8_t* h = w.Get(pos, 27)) {
        if (std::memcmp(h, "OggS", 4) != 0) { // damage: on at the next page
            const uint8_t* p = nullptr;
            while ((p = w.Get(++pos, 4)) && std::memcmp(p, "OggS", 4) != 0) {
            }
            if (!p)
                break;
            continue;
        }
        const uint32_t serial = Le32(h + 14);
        const int segments = h[26];
        const bool first = (h[5] & 2) != 0;
        const uint8_t* table = w.Get(pos + 27, static_cast<size_t>(segments));
        if (!table)
            break;
        int64_t body = 0;
        for (int i = 0; i < segments; ++i)
            body += table[i];
        if (first) {
            if (!inFirstPages) {
                if (!links.empty())
                    links.back().second = pos;
                links.emplace_back(pos, fileSize);
                earlier.insert(earlier.end(), current.begin(), current.end());
                current.clear();
            }
            repeated = repeated || std::find(earlier.begin(), earlier.end(), serial) != earlier.end();
            current.push_back(serial);
        }
        inFirstPages = first;
        pos += 27 + segments + body;
    }
    if (!repeated)
        links.clear();
    return links;
}

TMxFileKindInfo FindFileKind(int fd, int64_t fileSize)
{
    TMxFileKindInfo out;
    out.End = fileSize;
    uint8_t b[64] = {};
    const size_t have = static_cast<size_t>(std::min<int64_t>(fileSize, sizeof b));
    Get(fd, fileSize, 0, have, b);
    const auto unsupported = [&out](uint32_t code) {
        out.Kind = TMxFileKind::Unsupported;
        out.Code = code;
        return out;
    };
    const auto ffmpeg = [&out](uint32_t code) {
        out.Kind = TMxFileKind::Ffmpeg;
        out.Code = code;
        return out;
    };

    if (have >= 28 && std::memcmp(b, "OggS", 4) == 0) {
        // The first packet of the first page names the codec.
        const size_t at = 27 + b[26];
        const uint8_t* p = b + at;
        const size_t left = at < have ? have - at : 0;
        const auto is = [&](const char* magic, size_t n) { return left >= n && std::memcmp(p, magic, n) == 0; };
        if (is("\x01vorbis", 7))
            out.Kind = TMxFileKind::Vorbis;
        else if (is("OpusHead", 8))
            out.Kind = TMxFileKind::Opus;
        else
            return unsupported(is("\x7f"
                                  "FLAC",
                                  5)
                                   ? MXAR_E_OGGFLAC
                                   : MXAR_E_OGGOTHER);
        return out;
    }
    if (have >= 12 && std::memcmp(b + 4, "ftyp", 4) == 0)
        return ffmpeg(MXAR_E_MP4);
    if (have >= 4 && std::memcmp(b, "\x1A\x45\xDF\xA3", 4) == 0)
        return ffmpeg(MXAR_E_MATROSKA);
    if (have >= 16 && std::memcmp(b, "\x30\x26\xB2\x75\x8E\x66\xCF\x11", 8) == 0)
        return ffmpeg(MXAR_E_ASF);
    if (const auto [begin, end] = RiffMpegData(fd, fileSize); end > begin) {
        out.Kind = TMxFileKind::Mpeg;
        out.Begin = begin;
        out.End = end;
        return out;
    }
    const int64_t start = SkipId3v2(fd, fileSize, 0);
    uint8_t s[4];
    // AAC in ADTS frames (a frame sync with the layer bits 00, which MPEG audio never uses) or ADIF.
    if (Get(fd, fileSize, start, 4, s) && ((s[0] == 0xFF && (s[1] & 0xF6) == 0xF0) || std::memcmp(s, "ADIF", 4) == 0))
        return ffmpeg(MXAR_E_AAC);
    if (MpegFramesAt(fd, fileSize, start))
        out.Kind = TMxFileKind::Mpeg;
    return out;
}
