// The desktop's sound server as seen by the engine, spoken to with its own asynchronous client
// library (PipeWire serves the same protocol). Called on API threads under the engine's lock, or by
// the engine's supervisor; the server connection's own thread is the render thread.
#pragma once

#include "platform/dsound/DSoundBackend.h"
#include "platform/dsound/DSoundEngine.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dsound::pulse {

// How long a server may take to accept a connection before it counts as absent.
constexpr int ConnectTimeoutMs = 1000;

// The server's sinks, its default sink first, with name-based GUIDs; nothing when no server answers
// within ConnectTimeoutMs. Never starts a server.
std::optional<std::vector<DeviceInfo>> Sinks();

// Plays into `sink` (empty: the server's default sink, following it when the user changes it).
// `description` names the sink on the console line. A headphones stream is named so, and is never
// moved to another sink by the server (it would play the cue to the room).
std::unique_ptr<Backend> MakeBackend(const std::string& sink, const std::string& description, bool headphones = false);

} // namespace dsound::pulse
