// The keys of both windows and the wheel over the knobs: each key does what its button does, or
// moves its knob as a drag by so many pixels does. UI thread only.
#include "app/KeyTable.h"
#include "app/Unit1.h"
#include "app/WaveformWindow.h"

#include "decks/unitChannel.h"
#include "playlist/UnitList.h"
#include "decks/unitChannel2.h"
#include "mixer/MxDSMixerChannel.h"
#include "widgets/ImgBtn.h"
#include "widgets/TFlatListBoxUnit.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

// A jog wheel: song time per tick while touched; the nudge per tick while it turns free, and the
// rest after which the nudge ends.
constexpr int kScratchMs = 10;
constexpr double kJogNudge = 0.005;
constexpr int kJogRestMs = 80;

void Click(TImgBtn* button)
{
    if (button->OnClick)
        button->OnClick(button);
}

// Sees every key of the application first, so that the keys work from both windows whichever widget
// has the focus; a dialog's keys stay the dialog's.
class TKeyRouter : public QObject {
public:
    explicit TKeyRouter(TFormMain* form) : QObject(form), FForm(form) {}

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        const QEvent::Type type = event->type();
        // A window that loses the keyboard never hears the release of a key held in it.
        if (type == QEvent::ApplicationDeactivate || (type == QEvent::WindowDeactivate && Ours(watched)))
            FForm->ReleaseHeldKeys();
        if ((type != QEvent::KeyPress && type != QEvent::KeyRelease) || !Ours(watched))
            return false;
        return FForm->KeyEvent(static_cast<QKeyEvent*>(event));
    }

private:
    bool Ours(QObject* watched) const
    {
        if (!watched->isWidgetType())
            return false;
        const QWidget* window = static_cast<QWidget*>(watched)->window();
        return window == FForm || (FormList && window == FormList) || window == FForm->MixerStrip ||
               window == FForm->Waveforms;
    }

    TFormMain* FForm;
};

} // namespace

void TFormMain::RouteKeys()
{
    FKeyRouter = new TKeyRouter(this);
    QCoreApplication::instance()->installEventFilter(FKeyRouter);
}

void TFormMain::ReleaseHeldKeys()
{
    if (!FormChannel || !FormChannel2)
        return;
    for (bool right : {false, true})
        if (std::exchange(FNudging[right], false))
            (right ? RightSide() : LeftSide()).Deck->Nudge(0, 0);
}

void TFormMain::StepKnob(QLabel* knob, int pixels)
{
    const TKnob* k = KnobOf(knob);
    if (!k || pixels == 0)
        return;
    const int anchor = std::exchange(k->Drag->Anchor, 0);
    DragKnob(knob, pixels);
    k->Drag->Anchor = anchor;
    if (knob == ImgJinduLeft)
        FormChannel->SeekDragEnd();
    else if (knob == ImgJinduRight)
        FormChannel2->SeekDragEnd();
}

bool TFormMain::WheelKnob(QLabel* knob, QWheelEvent* event)
{
    const TKnob* k = KnobOf(knob);
    if (!k)
        return false;
    // Some mice turn Shift+wheel into a sideways turn.
    const QPoint angle = event->angleDelta();
    FWheelRest += angle.y() != 0 ? angle.y() : angle.x();
    const int notches = FWheelRest / 120;
    FWheelRest -= notches * 120;
    const bool fine = event->modifiers() & Qt::ShiftModifier;
    if (knob == ImgFrequenceLeft || knob == ImgFrequenceRight) {
        // Up is the knob's top: slower. The tempo's own steps, finer than the knob's pixels.
        TDeckController* deck = knob == ImgFrequenceLeft ? static_cast<TDeckController*>(FormChannel) : FormChannel2;
        for (int i = 0; i < std::abs(notches); ++i)
            deck->StepTempo((notches < 0 ? 1 : -1) * (fine ? keys::kFineTempo : keys::kTempo));
        return true;
    }
    // Up: louder, later in the song, to the right.
    const double step = k->Vertical             ? -(fine ? keys::kFineVolumePx : keys::kVolumePx)
                        : knob == ImgVolumeBoth ? (fine ? keys::kFineFaderPx : keys::kFaderPx)
                                                : (fine ? keys::kFineSeekPx : keys::kSeekPx);
    StepKnob(knob, static_cast<int>(notches * step));
    return true;
}

bool TFormMain::KeyEvent(QKeyEvent* event)
{
    const TKeyBinding* binding = nullptr;
    // Ctrl is part of a key (the hot cues and loops); Shift only makes a step fine.
    const int key = event->key() | (event->modifiers() & Qt::ControlModifier ? int(Qt::ControlModifier) : 0);
    for (const TKeyBinding& k : KeyTable)
        if (k.Key == key)
            binding = &k;
    if (!binding || !FormChannel || !FormChannel2)
        return false;
    const bool repeat = event->isAutoRepeat();
    if (event->type() == QEvent::KeyRelease) {
        if (!repeat)
            Release(binding->Target, binding->Action);
        return true;
    }
    Perform(binding->Target, binding->Action,
            event->modifiers() & Qt::ShiftModifier ? binding->FineAmount : binding->Amount, repeat);
    return true;
}

void TFormMain::Release(TKeyTarget target, TKeyAction action)
{
    const bool right = target == TKeyTarget::Right;
    if (!FormChannel || !FormChannel2)
        return;
    TDeckController* deck = (right ? RightSide() : LeftSide()).Deck;
    if (action == TKeyAction::Nudge && std::exchange(FNudging[right], false))
        deck->Nudge(0, 0);
    if (action == TKeyAction::JogTouch && std::exchange(FJogTouched[right], false) &&
        std::exchange(FJogWasPlaying[right], false) && deck->Channel()->State() != csPlaying)
        deck->SeekDragEnd();
}

void TFormMain::Perform(TKeyTarget target, TKeyAction action, double amount, bool repeat)
{
    if (!FormChannel || !FormChannel2)
        return;
    const bool right = target == TKeyTarget::Right;
    const TDeckSide side = right ? RightSide() : LeftSide();
    TDeckController* deck = side.Deck;
    // Switches act once per press; steps repeat while the key is held.
    switch (action) {
    case TKeyAction::PlayPause:
        if (!repeat)
            Click(deck->Channel()->State() == csPlaying ? (right ? BtnPauseRight : BtnPauseLeft)
                                                        : (right ? BtnPlayRight : BtnPlayLeft));
        break;
    case TKeyAction::Stop:
        if (!repeat)
            Click(right ? btnStopRight : BtnStopLeft);
        break;
    case TKeyAction::Load:
        if (const QByteArray path = SelectedEntry(side); !repeat && !path.isEmpty())
            deck->Load(path.toStdString());
        break;
    case TKeyAction::Cue:
        if (!repeat)
            Click(right ? BtnCueRight : BtnCueLeft);
        break;
    case TKeyAction::Sync:
        if (!repeat)
            Click(right ? BtnSyncRight : BtnSyncLeft);
        break;
    case TKeyAction::Keylock:
        if (!repeat)
            Click(right ? BtnKeylockRight : BtnKeylockLeft);
        break;
    case TKeyAction::TempoStep:
        deck->StepTempo(amount);
        break;
    case TKeyAction::Nudge:
        if (!repeat) {
            deck->Nudge(1, amount);
            FNudging[right] = true;
        }
        break;
    case TKeyAction::Seek:
        StepKnob(side.PositionKnob, static_cast<int>(amount));
        break;
    case TKeyAction::Volume:
        StepKnob(right ? ImgVolumeRight : ImgVolumeLeft, static_cast<int>(amount));
        break;
    case TKeyAction::Crossfader:
        StepKnob(ImgVolumeBoth, static_cast<int>(amount));
        break;
    case TKeyAction::CrossfaderCentre:
        StepKnob(ImgVolumeBoth, 192 - ImgVolumeBoth->x());
        break;
    case TKeyAction::KillLow:
    case TKeyAction::KillMid:
    case TKeyAction::KillHigh:
        if (!repeat)
            MixerStrip->ToggleKill(right, static_cast<int>(action) - static_cast<int>(TKeyAction::KillLow));
        break;
    case TKeyAction::LowKnob:
        MixerStrip->Knobs[right][TMixerStrip::Low]->Step(amount);
        break;
    case TKeyAction::HighKnob:
        MixerStrip->Knobs[right][TMixerStrip::High]->Step(amount);
        break;
    case TKeyAction::Record:
        if (!repeat)
            Click(BtnRecord);
        break;
    case TKeyAction::PauseRecording:
        if (!repeat)
            Click(BtnPause);
        break;
    case TKeyAction::JogTouch:
        FJogTouched[right] = true;
        FJogWasPlaying[right] = deck->Channel()->State() == csPlaying;
        break;
    case TKeyAction::Jog:
        if (FJogTouched[right]) {
            deck->Scratch(static_cast<int>(amount * kScratchMs));
        } else if (deck->Channel()->State() == csPlaying && !FNudging[right]) {
            // Faster the faster the wheel turns, up to the nudge key's; ends once it rests.
            deck->Nudge(amount > 0 ? 1 : -1, std::min(std::abs(amount) * kJogNudge, keys::kNudge));
            const unsigned tick = ++FJogTicks[right];
            QTimer::singleShot(kJogRestMs, this, [this, right, tick] {
                if (FJogTicks[right] == tick && !FNudging[right] && FormChannel && FormChannel2)
                    (right ? RightSide() : LeftSide()).Deck->Nudge(0, 0);
            });
        }
        break;
    case TKeyAction::Select:
        if (TFlatListBox* box = side.List.Box) {
            int at = -1;
            for (int i = 0; i < box->Items().Count() && at < 0; ++i)
                if (box->Selected(i))
                    at = i;
            // With nothing selected, the first step down selects the first entry.
            box->SelectOnly(at < 0 ? (amount > 0 ? 0 : box->Items().Count() - 1) : at + static_cast<int>(amount));
        }
        break;
    case TKeyAction::HotCue:
        if (!repeat) {
            const int cue = static_cast<int>(std::abs(amount)) - 1;
            if (amount < 0)
                deck->DeleteHotCue(cue);
            else
                deck->HotCuePress(cue);
        }
        break;
    case TKeyAction::LoopToggle:
        if (!repeat)
            deck->Looping() ? deck->ExitLoop() : deck->BeatLoop(deck->LoopBeats());
        break;
    case TKeyAction::LoopHalve:
        if (!repeat)
            deck->HalveLoop();
        break;
    case TKeyAction::LoopDouble:
        if (!repeat)
            deck->DoubleLoop();
        break;
    case TKeyAction::LoopIn:
        if (!repeat)
            deck->LoopIn();
        break;
    case TKeyAction::LoopOut:
        if (!repeat)
            deck->LoopOut();
        break;
    case TKeyAction::Quantize:
        if (!repeat)
            TDeckController::SetQuantize(!TDeckController::Quantize());
        break;
    }
    if (Waveforms && action >= TKeyAction::HotCue)
        Waveforms->Refresh();
}
