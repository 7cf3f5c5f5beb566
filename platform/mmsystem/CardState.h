// Inside the virtual card: the mixer's lines and control values, and what the wave-in inputs read
// of them. Guarded by Card::Lock (a leaf lock: nothing is called while holding it except posting
// window messages).
#pragma once

#include "platform/mmsystem/VirtualCard.h"

#include <mutex>
#include <string>
#include <vector>

namespace mmsystem {

struct ControlState {
    CardControl Def;
    DWORD ID = 0;
    DWORD Channels = 1;
    DWORD Items = 0;             // 0 for a single-valued control
    std::vector<int32_t> Values; // Channels × max(1, Items), channel-major
};

struct LineState {
    CardLine Def;
    DWORD LineID = 0;
    std::vector<ControlState> Controls;
};

struct DestinationState {
    LineState Line;
    std::vector<LineState> Sources;
};

struct DeviceState {
    std::string Name;
    std::vector<DestinationState> Destinations;
};

// What the recording input delivers: the mix (when "Stereo Mix" is selected) at these gains, or silence.
struct InputGain {
    bool Mix = false;
    float Left = 1.0f;
    float Right = 1.0f;
};

class Card {
public:
    static Card& Instance();
    void InstallLocked(const CardLayout& layout, int devices);
    // Reads the selection and levels of device 0's wave-in destination under the lock.
    InputGain RecordingGain();

    std::mutex Lock;
    std::vector<DeviceState> Devices;
    int Writes = 0;
};

} // namespace mmsystem
