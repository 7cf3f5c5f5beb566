// The actions a key or a controller's control can be bound to: one table for both. Pure data, any
// thread. The names are those of the bindings file, so a name, once used, stays.
#pragma once

enum class TKeyAction {
    PlayPause,        // the deck's Play button, or its Pause button while it plays
    Stop,             // the deck's Stop button
    Load,             // the first selected entry of the deck's playlist, loaded without playing
    Cue,              // the deck's headphones switch
    Sync,             // the deck's Sync button
    Keylock,          // the deck's keylock switch
    TempoStep,        // Amount: share of the song's rate
    Nudge,            // Amount: share of the song's rate, while the key is held
    Seek,             // Amount: pixels of the position knob
    Volume,           // Amount: pixels of the volume knob (negative: up, louder)
    Crossfader,       // Amount: pixels of the crossfader (negative: to the left)
    CrossfaderCentre, //
    KillLow,          // the deck's kill switches
    KillMid,          //
    KillHigh,         //
    LowKnob,          // Amount: share of the band knob's half travel (negative: down, towards the cut)
    HighKnob,         //
    Record,           // the Record button
    PauseRecording,   // the recording's Pause button
    Select,           // Amount: entries of the deck's playlist to move its selection by (negative: up)
    Jog,              // Amount: a jog wheel's ticks: a nudge while the deck plays, a scratch while touched
    JogTouch,         // held while the jog wheel is touched
    // From here on the waveform window shows what they change.
    HotCue,     // Amount: the cue's number, set when empty, else jumped to; negative: deleted
    LoopToggle, // a beat loop of the deck's loop size, or out of the running loop
    LoopHalve,  //
    LoopDouble, //
    LoopIn,     //
    LoopOut,    //
    Quantize,   // for both decks
};

enum class TKeyTarget { Left, Right, Mixer };

// How a control drives an action: a switch acts on a press, a held action from its press to its
// release, a step by so many units a press or an encoder's tick, a knob also to a place (0..1) that
// an absolute control sets.
enum class TActionKind { Switch, Held, Step, Knob };

struct TActionInfo {
    TKeyAction Action;
    const char* Name;
    TActionKind Kind;
    double Unit;   // a step's or a tick's amount, in the units of the action's key amounts
    bool HasLight; // a state a controller's light can show
};

inline constexpr TActionInfo ActionTable[] = {
    {TKeyAction::PlayPause, "play", TActionKind::Switch, 0, true},
    {TKeyAction::Stop, "stop", TActionKind::Switch, 0, false},
    {TKeyAction::Load, "load", TActionKind::Switch, 0, false},
    {TKeyAction::Cue, "headphones", TActionKind::Switch, 0, true},
    {TKeyAction::Sync, "sync", TActionKind::Switch, 0, true},
    {TKeyAction::Keylock, "keylock", TActionKind::Switch, 0, true},
    {TKeyAction::TempoStep, "tempo", TActionKind::Step, 0.001, false}, // the deck's fine step
    {TKeyAction::Nudge, "nudge", TActionKind::Held, 0.04, false},      // the deck's nudge
    {TKeyAction::Seek, "seek", TActionKind::Step, 1, false},           // pixels of the position knob
    {TKeyAction::Volume, "volume", TActionKind::Knob, -1, false},      // up, louder
    {TKeyAction::Crossfader, "crossfader", TActionKind::Knob, 1, false},
    {TKeyAction::CrossfaderCentre, "crossfader-centre", TActionKind::Switch, 0, false},
    {TKeyAction::KillLow, "kill-low", TActionKind::Switch, 0, false},
    {TKeyAction::KillMid, "kill-mid", TActionKind::Switch, 0, false},
    {TKeyAction::KillHigh, "kill-high", TActionKind::Switch, 0, false},
    {TKeyAction::LowKnob, "low", TActionKind::Knob, 0.02, false},
    {TKeyAction::HighKnob, "high", TActionKind::Knob, 0.02, false},
    {TKeyAction::Record, "record", TActionKind::Switch, 0, false},
    {TKeyAction::PauseRecording, "pause-recording", TActionKind::Switch, 0, false},
    {TKeyAction::Select, "select", TActionKind::Step, 1, false}, // entries, down the list
    {TKeyAction::Jog, "jog", TActionKind::Step, 1, false},       // ticks
    {TKeyAction::JogTouch, "jog-touch", TActionKind::Held, 0, false},
    // One row per pad, its unit the cue's number.
    {TKeyAction::HotCue, "hot-cue-1", TActionKind::Switch, 1, false},
    {TKeyAction::HotCue, "hot-cue-2", TActionKind::Switch, 2, false},
    {TKeyAction::HotCue, "hot-cue-3", TActionKind::Switch, 3, false},
    {TKeyAction::HotCue, "hot-cue-4", TActionKind::Switch, 4, false},
    {TKeyAction::HotCue, "hot-cue-5", TActionKind::Switch, 5, false},
    {TKeyAction::HotCue, "hot-cue-6", TActionKind::Switch, 6, false},
    {TKeyAction::HotCue, "hot-cue-7", TActionKind::Switch, 7, false},
    {TKeyAction::HotCue, "hot-cue-8", TActionKind::Switch, 8, false},
    {TKeyAction::LoopToggle, "loop", TActionKind::Switch, 0, false},
    {TKeyAction::LoopHalve, "loop-halve", TActionKind::Switch, 0, false},
    {TKeyAction::LoopDouble, "loop-double", TActionKind::Switch, 0, false},
    {TKeyAction::LoopIn, "loop-in", TActionKind::Switch, 0, false},
    {TKeyAction::LoopOut, "loop-out", TActionKind::Switch, 0, false},
    {TKeyAction::Quantize, "quantize", TActionKind::Switch, 0, false},
};

constexpr const TActionInfo* FindAction(TKeyAction action)
{
    for (const TActionInfo& info : ActionTable)
        if (info.Action == action)
            return &info;
    return nullptr;
}

// The row of an action that has several (the hot cues), told apart by their units.
constexpr const TActionInfo* FindAction(TKeyAction action, double unit)
{
    for (const TActionInfo& info : ActionTable)
        if (info.Action == action && info.Unit == unit)
            return &info;
    return FindAction(action);
}
