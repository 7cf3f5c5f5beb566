#include "decode/MxDecoder.h"

#include "decode/MxPcm.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

int64_t TMxByteRange::Size() const
{
    if (Runs.empty())
        return End - Begin;
    int64_t size = 0;
    for (const auto& [start, end] : Runs)
        size += end - start;
    return size;
}

int64_t TMxByteRange::Read(void* buffer, int64_t bytes)
{
    int64_t done = 0;
    bytes = std::max<int64_t>(0, std::min(bytes, Size() - Pos));
    while (done < bytes) {
        // The file offset of Pos + done and the bytes left in its run; runs are few.
        int64_t at = Pos + done, offset = Begin + at, left = bytes - done;
        for (const auto& [start, end] : Runs) {
            offset = start + at;
            if (at < end - start) {
                left = std::min(left, end - start - at);
                break;
            }
            at -= end - start;
        }
        const ssize_t r = pread(Fd, static_cast<uint8_t*>(buffer) + done, static_cast<size_t>(left), offset);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return done > 0 ? done : -1;
        if (r == 0)
            break; // the file was cut under us: its end
        done += r;
    }
    Pos += done;
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
