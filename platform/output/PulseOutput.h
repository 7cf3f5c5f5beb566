// The desktop's sound server as a driver of the engine, spoken to with its own asynchronous client
// library (PipeWire serves the same protocol). Each backend holds one connection on a threaded main
// loop of its own, whose thread is the render thread. Driver calls may take up to ConnectTimeoutMs
// and are made without engine locks.
#pragma once

#include "platform/output/Backend.h"

#include <memory>

namespace output::pulse {

// How long a server may take to accept a connection before it counts as absent.
constexpr int ConnectTimeoutMs = 1000;
// The whole latency asked of the server (our buffer and the sink's), ms: a knob is heard within
// about this plus one engine period. The server fetches FetchMs at a time (one engine period),
// which leaves the sink 10 ms of its own: well clear of its minimum, so other streams keep their
// timing. Not less: the server passes our data on through a thread of normal priority, and at
// 25 ms busy programs starved it into dozens of underflows a minute where 40 ms had none.
constexpr int TargetLatencyMs = 40;
constexpr int FetchMs = 10;
// PipeWire's pulse service counts its graph's own delay inside the latency asked, and runs its graph
// in cycles of the sink's share rounded down to a power of two of frames. At 40 ms it kept under
// 9 ms of ours when asking for more, and ran 5.3 ms cycles: any stall of 4 to 7 ms (a virtual
// machine's, a busy interrupt's) left a cycle silent. At 60 ms it keeps 19 ms and runs 10.7 ms
// cycles, and stalls of 10 ms pass unheard; PulseAudio at 40 ms lets 15 ms pass.
constexpr int PipeWireLatencyMs = 60;

// Devices: the server's sinks, its default sink first, with name-based GUIDs; nothing when no server
// answers within ConnectTimeoutMs (never starts one). Make(""): the server's default sink, followed
// when the user changes it. A headphones driver's streams are named so and play on their own sink
// only: the server may not move them, one that is moved all the same or loses its sink writes no
// more, and a sink the room's stream plays on is refused.
std::unique_ptr<Driver> MakeDriver(bool headphones = false);

} // namespace output::pulse
