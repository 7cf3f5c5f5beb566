// The mixer beyond the Parts: the crossfader's curve, songs at one loudness and the limiter, with
// their dialog in the main window's right-click menu and the choice kept in the data folder.
// UI thread only.
#include "app/Unit1.h"

#include "app/MixerStrip.h"
#include "app/WaveformWindow.h"
#include "decks/TempoAnalyser.h"

#include "decks/unitChannel.h"
#include "decks/unitChannel2.h"
#include "mixer/MxDSMixer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QTimer>

#include <QGuiApplication>

#include <cmath>
#include <cstdio>
#include <numbers>

// After CreateHeadphones, which reads the settings file.
void TFormMain::CreateMixerControls()
{
    CreateMixerStrip();
    CreateWaveforms();
    ApplyMixSettings();
}

void TFormMain::CreateMixerStrip()
{
    MixerStrip = new TMixerStrip(this);
    // The limiter's light is looked at on each playing deck's display tick; the playlist watch
    // puts it out once both decks have stopped.
    for (TDeckController* deck :
         {static_cast<TDeckController*>(FormChannel), static_cast<TDeckController*>(FormChannel2)})
        connect(&deck->Timer1(), &QTimer::timeout, MixerStrip, [this] { MixerStrip->PollLimiter(); });
    MixerStrip->OnSurfaceMouse = [this](QMouseEvent* event) { SurfaceMouse(event); };
}

// A press, move or release on a docked window's bare surface drags the windows, as on this one's.
void TFormMain::SurfaceMouse(QMouseEvent* event)
{
    const QPoint p = event->position().toPoint();
    if (event->type() == QEvent::MouseButtonPress)
        DragPress(p);
    else if (event->type() == QEvent::MouseMove)
        DragMove(p, true);
    else
        FDrag.Dragging = false;
}

void TFormMain::DockMixerStrip()
{
    if (MixerStrip)
        MixerStrip->move(TMixerStrip::DockedAt(pos()));
    if (Waveforms)
        Waveforms->move(TWaveformWindow::DockedAt(pos(), TMixerStrip::StripHeight));
}

// At the right rather than above or below: the mixer strip, this window and the playlist window
// already stand one above the other, about 500 pixels at 1x and 1000 at 2x, and screens are wider
// than they are tall. Its height is the strip's and this window's together, so the three read as one
// panel and the playlist window keeps its place under this one.
void TFormMain::CreateWaveforms()
{
    Waveforms = new TWaveformWindow(this);
    Waveforms->SetDecks(FormChannel, FormChannel2);
    Waveforms->OnSurfaceMouse = [this](QMouseEvent* event) { SurfaceMouse(event); };
    // Where the windows cannot be kept together (Wayland without X11) it would stand wherever the
    // compositor puts it, over the playlists as likely as not: there it waits for the menu.
    WaveformsWanted = !QGuiApplication::platformName().startsWith("wayland");
    // A song's waveform arrives with its tempo.
    connect(TempoAnalyser, &TTempoAnalyser::Analysed, Waveforms, [this] { Waveforms->Refresh(); });
}

void TFormMain::ShowWaveforms(bool on)
{
    WaveformsWanted = on;
    if (Waveforms && FShown)
        Waveforms->setVisible(on && !isMinimized());
}

void TFormMain::SetMixSettings(const TMixSettings& settings)
{
    FMixSettings = settings;
    ApplyMixSettings();
    if (!SaveMixSettings(InExeFolder(SettingsFile), FMixSettings))
        std::fprintf(stderr, "DuoDeck: the mixer settings cannot be kept in %s\n", SettingsFile);
}

void TFormMain::ApplyMixSettings()
{
    TDeckController::SetAutoGain(FMixSettings.AutoGain);
    SetLimiter(FMixSettings.Limiter);
    MixerStrip->SetLimiterOn(FMixSettings.Limiter);
    // A curve chosen takes effect where the crossfader stands; the original one waits for its next
    // move, as it does at start.
    ApplyCrossfaderCurve(FMixSettings.Crossfader == "original" ? -1 : ImgVolumeBoth->x());
}

void TFormMain::ApplyCrossfaderCurve(int left)
{
    if (!FormChannel || !FormChannel2)
        return;
    float leftShare = 1, rightShare = 1;
    if (left >= 0 && FMixSettings.Crossfader == "power") {
        // The crossfader's travel, 156 ... 235, with its centre 192 at the middle of the blend.
        const double p = left < 192 ? 0.5 * (left - 156) / 36.0 : 0.5 + 0.5 * (left - 192) / 43.0;
        leftShare = left >= 235 ? 0.0f : static_cast<float>(std::cos(p * std::numbers::pi / 2));
        rightShare = left <= 156 ? 0.0f : static_cast<float>(std::sin(p * std::numbers::pi / 2));
    } else if (left >= 0 && FMixSettings.Crossfader == "cut") {
        // Full volume over the whole travel but its last two pixels at either end.
        leftShare = left >= 234 ? 0.0f : 1.0f;
        rightShare = left <= 157 ? 0.0f : 1.0f;
    }
    FormChannel->Channel()->Voice().SetFader(leftShare);
    FormChannel2->Channel()->Voice().SetFader(rightShare);
}

void TFormMain::ShowMixerDialog()
{
    QDialog dialog(this);
    dialog.setObjectName("MixerDialog");
    dialog.setWindowTitle("Mixer");
    auto* form = new QFormLayout(&dialog);
    auto* curve = new QComboBox(&dialog);
    curve->setObjectName("Crossfader");
    curve->addItem("Constant power: silent at the far end", "power");
    curve->addItem("Sharp cut at the ends, for scratching", "cut");
    curve->addItem("Original: moves the volume knobs, never silent", "original");
    curve->setCurrentIndex(std::max(0, curve->findData(FMixSettings.Crossfader)));
    auto* autoGain = new QCheckBox("Songs at one loudness", &dialog);
    autoGain->setObjectName("AutoGain");
    autoGain->setChecked(FMixSettings.AutoGain);
    autoGain->setToolTip("Each song plays at -14 LUFS once its loudness is measured");
    auto* limiter = new QCheckBox("Limiter: never a clip in the room or the recording", &dialog);
    limiter->setObjectName("Limiter");
    limiter->setChecked(FMixSettings.Limiter);
    form->addRow("Crossfader", curve);
    form->addRow(autoGain);
    form->addRow(limiter);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    // Every change is heard at once and kept.
    const auto changed = [this, curve, autoGain, limiter] {
        SetMixSettings({curve->currentData().toString(), autoGain->isChecked(), limiter->isChecked()});
    };
    connect(curve, &QComboBox::currentIndexChanged, &dialog, changed);
    connect(autoGain, &QCheckBox::toggled, &dialog, changed);
    connect(limiter, &QCheckBox::toggled, &dialog, changed);
    if (MixerDialogExecute)
        MixerDialogExecute(&dialog);
    else
        dialog.exec();
}
