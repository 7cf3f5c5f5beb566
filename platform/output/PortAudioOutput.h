// PortAudio (ALSA direct, JACK) as a driver of the engine. The library is started by the first
// listing or device and shut down with the last device of that start: its device list is fixed
// while it runs, so a listing made while no device is open reads the devices afresh. Driver calls
// may be slow (the library probes every card) and are made without engine locks; a stream's
// callback is the render thread.
#pragma once

#include "platform/output/Backend.h"

#include <memory>

namespace output::portaudio {

// Devices: every device with output channels, in the library's order; Id is the device's name,
// with "#n" for the n-th further device of the same name. Make(""): the library's default output.
std::unique_ptr<Driver> MakeDriver();

} // namespace output::portaudio
