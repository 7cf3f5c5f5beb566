#include "platform/output/LoopbackRing.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace output {

LoopbackRing::LoopbackRing(size_t capacity)
    : FData(std::bit_ceil(std::max<size_t>(capacity, 16))), FMask(FData.size() - 1)
{
}

size_t LoopbackRing::Write(const uint8_t* data, size_t bytes, size_t frameBytes)
{
    const uint64_t head = FHead.load(std::memory_order_relaxed);
    const uint64_t tail = FTail.load(std::memory_order_acquire);
    size_t room = FData.size() - static_cast<size_t>(head - tail);
    size_t n = std::min(bytes, room);
    n -= n % frameBytes;
    if (n == 0)
        return 0;
    const size_t at = static_cast<size_t>(head) & FMask;
    const size_t first = std::min(n, FData.size() - at);
    std::memcpy(FData.data() + at, data, first);
    std::memcpy(FData.data(), data + first, n - first);
    FHead.store(head + n, std::memory_order_release);
    return n;
}

size_t LoopbackRing::Available() const
{
    return static_cast<size_t>(FHead.load(std::memory_order_acquire) - FTail.load(std::memory_order_relaxed));
}

void LoopbackRing::ReadRegions(const uint8_t*& ptr1, size_t& bytes1, const uint8_t*& ptr2, size_t& bytes2) const
{
    const uint64_t tail = FTail.load(std::memory_order_relaxed);
    const size_t avail = static_cast<size_t>(FHead.load(std::memory_order_acquire) - tail);
    const size_t at = static_cast<size_t>(tail) & FMask;
    ptr1 = FData.data() + at;
    bytes1 = std::min(avail, FData.size() - at);
    ptr2 = FData.data();
    bytes2 = avail - bytes1;
    if (bytes2 == 0)
        ptr2 = nullptr;
}

void LoopbackRing::CommitRead(size_t bytes)
{
    const uint64_t tail = FTail.load(std::memory_order_relaxed);
    const size_t avail = static_cast<size_t>(FHead.load(std::memory_order_acquire) - tail);
    FTail.store(tail + std::min(bytes, avail), std::memory_order_release);
}

void LoopbackRing::SkipAll()
{
    FTail.store(FHead.load(std::memory_order_acquire), std::memory_order_release);
}

} // namespace output
