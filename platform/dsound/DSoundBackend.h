// The seam between the mixing engine and whatever consumes its output: a sound device, a paced
// silent sink, or a test that pulls frames by hand. A backend calls Engine::Render from exactly one
// thread of its own (or the caller's, for the manual backend); Start and Stop run on API threads
// under the engine's lock.
#pragma once

#include "platform/dsound/DSound.h"

#include <cstdint>
#include <memory>
#include <string>

namespace dsound {

class Engine;

// The engine's output (primary) format: interleaved PCM, 8-bit unsigned or 16-bit signed.
struct OutputFormat {
    uint32_t Rate = 44100;
    uint16_t Channels = 2;
    uint16_t Bits = 16;

    uint32_t BlockAlign() const { return Channels * Bits / 8u; }
    // One engine period: 10 ms of frames, the block a device backend asks for.
    uint32_t PeriodFrames() const { return Rate >= 200 ? Rate / 100 : 2; }
    bool operator==(const OutputFormat&) const = default;
};

class Backend {
public:
    virtual ~Backend() = default;
    // The name printed on the console line ("DuoDeck sound output: <name>").
    virtual std::string Name() const = 0;
    // Prepares the device for `format`, changing it to what the device really takes. No Render call
    // yet. False with `error` when there is no usable device.
    virtual bool Open(OutputFormat& format, std::string& error) = 0;
    // Begins calling engine.Render(token, ...) in the format settled by Open.
    virtual void Start(Engine& engine, uint64_t token) = 0;
    // After Stop returns, the backend makes no further Render call; Open and Start may follow again.
    virtual void Stop() = 0;
    // True for a backend that calls back on its own: the supervisor replaces it with the null
    // backend when its callbacks stop, and tries it again until it answers.
    virtual bool Watched() const { return true; }
    // True once the device has said it is gone (its server closed the connection); any thread.
    virtual bool Failed() const { return false; }
    // The most frames one Render call takes in `format`: the write cursor leads the play cursor by
    // this much, since a call may consume that far at once.
    virtual uint32_t FramesPerRender(const OutputFormat& format) const { return format.PeriodFrames(); }
};

// A GUID derived from a device name; `occurrence` tells apart devices of the same name.
GUID NameGuid(const std::string& name, int occurrence);

// Consumes the mix at real-time pace (scaled by the time scale) on its own thread.
std::unique_ptr<Backend> MakeNullBackend();
// Renders only when the test calls Engine::Pull.
std::unique_ptr<Backend> MakeManualBackend();

} // namespace dsound
