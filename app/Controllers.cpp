// The player as controllers reach it: the actions of the key table, the knobs' places for absolute
// controls, the switches' states for lights. UI thread, but for the voices (see TActionTarget).
#include "app/Unit1.h"

#include "app/MixerStrip.h"
#include "decks/ControllerHook.h"
#include "decks/unitChannel.h"
#include "decks/unitChannel2.h"
#include "mixer/MxDSMixerChannel.h"

#include <QLabel>

#include <algorithm>
#include <cmath>

namespace {

constexpr const char* kBindingsFile = "Controllers.txt";
// The crossfader's left edge travels 156..235 (the drag's own clamp).
constexpr int kFaderLeft = 156, kFaderRight = 235;

class TPlayerActions : public TActionTarget {
public:
    TPlayerActions(TFormMain& form, engine::VoiceControls* left, engine::VoiceControls* right)
        : FForm(form), FVoices{left, right}
    {
    }
    void Perform(TKeyTarget target, TKeyAction action, double amount) override
    {
        FForm.Perform(target, action, amount);
    }
    void Release(TKeyTarget target, TKeyAction action) override { FForm.Release(target, action); }
    void SetPlace(TKeyTarget target, TKeyAction action, double place) override
    {
        FForm.SetPlace(target, action, place);
    }
    double Place(TKeyTarget target, TKeyAction action) override { return FForm.Place(target, action); }
    bool Lit(TKeyTarget target, TKeyAction action) override { return FForm.Lit(target, action); }
    engine::VoiceControls* Voice(TKeyTarget target) override
    {
        return target == TKeyTarget::Mixer ? nullptr : FVoices[target == TKeyTarget::Right];
    }

private:
    TFormMain& FForm;
    engine::VoiceControls* FVoices[2]; // set at start: the channels' controls outlast their songs
};

TDeckController* DeckOf(TKeyTarget target)
{
    if (target == TKeyTarget::Left)
        return FormChannel;
    if (target == TKeyTarget::Right)
        return FormChannel2;
    return nullptr;
}

} // namespace

void TFormMain::CreateControllers()
{
    if (!ControllerMaker())
        return;
    FMidiTarget =
        std::make_unique<TPlayerActions>(*this, &FormChannel->Channel()->Voice(), &FormChannel2->Channel()->Voice());
    FMidi = ControllerMaker()(*FMidiTarget, InExeFolder(kBindingsFile).toStdString());
    FormChannel->OnVolumeKnob = [this] { FMidi->VolumeKnobMoved(TKeyTarget::Left); };
    FormChannel2->OnVolumeKnob = [this] { FMidi->VolumeKnobMoved(TKeyTarget::Right); };
}

void TFormMain::FreeControllers()
{
    if (FMidi && FormChannel && FormChannel2)
        FormChannel->OnVolumeKnob = FormChannel2->OnVolumeKnob = nullptr;
    FMidi.reset(); // its threads end here, before the voices they reach
    FMidiTarget.reset();
}

void TFormMain::SetPlace(TKeyTarget target, TKeyAction action, double place)
{
    TDeckController* deck = DeckOf(target);
    const bool right = target == TKeyTarget::Right;
    switch (action) {
    case TKeyAction::Volume:
        if (deck)
            deck->SetVolumeKnob(
                TDeckController::kVolumeBottom -
                static_cast<int>(std::lround(place * (TDeckController::kVolumeBottom - TDeckController::kVolumeTop))));
        break;
    case TKeyAction::Crossfader:
        StepKnob(ImgVolumeBoth,
                 kFaderLeft + static_cast<int>(std::lround(place * (kFaderRight - kFaderLeft))) - ImgVolumeBoth->x());
        break;
    case TKeyAction::LowKnob:
    case TKeyAction::HighKnob:
        MixerStrip->Knobs[right][action == TKeyAction::LowKnob ? TMixerStrip::Low : TMixerStrip::High]->SetValue(
            place * 2 - 1);
        break;
    default:
        break;
    }
}

double TFormMain::Place(TKeyTarget target, TKeyAction action)
{
    TDeckController* deck = DeckOf(target);
    const bool right = target == TKeyTarget::Right;
    switch (action) {
    case TKeyAction::Volume:
        return deck
                   ? std::clamp(double(TDeckController::kVolumeBottom - (right ? ImgVolumeRight : ImgVolumeLeft)->y()) /
                                    (TDeckController::kVolumeBottom - TDeckController::kVolumeTop),
                                0.0, 1.0)
                   : 0;
    case TKeyAction::Crossfader:
        return double(ImgVolumeBoth->x() - kFaderLeft) / (kFaderRight - kFaderLeft);
    case TKeyAction::LowKnob:
    case TKeyAction::HighKnob:
        return (MixerStrip->Knobs[right][action == TKeyAction::LowKnob ? TMixerStrip::Low : TMixerStrip::High]
                    ->Value() +
                1) /
               2;
    default:
        return 0;
    }
}

bool TFormMain::Lit(TKeyTarget target, TKeyAction action)
{
    TDeckController* deck = DeckOf(target);
    if (!deck)
        return false;
    switch (action) {
    case TKeyAction::PlayPause:
        return deck->Channel()->State() == csPlaying;
    case TKeyAction::Cue:
        return deck->Cue();
    case TKeyAction::Sync:
        return deck->Aligning();
    case TKeyAction::Keylock:
        return deck->Keylock();
    default:
        return false;
    }
}

void TFormMain::ShowControllersDialog()
{
    if (!FMidi)
        return;
    FMidi->ShowDialog(this, ControllersDialogExecute);
}
