// The capture side's tap on the room mix (the recording's "Stereo Mix"): the engine writes each
// block it renders, after the master gain and before split mode, while a reader listens; one reader
// at a time reads it on its own thread. One per process. Opening a reader asks, through OnOpen,
// for a running device: the input is paced by the output.
#pragma once

#include "platform/output/Backend.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace output {

class LoopbackRing;
class Loopback;

// Reads the mix. Read and Available from one thread.
class LoopbackReader {
public:
    ~LoopbackReader();
    LoopbackReader(const LoopbackReader&) = delete;
    LoopbackReader& operator=(const LoopbackReader&) = delete;

    // The format of what Read returns (the mix's output format).
    OutputFormat Format();
    // Whole frames ready to read.
    size_t Available();
    // Copies up to `frames` frames into dst; returns the frames copied.
    size_t Read(void* dst, size_t frames);

private:
    friend class Loopback;
    explicit LoopbackReader(Loopback& tap);
    void CheckFormat();

    Loopback& FTap;
    uint32_t FSeenGeneration = ~0u;
    OutputFormat FFormat;
};

class Loopback {
public:
    static Loopback& Instance();

    // Null when a reader is already open.
    std::unique_ptr<LoopbackReader> Open();
    // Called (on the opening thread) whenever a reader opens; set once by the owner of the devices.
    void OnOpen(std::function<void()> call);
    bool Listening() const { return FOpen.load(std::memory_order_acquire); }

    // The writer's format changed: what is queued is dropped at the reader's next look. Called
    // while no block is written.
    void SetFormat(const OutputFormat& format);
    // Render thread: one block of the format set last. Never blocks; what does not fit is dropped.
    void Write(const void* block, uint32_t frames);

private:
    friend class LoopbackReader;
    Loopback();

    std::unique_ptr<LoopbackRing> FRing;
    std::mutex FLock; // the format and the open hook
    OutputFormat FFormat;
    std::function<void()> FOnOpen;
    std::atomic<uint32_t> FBlockAlign{4};
    std::atomic<uint32_t> FGeneration{0};
    std::atomic<bool> FOpen{false};
};

} // namespace output
