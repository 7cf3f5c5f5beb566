// Access to the sound card's mixer: a snapshot of its destination and source lines with their
// controls, setting a line's volume and mute, and choosing the recording input.
// UI thread only; change notifications arrive as messages on the component's hidden window. No lock.
#pragma once

#include "platform/kernel/Exceptions.h"
#include "platform/mmsystem/MMSystem.h"
#include "platform/ui/HiddenWindow.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class EListError : public Exception {
public:
    using Exception::Exception;
};

// An ordered list of untyped pointers; OnFreeItem (if set) is called for every item, in order, by
// Clear and by the destructor.
class TPointerList {
public:
    ~TPointerList() { Clear(); }
    int Add(void* item);
    // Raises EListError outside 0 … Count() − 1.
    void* Items(int index) const;
    int Count() const { return static_cast<int>(FItems.size()); }
    void Clear();

    std::function<void(void* item)> OnFreeItem;

private:
    std::vector<void*> FItems;
};

class TAudioMixer;

// The MIXERCONTROL records of one line, in one block owned by the object.
class TMixerControls {
public:
    TMixerControls(TAudioMixer* mixer, const MIXERLINE& line);
    int Count() const { return FList.Count(); }
    MIXERCONTROL* Items(int index) const { return static_cast<MIXERCONTROL*>(FList.Items(index)); }

private:
    std::unique_ptr<MIXERCONTROL[]> FBlock;
    TPointerList FList;
};

class TMixerConnection {
public:
    TMixerConnection(TAudioMixer* mixer, const MIXERLINE& line);
    MIXERLINE Line;
    TAudioMixer* Mixer;
    TMixerControls Controls;
};

class TMixerConnections {
public:
    TMixerConnections(TAudioMixer* mixer, const MIXERLINE& destination);
    int Count() const { return FList.Count(); }
    TMixerConnection* Items(int index) const { return static_cast<TMixerConnection*>(FList.Items(index)); }

private:
    TPointerList FList;
};

class TMixerDestination {
public:
    TMixerDestination(TAudioMixer* mixer, const MIXERLINE& line);
    MIXERLINE Line;
    TAudioMixer* Mixer;
    TMixerConnections Connections;
    TMixerControls Controls;
};

class TMixerDestinations {
public:
    explicit TMixerDestinations(TAudioMixer* mixer);
    int Count() const { return FList.Count(); }
    TMixerDestination* Items(int index) const { return static_cast<TMixerDestination*>(FList.Items(index)); }

private:
    TPointerList FList;
};

// MixerH: the mixer handle of the message; ID: the line or control identifier.
using TMixerChange = std::function<void(TAudioMixer* Sender, intptr_t MixerH, intptr_t ID)>;

class TAudioMixer {
public:
    // Opens mixer device 0 at once (when there is one).
    TAudioMixer();
    ~TAudioMixer();
    TAudioMixer(const TAudioMixer&) = delete;
    TAudioMixer& operator=(const TAudioMixer&) = delete;

    // The open device, −1 when none. Setting it closes and reopens (beyond the last device: the last).
    int MixerID() const { return FMixerID; }
    void SetMixerID(int id);

    TMixerChange OnLineChange;
    TMixerChange OnControlChange;

    // Volume (left, right) and mute of a destination (connection −1) or one of its sources, by list
    // position. −1 leaves an argument out: right = left; left or mute: not written. False only when
    // the line does not exist. Values are written as given, not scaled to the control's bounds.
    bool SetVolume(int destination, int connection, int left, int right, int mute);

    // Null when no device is open.
    TMixerDestinations* Destinations() const { return FDestinations.get(); }
    const MIXERCAPS& Caps() const { return FCaps; }
    HMIXER Handle() const { return FMixerHandle; }

    intptr_t MixerWndProc(UINT message, WPARAM wParam, LPARAM lParam);

private:
    void CloseMixer();

    std::unique_ptr<THiddenWindow> FWndHandle;
    int FDeviceCount = 0;
    int FMixerID = -1;
    HMIXER FMixerHandle = nullptr;
    MIXERCAPS FCaps{};
    std::unique_ptr<TMixerDestinations> FDestinations;
};

// Selects the 1-based item `position` of the wave-in destination's multiplexer on the last mixer
// device that opens (every other item 0; all 0 when there is no such item). Always true.
bool SelectRecordSource(int position);
