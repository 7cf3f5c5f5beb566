#include "decks/DeckController.h"

#include "mixer/MxDSMixer.h"
#include "platform/kernel/TimeScale.h"

#include <QPainter>
#include <QWidget>

#include <algorithm>

namespace {
int Left(QWidget* w)
{
    return w->x();
}
int Top(QWidget* w)
{
    return w->y();
}
void SetLeft(QWidget* w, int left)
{
    w->move(left, w->y());
}
void SetTop(QWidget* w, int top)
{
    w->move(w->x(), top);
}
} // namespace

TDeckController::TDeckController(QObject* owner, TMxDSMixer* mixer, const TDeckWidgets& widgets, QString caption,
                                 int knobMin, int knobMax)
    : QObject(owner), FMixer(mixer), FWidgets(widgets), FCaption(std::move(caption)), FKnobMin(knobMin),
      FKnobMax(knobMax)
{
    FTimer1.setInterval(timescale::TimerInterval(kTimerMs));
    connect(&FTimer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    FormCreate();
}

TDeckController::~TDeckController()
{
    FormDestroy();
}

void TDeckController::FormCreate()
{
    if (FChannel)
        return;
    FChannel = std::make_unique<TMxDSMixerChannel>(FMixer);
    FChannel->OnFadeEnd = [](TMxDSMixerChannel* channel) { channel->Stop(); };
    FChannel->OnPlayEnd = [this](TMxDSMixerChannel*) { SongEnded(); };
}

void TDeckController::FormDestroy()
{
    FTimer1.stop();
    FAnalysis.reset();
    FChannel.reset();
}

void TDeckController::LoadAndPlay(const std::string& path)
{
    FOpenDialogFileName = path;
    btnBrowseClick(); // a failed open raises here and skips the rest
    ApplyVolumeKnob();
    FChannel->Play();
    // Opening leaves the stored frequency at 44100, so the knob lands at 84 whatever the file's rate.
    SetTop(FWidgets.FrequencyKnob, static_cast<int>(FChannel->Frequency() * 120u / 100000u + 32u));
    FTimer1.start();
}

void TDeckController::btnBrowseClick()
{
    FEditFileName.clear();
    FPanelEnabled = false;
    FChannel->SetFileName("");
    FAnalysis.reset();
    FChannel->SetFileName(FOpenDialogFileName);
    FEditFileName = FChannel->FileName();
    FPanelEnabled = true;
    // The frames of one timer tick at the file's own rate (2205 at 44100 Hz).
    FAnalysis = std::make_unique<TAnalysis>(FChannel.get(), kColumns, FChannel->SamplesPerSec() * kTimerMs / 1000u);
}

void TDeckController::Resume()
{
    FChannel->Play();
    FTimer1.start();
}

void TDeckController::buttonPauseClick()
{
    FChannel->Pause();
    FTimer1.stop();
}

void TDeckController::buttonStopClick()
{
    FTimer1.stop();
    FChannel->Stop();
}

void TDeckController::Timer1Timer()
{
    if (FChannel->State() != csPlaying)
        return;
    if (FAnalysis)
        FAnalysis->Update();
    if (FWidgets.Display)
        FWidgets.Display->update(0, 0, FWidgets.Display->width(), kLevelRows);
    const int position = -FChannel->Volume() - 10000;
    if (position != FTrackVolume) {
        FTrackVolume = position;
        trackVolumeChange(position);
    }
    const int32_t duration = FChannel->Duration();
    if (duration > 0) {
        // 64-bit: a song of more than nine hours would overflow the product in 32 bits.
        const uint64_t ms = static_cast<uint32_t>(FChannel->Position());
        SetLeft(FWidgets.PositionKnob, static_cast<int>(ms * KnobSpan() / static_cast<uint32_t>(duration) + FKnobMin));
    }
}

void TDeckController::trackVolumeChange(int position)
{
    FChannel->SetVolume(-position - 10000);
}

void TDeckController::SeekDrag(int x)
{
    if (FChannel->Position() == 0)
        return; // no drag while stopped at the start or with nothing loaded
    QWidget* knob = FWidgets.PositionKnob;
    int left = Left(knob) + x - (FWidgets.PositionAnchorX ? *FWidgets.PositionAnchorX : 0);
    if (left < FKnobMin || left > FKnobMax)
        left = FKnobMin; // past the end goes back to the start, not to the end
    SetLeft(knob, left);
    FChannel->Pause();
    FTimer1.stop();
    const int64_t ms = int64_t(left - FKnobMin) * FChannel->Duration() / KnobSpan();
    FChannel->SetPosition(static_cast<uint32_t>(ms));
}

void TDeckController::SeekDragEnd()
{
    if (FChannel->Position() != 0) {
        FChannel->Play();
        FTimer1.start();
    }
}

void TDeckController::VolumeDrag(int y)
{
    QWidget* knob = FWidgets.VolumeKnob;
    const int top = std::clamp(Top(knob) + y - (FWidgets.VolumeAnchorY ? *FWidgets.VolumeAnchorY : 0), 32, 152);
    SetTop(knob, top);
    ApplyVolumeKnob();
}

void TDeckController::ApplyVolumeKnob()
{
    // 0 at the top (32) down to -3157 at the bottom (152): the knob never reaches silence.
    FChannel->SetVolume((32 - Top(FWidgets.VolumeKnob)) * 4000 / 152);
}

void TDeckController::ApplyFrequencyKnob()
{
    // 0 (the song's own rate) at the top, up to 100000 Hz at the bottom, in steps of about 833 Hz.
    FChannel->SetFrequency(static_cast<uint32_t>((Top(FWidgets.FrequencyKnob) - 32) * 100000 / 120));
}

void TDeckController::SongEnded()
{
    FTimer1.stop();
    if (FAnalysis)
        FAnalysis->Reset();
    if (OnSongEnded)
        OnSongEnded();
}

void TDeckController::DrawLevels(QPainter& painter) const
{
    if (!FAnalysis)
        return;
    // Each column is a vertical line of the painter's pen from the column's maximum down to its
    // minimum, filled as the rectangle an aliased square-capped pen covers: stroking the lines cost
    // more than all the rest of a repaint.
    const QPen pen = painter.pen();
    const int width = std::max(1, pen.width());
    const int half = width / 2;
    const int columns = std::min<int>(static_cast<int>(FAnalysis->Columns()), painter.device()->width() + half);
    for (int x = 0; x < columns; ++x) {
        const int top = (255 - FAnalysis->MaxValue(x, 0)) >> 2;
        const int bottom = (255 - FAnalysis->MinValue(x, 0)) >> 2;
        if (top == bottom)
            continue; // a line of length zero leaves nothing: silence, a new or a reset analysis
        painter.fillRect(x - half, top - half, width, bottom - top + width, pen.brush());
    }
}

bool TDeckController::Cue() const
{
    return FChannel && FChannel->Cue();
}

void TDeckController::SetCue(bool on)
{
    if (FChannel)
        FChannel->SetCue(on);
}
