// The process's one virtual sound card behind MMSystem.h: its mixer layout (destinations, sources,
// controls and their values) and its wave-in inputs. Any thread may call these; the card's lock
// guards the layout and the values. Tests install other layouts and wait for the capture thread.
//
// Default layout of mixer device 0 (source positions count from 0; multiplexer items from 1):
//   destination 0 "Speakers"           volume, mute; sources: 0 "Wave" (volume, mute)
//   destination 1 "Recording Control"  multiplexer of 7 items = its sources in order:
//     0 "CD Audio", 1 "Microphone", 2 "Line In", 3 "Auxiliary", 4 "Video", 5 "Phone Line",
//     6 "Stereo Mix" (item 7); each source has a volume (0…65535, linear gain) and a mute.
// Start-up's level on source position 1 of destination 1 thus lands on "Microphone", and the mix
// ("Stereo Mix") is recorded at full level. Only "Stereo Mix" carries sound here; the other inputs
// record silence at the same pace.
#pragma once

#include "platform/mmsystem/MMSystem.h"

#include <cstdint>
#include <string>
#include <vector>

namespace mmsystem {

inline constexpr const char* StereoMixName = "Stereo Mix";

struct CardControl {
    DWORD Type = MIXERCONTROL_CONTROLTYPE_VOLUME;
    DWORD Flags = 0;                // MIXERCONTROL_CONTROLF_*
    std::vector<std::string> Items; // the list of a multiplexer or mixer control
    std::string Name;
};

struct CardLine {
    std::string Name;
    DWORD ComponentType = MIXERLINE_COMPONENTTYPE_SRC_LINE;
    DWORD Channels = 2;
    std::vector<CardControl> Controls;
};

struct CardDestination {
    CardLine Line;
    std::vector<CardLine> Sources;
};

struct CardLayout {
    std::string Name = "DuoDeck Virtual Card";
    std::vector<CardDestination> Destinations;
};

CardLayout DefaultLayout();

// Replaces the card's mixer with `devices` copies of `layout` (0: no mixer device), every control at
// its initial value: volumes 65535, mutes 0, multiplexers on the item named "Stereo Mix" (else item 0).
// No mixer handle may be open.
void InstallLayout(const CardLayout& layout, int devices = 1);
// Back to one device with the default layout.
void ResetCard();

// Current values of a control (channel-major), found by destination position, source position
// (−1: the destination line) and control position on that line. Empty when there is no such control.
std::vector<int32_t> ControlValues(int device, int destination, int source, int control);
// Number of control writes made through mixerSetControlDetails since the layout was installed.
int ControlWrites();

// The number of wave-in devices the card shows (1, or 0 for a machine without capture); for tests.
void SetWaveInDevices(int count);

// Takes in, on the calling thread, all the sound output rendered so far into every open wave-in
// device (tests on the manual backend call this after each pull, instead of waiting for the
// device's own thread).
void DrainCapture();

} // namespace mmsystem
