// A lock-free single-producer single-consumer byte ring: the mix to the capture side (Loopback.h),
// the headphones mix to their device. The producer is the render thread (Write never blocks: what does not fit is
// dropped); the consumer is one reader thread. No lock; indices are monotonic byte counts.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace output {

class LoopbackRing {
public:
    // `capacity` is rounded up to a power of two; keep it a multiple of every frame size (1, 2, 4).
    explicit LoopbackRing(size_t capacity);

    // Producer. Writes whole `frameBytes` frames; returns the bytes written (fewer when full).
    size_t Write(const uint8_t* data, size_t bytes, size_t frameBytes);

    // Consumer. Bytes ready to read.
    size_t Available() const;
    // The readable bytes as up to two regions (the second from the ring's start); valid until
    // CommitRead. Sizes add up to Available() at the time of the call.
    void ReadRegions(const uint8_t*& ptr1, size_t& bytes1, const uint8_t*& ptr2, size_t& bytes2) const;
    void CommitRead(size_t bytes);
    // Drops everything written so far (the consumer's side of a reset).
    void SkipAll();

    size_t Capacity() const { return FData.size(); }

private:
    std::vector<uint8_t> FData;
    size_t FMask;
    std::atomic<uint64_t> FHead{0}; // written by the producer
    std::atomic<uint64_t> FTail{0}; // written by the consumer
};

} // namespace output
