// The one place where the controllers' library (controllers/, beside app/: neither includes the
// other) meets the application: the player as controllers see it, which app/ fills in, and the
// controllers as app/ sees them, made by a maker that controllers/ registers when the program
// starts (app/ links it whole, so that its registration is kept).
#pragma once

#include "decks/Actions.h"

#include <filesystem>
#include <functional>
#include <memory>

class QDialog;
class QWidget;
namespace engine {
class VoiceControls;
}

// What the controllers act on: the application fills it in. UI thread, but for Voice.
class TActionTarget {
public:
    virtual ~TActionTarget() = default;
    // A press, or a step of `amount` in the action's units (a key's amount).
    virtual void Perform(TKeyTarget target, TKeyAction action, double amount) = 0;
    // The end of a held action.
    virtual void Release(TKeyTarget target, TKeyAction action) = 0;
    // A knob's place, 0 (bottom, left, cut) .. 1, set and read.
    virtual void SetPlace(TKeyTarget target, TKeyAction action, double place) = 0;
    virtual double Place(TKeyTarget target, TKeyAction action) = 0;
    // Whether a switch's state is on (a playing deck, a lit headphones switch…).
    virtual bool Lit(TKeyTarget target, TKeyAction action) = 0;
    // Any thread: a deck's voice, alive as long as the hub; null for the mixer.
    virtual engine::VoiceControls* Voice(TKeyTarget target) = 0;
};

// The controllers, as the application holds them. UI thread.
class TControllerHost {
public:
    virtual ~TControllerHost() = default;
    // A deck's volume knob has moved (by the mouse, a key, the crossfader): a control bound to it
    // must meet it again before it moves it.
    virtual void VolumeKnobMoved(TKeyTarget deck) = 0;
    // The learn dialog, run by `execute` when given (tests), else modally.
    virtual void ShowDialog(QWidget* parent, const std::function<void(QDialog* dialog)>& execute) = 0;
};

using TControllerMaker = std::unique_ptr<TControllerHost> (*)(TActionTarget& target,
                                                              const std::filesystem::path& bindingsFile);
// Null where no controllers' library is linked.
inline TControllerMaker& ControllerMaker()
{
    static TControllerMaker maker = nullptr;
    return maker;
}
