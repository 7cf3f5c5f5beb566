// The seam between the mix and whatever consumes it. A BlockSource (the engine) renders a block on
// request and knows no device. A Driver stands for one library (the sound server's, PortAudio, the
// null pace, the manual test backend): it lists its devices, owns the library's lifetime and makes a
// Backend per opened device. Everything a backend kind does goes through these two classes; the
// supervisor holds no branch on kinds.
// Threads: every call may be slow (connects, library start-up and shut-down) and is made with no
// engine lock held, from an API thread or the supervisor's; Render is called back from the
// backend's own thread (or the caller's, for the manual backend).
#pragma once

#include "platform/dsound/DSound.h" // GUID

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace output {

// What a backend plays, called with the token the backend was started with: the room mix through the
// supervisor's gate (RenderGate.h), or the headphones feed. Render runs on the backend's thread.
class MixSource {
public:
    virtual bool Render(uint64_t token, void* out, uint32_t frames) = 0;

protected:
    ~MixSource() = default;
};

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

// The mix itself: the engine. SetFormat is called only while no device renders (the gate sees to
// that); RenderBlock runs on the rendering device's thread, one call at a time, and returns true
// while something plays (a device is idle only while nothing has played for a while).
class BlockSource {
public:
    virtual void SetFormat(const OutputFormat& format) = 0;
    virtual bool RenderBlock(void* out, uint32_t frames) = 0;

protected:
    ~BlockSource() = default;
};

// One output device as listed to DirectSoundEnumerateA (after the default entry).
struct DeviceInfo {
    std::string Name; // shown to the user
    GUID Guid;        // stable across runs: derived from the driver's name for the device
    std::string Id;   // the driver's own name for it, for Driver::Make
};

class Backend {
public:
    // Stops the device if it runs. May be slow (a library shut down with its last device).
    virtual ~Backend() = default;
    // The name printed on the console line ("DuoDeck sound output: <name>").
    virtual std::string Name() const = 0;
    // Prepares the device for `format`, changing it to what the device really takes. No Render call
    // yet. False with `error` when the device cannot be used now.
    virtual bool Open(OutputFormat& format, std::string& error) = 0;
    // Begins calling source.Render(token, ...) in the format settled by Open. False with `error`
    // when the device refuses to start.
    virtual bool Start(MixSource& source, uint64_t token, std::string& error) = 0;
    // After Stop returns, the backend makes no further Render call. May block on a dead device: the
    // engine calls it on a thread it can abandon.
    virtual void Stop() = 0;
    // Why the device stopped working (its server closed the connection, its stream failed); empty
    // while it works. Any thread.
    virtual std::string Failure() const { return {}; }
    // True for a device that calls back on its own and can fall silent: the supervisor watches it.
    virtual bool Watched() const { return true; }
    // The most frames one Render call takes in `format`: the write cursor leads the play cursor by
    // this much, since a call may consume that far at once.
    virtual uint32_t FramesPerRender(const OutputFormat& format) const { return format.PeriodFrames(); }
    // The delay from a Render call to the speaker, ms, where the device knows it better than the
    // engine's lead of FramesPerRender does; 0 where it does not. Fixed once Open has returned.
    virtual double LatencyMs() const { return 0; }
    // Times the device ran out of data since Start (the mix came too late). Any thread.
    virtual uint64_t Underflows() const { return 0; }
    // Nothing has played for a while (true) or something plays again (false): a device may pause
    // its stream meanwhile so that the sound server can idle. Supervisor thread.
    virtual void SetIdle(bool) {}
    // A device that renders only when asked (the manual test backend): renders `frames` frames now,
    // on the caller's thread. False for a device that renders on its own.
    virtual bool Pull(void*, uint32_t) { return false; }
};

class Driver {
public:
    virtual ~Driver() = default;
    // The short name BackendName() reports for its backends: "pulse", "portaudio", "null"...
    virtual const char* Kind() const = 0;
    // Its devices, the default first, read afresh; nothing when its library or server does not
    // answer now. A driver without a device list (null, manual) returns an empty list.
    virtual std::optional<std::vector<DeviceInfo>> Devices() = 0;
    // A backend for the device `id` from Devices() (empty: the default device, which follows the
    // system's choice); null when there is no such device now.
    virtual std::unique_ptr<Backend> Make(const std::string& id) = 0;
};

// A GUID derived from a device name; `occurrence` tells apart devices of the same name.
GUID NameGuid(const std::string& name, int occurrence);

// Consumes the mix at real-time pace (scaled by the time scale) on its own thread.
std::unique_ptr<Driver> MakeNullDriver();
// Renders only when pulled (Backend::Pull), on the test's thread.
std::unique_ptr<Driver> MakeManualDriver();

} // namespace output
