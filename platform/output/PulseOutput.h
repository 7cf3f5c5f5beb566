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
// about this plus one engine period. The server fetches a quarter of it at a time (one engine
// period), which leaves the sink 10 ms of its own: well clear of its minimum, so other streams keep
// their timing. Not less: the server passes our data on through a thread of normal priority, and
// at 25 ms busy programs starved it into dozens of underflows a minute where 40 ms had none.
constexpr int TargetLatencyMs = 40;

// Devices: the server's sinks, its default sink first, with name-based GUIDs; nothing when no server
// answers within ConnectTimeoutMs (never starts one). Make(""): the server's default sink, followed
// when the user changes it. A headphones driver's streams are named so and play on their own sink
// only: the server may not move them, one that is moved all the same or loses its sink writes no
// more, and a sink the room's stream plays on is refused.
std::unique_ptr<Driver> MakeDriver(bool headphones = false);

} // namespace output::pulse
