#include "decode/MxDecoder.h"

#include "decode/MxPcm.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

int64_t TMxByteRange::Size() const
{
    if (Runs.empty())
        return End - Begin;
    int64_t size = 0;
    for (const auto& [start, end] : Runs)
        size += end - start;
    return size;
}

int64_t TMxByteRange::ReadAt(int64_t at, uint8_t* buffer, int64_t bytes) const
{
    int64_t done = 0;
    bytes = std::max<int64_t>(0, std::min(bytes, Size() - at));
    while (done < bytes) {
        // The file offset of at + done and the bytes left in its run; runs are few.
        int64_t rel = at + done, offset = Begin + rel, left = bytes - done;
        for (const auto& [start, end] : Runs) {
            offset = start + rel;
            if (rel < end - start) {
                left = std::min(left, end - start - rel);
                break;
            }
            rel -= end - start;
        }
        const ssize_t r = pread(Fd, buffer + done, static_cast<size_t>(left), offset);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return done > 0 ? done : -1;
        if (r == 0)
            break; // the file was cut under us: its end
        done += r;
    }
    return done;
}

int64_t TMxByteRange::Read(void* buffer, int64_t bytes)
{
    constexpr int64_t kReadAhead = 65536;
    auto* out = static_cast<uint8_t*>(buffer);
    int64_t done = 0;
    while (done < bytes) {
        const int64_t inCache = FCacheAt + static_cast<int64_t>(FCache.size()) - Pos;
        if (Pos >= FCacheAt && inCache > 0) {
            const int64_t n = std::min(inCache, bytes - done);
            std::memcpy(out + done, FCache.data() + (Pos - FCacheAt), static_cast<size_t>(n));
            Pos += n;
            done += n;
            continue;
        }
        if (bytes - done >= kReadAhead) {
            const int64_t n = ReadAt(Pos, out + done, bytes - done);
            if (n < 0)
                return done > 0 ? done : -1;
            Pos += n;
            return done + n;
        }
        FCache.resize(static_cast<size_t>(kReadAhead));
        const int64_t n = ReadAt(Pos, FCache.data(), kReadAhead);
        FCacheAt = Pos;
        FCache.resize(static_cast<size_t>(std::max<int64_t>(n, 0)));
        if (n <= 0)
            return done > 0 ? done : n;
    }
    return done;
}

int64_t TMxByteRange::Seek(int64_t offset, int whence)
{
    const int64_t base = whence == SEEK_CUR ? Pos : whence == SEEK_END ? Size() : 0;
    if (offset < -base)
        return -1;
    Pos = base + offset;
    return Pos;
}

int64_t TMxDecoder::Read(uint8_t* out, int64_t frames)
{
    constexpr int64_t kBlock = 2048;
    if (FScratch.empty())
        FScratch.resize(static_cast<size_t>(kBlock * Channels));
    int64_t done = 0;
    while (done < frames) {
        const int64_t n = ReadFloat(FScratch.data(), std::min(frames - done, kBlock));
        if (n <= 0)
            break;
        FloatToS16(FScratch.data(), out + done * 2 * Channels, n * Channels);
        done += n;
    }
    return done;
}
