// PortAudio as seen by the engine: library start and stop with a quiet console, the list of output
// devices, and the backend that plays through one of them. Called on API threads under the
// engine's lock; the backend's stream callback is the render thread.
#pragma once

#include "platform/dsound/DSoundBackend.h"
#include "platform/dsound/DSoundEngine.h"

#include <memory>
#include <vector>

namespace dsound::portaudio {

// Initialises the library once (its probing output on stderr is swallowed). False when it fails.
bool Startup();
// Terminates the library; every stream must be closed before.
void Shutdown();
// Every device with output channels, in the library's order, with name-based GUIDs.
std::vector<DeviceInfo> OutputDevices();
// The library's default output device, or -1.
int DefaultOutput();
std::unique_ptr<Backend> MakeBackend(int deviceIndex);

} // namespace dsound::portaudio
