// The main window's keys: one row per key, what it does to which deck. Shift makes a tempo step
// or a nudge the fine one. Read by the main window's key handlers (UI thread).
#pragma once

#include "decks/DeckController.h"

#include <Qt>

enum class TKeyAction {
    TempoStep, // one step of speed: Amount is the share of the song's rate (negative: slower)
    Nudge,     // faster (Amount > 0) or slower while the key is held
    Sync,      // the deck's Sync button
};

struct TKeyBinding {
    int Key;
    bool RightDeck;
    TKeyAction Action;
    double Amount;     // plain
    double FineAmount; // with Shift
};

inline constexpr TKeyBinding KeyTable[] = {
    {Qt::Key_Q, false, TKeyAction::TempoStep, -TDeckController::kStep, -TDeckController::kFineStep},
    {Qt::Key_W, false, TKeyAction::TempoStep, +TDeckController::kStep, +TDeckController::kFineStep},
    {Qt::Key_A, false, TKeyAction::Nudge, -TDeckController::kNudge, -TDeckController::kFineNudge},
    {Qt::Key_S, false, TKeyAction::Nudge, +TDeckController::kNudge, +TDeckController::kFineNudge},
    {Qt::Key_Z, false, TKeyAction::Sync, 0, 0},
    {Qt::Key_O, true, TKeyAction::TempoStep, -TDeckController::kStep, -TDeckController::kFineStep},
    {Qt::Key_P, true, TKeyAction::TempoStep, +TDeckController::kStep, +TDeckController::kFineStep},
    {Qt::Key_K, true, TKeyAction::Nudge, -TDeckController::kNudge, -TDeckController::kFineNudge},
    {Qt::Key_L, true, TKeyAction::Nudge, +TDeckController::kNudge, +TDeckController::kFineNudge},
    {Qt::Key_M, true, TKeyAction::Sync, 0, 0},
};
