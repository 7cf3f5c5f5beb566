// A controller's bindings: which note or control change does which action of the action table,
// kept per controller in a text file a person can read and edit. Pure data; any thread.
//
// The file: a line "[name]" starts a controller's bindings (its name as its port lists it, without
// the sequencer's numbers); then one binding a line,
//     note <channel 1-16> <note 0-127> <left|right|mixer> <action> [light]
//     cc <channel 1-16> <control 0-127> <left|right|mixer> <action> <absolute|relative|offset64>
// "relative" counts ticks in two's complement (1 up, 127 down), "offset64" around 64 (65 up, 63
// down). "light" sends the note back, on while the action's state is on. '#' starts a comment.
#pragma once

#include "decks/Actions.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

enum class TControlMode { Absolute, Relative, Offset64 };

struct TMidiBinding {
    std::string Device;
    bool Note = true; // else a control change
    int Channel = 0;  // 0..15
    int Number = 0;   // note or control, 0..127
    TKeyTarget Target = TKeyTarget::Left;
    TKeyAction Action = TKeyAction::PlayPause;
    double Unit = 0; // its row's in the action table, which tells the rows of one action apart
    TControlMode Mode = TControlMode::Absolute;
    bool Light = false;

    bool SameControl(const TMidiBinding& other) const
    {
        return Device == other.Device && Note == other.Note && Channel == other.Channel && Number == other.Number;
    }
};

struct TBindingsFile {
    std::vector<TMidiBinding> Bindings;
    std::vector<std::string> Problems; // "line 4: …", one per damaged line, which is skipped
};

TBindingsFile ParseBindings(const std::string& text);
std::string FormatBindings(const std::vector<TMidiBinding>& bindings);
// A missing file holds no bindings and no problem.
TBindingsFile ReadBindings(const std::filesystem::path& file);
// Written whole to a temporary file and renamed over the old one; false when it cannot be.
bool WriteBindings(const std::filesystem::path& file, const std::vector<TMidiBinding>& bindings);

// The ticks of a relative control's value (negative: down).
int RelativeTicks(TControlMode mode, int value);
