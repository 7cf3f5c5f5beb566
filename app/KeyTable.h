// The keys of both windows: one row per key, what it does to which deck or to the mixer. The left
// hand plays the left deck, the right hand the right one; of each pair of keys the left one goes
// down (slower, quieter, back, to the left) and the right one up. Shift makes a step the fine one.
// With Ctrl each hand's letters are its deck's hot cue pads (two rows of four, as on a controller)
// and its loop controls; Shift there deletes a cue.
// Read by the main window's key handler (UI thread); the help document lists the same keys.
#pragma once

#include "app/MixerStrip.h"
#include "decks/Actions.h"
#include "decks/DeckController.h"

#include <Qt>

struct TKeyBinding {
    int Key;
    TKeyTarget Target;
    TKeyAction Action;
    double Amount;     // plain
    double FineAmount; // with Shift
};

namespace keys {
// Tempo steps and nudges as shares of the song's rate; the knobs' steps in their pixels.
constexpr double kTempo = TDeckController::kStep, kFineTempo = TDeckController::kFineStep;
constexpr double kNudge = TDeckController::kNudge, kFineNudge = TDeckController::kFineNudge;
constexpr double kEq = TRotaryKnob::kStep, kFineEq = TRotaryKnob::kFineStep;
constexpr double kSeekPx = 4, kFineSeekPx = 1, kVolumePx = 8, kFineVolumePx = 1, kFaderPx = 8, kFineFaderPx = 1;
using enum TKeyAction;
using enum TKeyTarget;
// A key held with Ctrl, as the table writes it.
constexpr int Ctrl(Qt::Key key)
{
    return int(Qt::ControlModifier) | key;
}
} // namespace keys

inline constexpr TKeyBinding KeyTable[] = {
    // The left deck.
    {Qt::Key_F, keys::Left, keys::PlayPause, 0, 0},
    {Qt::Key_D, keys::Left, keys::Stop, 0, 0},
    {Qt::Key_G, keys::Left, keys::Load, 0, 0},
    {Qt::Key_C, keys::Left, keys::Cue, 0, 0},
    {Qt::Key_Z, keys::Left, keys::Sync, 0, 0},
    {Qt::Key_X, keys::Left, keys::Keylock, 0, 0},
    {Qt::Key_Q, keys::Left, keys::TempoStep, -keys::kTempo, -keys::kFineTempo},
    {Qt::Key_W, keys::Left, keys::TempoStep, +keys::kTempo, +keys::kFineTempo},
    {Qt::Key_A, keys::Left, keys::Nudge, -keys::kNudge, -keys::kFineNudge},
    {Qt::Key_S, keys::Left, keys::Nudge, +keys::kNudge, +keys::kFineNudge},
    {Qt::Key_E, keys::Left, keys::Seek, -keys::kSeekPx, -keys::kFineSeekPx},
    {Qt::Key_R, keys::Left, keys::Seek, +keys::kSeekPx, +keys::kFineSeekPx},
    {Qt::Key_1, keys::Left, keys::Volume, +keys::kVolumePx, +keys::kFineVolumePx},
    {Qt::Key_2, keys::Left, keys::Volume, -keys::kVolumePx, -keys::kFineVolumePx},
    // The right deck.
    {Qt::Key_J, keys::Right, keys::PlayPause, 0, 0},
    {Qt::Key_K, keys::Right, keys::Stop, 0, 0},
    {Qt::Key_H, keys::Right, keys::Load, 0, 0},
    {Qt::Key_Period, keys::Right, keys::Cue, 0, 0},
    {Qt::Key_M, keys::Right, keys::Sync, 0, 0},
    {Qt::Key_Comma, keys::Right, keys::Keylock, 0, 0},
    {Qt::Key_O, keys::Right, keys::TempoStep, -keys::kTempo, -keys::kFineTempo},
    {Qt::Key_P, keys::Right, keys::TempoStep, +keys::kTempo, +keys::kFineTempo},
    {Qt::Key_L, keys::Right, keys::Nudge, -keys::kNudge, -keys::kFineNudge},
    {Qt::Key_Semicolon, keys::Right, keys::Nudge, +keys::kNudge, +keys::kFineNudge},
    {Qt::Key_U, keys::Right, keys::Seek, -keys::kSeekPx, -keys::kFineSeekPx},
    {Qt::Key_I, keys::Right, keys::Seek, +keys::kSeekPx, +keys::kFineSeekPx},
    {Qt::Key_9, keys::Right, keys::Volume, +keys::kVolumePx, +keys::kFineVolumePx},
    {Qt::Key_0, keys::Right, keys::Volume, -keys::kVolumePx, -keys::kFineVolumePx},
    // The selection in each deck's playlist, up and down: then the load key or the play key.
    {Qt::Key_T, keys::Left, keys::Select, -1, -1},
    {Qt::Key_Y, keys::Left, keys::Select, +1, +1},
    {Qt::Key_BracketLeft, keys::Right, keys::Select, -1, -1},
    {Qt::Key_BracketRight, keys::Right, keys::Select, +1, +1},
    // The DJ's mixer. The number row between the volume keys kills the bands, low to high as the
    // mixer strip shows them; the function keys over each hand turn its deck's low and high bands.
    {Qt::Key_3, keys::Left, keys::KillLow, 0, 0},
    {Qt::Key_4, keys::Left, keys::KillMid, 0, 0},
    {Qt::Key_5, keys::Left, keys::KillHigh, 0, 0},
    {Qt::Key_6, keys::Right, keys::KillLow, 0, 0},
    {Qt::Key_7, keys::Right, keys::KillMid, 0, 0},
    {Qt::Key_8, keys::Right, keys::KillHigh, 0, 0},
    {Qt::Key_F1, keys::Left, keys::LowKnob, -keys::kEq, -keys::kFineEq},
    {Qt::Key_F2, keys::Left, keys::LowKnob, +keys::kEq, +keys::kFineEq},
    {Qt::Key_F3, keys::Left, keys::HighKnob, -keys::kEq, -keys::kFineEq},
    {Qt::Key_F4, keys::Left, keys::HighKnob, +keys::kEq, +keys::kFineEq},
    {Qt::Key_F5, keys::Right, keys::LowKnob, -keys::kEq, -keys::kFineEq},
    {Qt::Key_F6, keys::Right, keys::LowKnob, +keys::kEq, +keys::kFineEq},
    {Qt::Key_F7, keys::Right, keys::HighKnob, -keys::kEq, -keys::kFineEq},
    {Qt::Key_F8, keys::Right, keys::HighKnob, +keys::kEq, +keys::kFineEq},
    // The mixer and the recording.
    {Qt::Key_V, keys::Mixer, keys::Crossfader, -keys::kFaderPx, -keys::kFineFaderPx},
    {Qt::Key_N, keys::Mixer, keys::Crossfader, +keys::kFaderPx, +keys::kFineFaderPx},
    {Qt::Key_B, keys::Mixer, keys::CrossfaderCentre, 0, 0},
    {Qt::Key_F9, keys::Mixer, keys::Record, 0, 0},
    {Qt::Key_F10, keys::Mixer, keys::PauseRecording, 0, 0},
    // Hot cues and loops, with Ctrl.
    {keys::Ctrl(Qt::Key_Q), keys::Left, keys::HotCue, 1, -1},
    {keys::Ctrl(Qt::Key_W), keys::Left, keys::HotCue, 2, -2},
    {keys::Ctrl(Qt::Key_E), keys::Left, keys::HotCue, 3, -3},
    {keys::Ctrl(Qt::Key_R), keys::Left, keys::HotCue, 4, -4},
    {keys::Ctrl(Qt::Key_A), keys::Left, keys::HotCue, 5, -5},
    {keys::Ctrl(Qt::Key_S), keys::Left, keys::HotCue, 6, -6},
    {keys::Ctrl(Qt::Key_D), keys::Left, keys::HotCue, 7, -7},
    {keys::Ctrl(Qt::Key_F), keys::Left, keys::HotCue, 8, -8},
    {keys::Ctrl(Qt::Key_Z), keys::Left, keys::LoopToggle, 0, 0},
    {keys::Ctrl(Qt::Key_X), keys::Left, keys::LoopHalve, 0, 0},
    {keys::Ctrl(Qt::Key_C), keys::Left, keys::LoopDouble, 0, 0},
    {keys::Ctrl(Qt::Key_T), keys::Left, keys::LoopIn, 0, 0},
    {keys::Ctrl(Qt::Key_G), keys::Left, keys::LoopOut, 0, 0},
    {keys::Ctrl(Qt::Key_U), keys::Right, keys::HotCue, 1, -1},
    {keys::Ctrl(Qt::Key_I), keys::Right, keys::HotCue, 2, -2},
    {keys::Ctrl(Qt::Key_O), keys::Right, keys::HotCue, 3, -3},
    {keys::Ctrl(Qt::Key_P), keys::Right, keys::HotCue, 4, -4},
    {keys::Ctrl(Qt::Key_J), keys::Right, keys::HotCue, 5, -5},
    {keys::Ctrl(Qt::Key_K), keys::Right, keys::HotCue, 6, -6},
    {keys::Ctrl(Qt::Key_L), keys::Right, keys::HotCue, 7, -7},
    {keys::Ctrl(Qt::Key_Semicolon), keys::Right, keys::HotCue, 8, -8},
    {keys::Ctrl(Qt::Key_M), keys::Right, keys::LoopToggle, 0, 0},
    {keys::Ctrl(Qt::Key_Comma), keys::Right, keys::LoopHalve, 0, 0},
    {keys::Ctrl(Qt::Key_Period), keys::Right, keys::LoopDouble, 0, 0},
    {keys::Ctrl(Qt::Key_Y), keys::Right, keys::LoopIn, 0, 0},
    {keys::Ctrl(Qt::Key_H), keys::Right, keys::LoopOut, 0, 0},
    {keys::Ctrl(Qt::Key_B), keys::Mixer, keys::Quantize, 0, 0},
};
