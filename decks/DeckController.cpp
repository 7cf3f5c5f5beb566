#include "decks/DeckController.h"

#include "decks/TempoAnalyser.h"
#include "mixer/MxDSMixer.h"
#include "platform/kernel/TimeScale.h"

#include <QDeadlineTimer>
#include <QLabel>
#include <QPainter>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <utility>

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

namespace {

std::atomic<bool> AutoGainOn{true};
std::vector<TDeckController*> Decks; // UI thread: every deck with a channel, for a change of auto-gain

} // namespace

void TDeckController::FormCreate()
{
    if (FChannel)
        return;
    FChannel = std::make_unique<TMxDSMixerChannel>(FMixer);
    Decks.push_back(this);
    FChannel->OnFadeEnd = [](TMxDSMixerChannel* channel) { channel->Stop(); };
    FChannel->OnPlayEnd = [this](TMxDSMixerChannel*) { SongEnded(); };
}

void TDeckController::FormDestroy()
{
    std::erase(Decks, this);
    FTimer1.stop();
    FAnalysis.reset();
    FChannel.reset();
}

void TDeckController::LoadAndPlay(const std::string& path)
{
    // The song already here, moved to a cue or synced while stopped, plays as it was left.
    if (path == FEditFileName && FChannel->State() != csPlaying && (FSyncPending || FChannel->PositionFrame() != 0)) {
        ApplyVolumeKnob();
        StartPlaying();
        return;
    }
    FOpenDialogFileName = path;
    btnBrowseClick(); // a failed open raises here and skips the rest
    ApplyVolumeKnob();
    FChannel->Play();
    ShowFrequencyKnob();
    FTimer1.start();
}

void TDeckController::Load(const std::string& path)
{
    FTimer1.stop();
    FOpenDialogFileName = path;
    btnBrowseClick();
    ApplyVolumeKnob();
    ShowFrequencyKnob();
    SetLeft(FWidgets.PositionKnob, FKnobMin);
}

void TDeckController::ShowFrequencyKnob()
{
    // Opening leaves the stored frequency at 44100, so the knob lands at 84 whatever the file's rate.
    SetTop(FWidgets.FrequencyKnob, static_cast<int>(FChannel->Frequency() * 120u / 100000u + 32u));
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
    // A new song plays at its own rate; its tempo comes from the cache or, soon, from the analyser.
    FSpeed = 1.0;
    FAligning = false;
    FSyncPending = false;
    FLoopIn.reset();
    FTempo.reset();
    if (FAnalyser) {
        FTempo = FAnalyser->Lookup(FEditFileName);
        if (!FTempo)
            FAnalyser->Request(FEditFileName, true);
    }
    ApplyLoudness();
    FMessageUntil = 0;
    ShowTempo();
    LoadHotCues();
    // The frames of one timer tick at the file's own rate (2205 at 44100 Hz).
    FAnalysis = std::make_unique<TAnalysis>(FChannel.get(), kColumns, FChannel->SamplesPerSec() * kTimerMs / 1000u);
}

void TDeckController::Resume()
{
    StartPlaying();
}

void TDeckController::StartPlaying()
{
    const bool sync = std::exchange(FSyncPending, false);
    if (sync && FChannel->State() == csStopped)
        StartOnTheBeat();
    FChannel->Play();
    FTimer1.start();
    if (sync && BeatLag()) {
        FAligning = true;
        FAlignTicks = 0;
    }
}

void TDeckController::StartOnTheBeat()
{
    if (!FOther || FOther->Channel()->State() != csPlaying || !SteadyBeat() || !FOther->SteadyBeat())
        return;
    // Seconds, as heard, until the other deck's next beat.
    const double theirs = FOther->SongSeconds();
    const TTempoSection& o = FOther->FTempo->At(theirs);
    double since = std::fmod(theirs - o.FirstBeat, o.Period());
    if (since < 0)
        since += o.Period();
    const double toNext = (o.Period() - since) / FOther->Speed();
    // This deck starts that long before its own next beat, in song seconds at its speed.
    const double rate = FChannel->SamplesPerSec();
    const double next = NextBeat(FChannel->PositionFrame()) / rate;
    double start = next - toNext * Speed();
    if (start < 0)
        start += FTempo->At(next).Period();
    FChannel->JumpTo(std::llround(start * rate));
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
    if (FAligning)
        AlignStep();
    ShowTempo(); // a song's sections may change its tempo as it plays
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

void TDeckController::Scratch(int ms)
{
    if (FEditFileName.empty() || FChannel->Duration() <= 0)
        return;
    FChannel->SetPosition(static_cast<uint32_t>(std::clamp(FChannel->Position() + ms, 0, FChannel->Duration() - 1)));
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
    // 0 at the top (32) down to -3157 at the bottom (152).
    FChannel->SetVolume(VolumeAt(Top(FWidgets.VolumeKnob)));
    if (OnVolumeKnob)
        OnVolumeKnob();
}

void TDeckController::SetVolumeKnob(int top)
{
    SetTop(FWidgets.VolumeKnob, std::clamp(top, kVolumeTop, kVolumeBottom));
    ApplyVolumeKnob();
}

void TDeckController::ApplyFrequencyKnob()
{
    // 0 (the song's own rate) at the top, up to 100000 Hz at the bottom, in steps of about 833 Hz.
    const auto hz = static_cast<uint32_t>((Top(FWidgets.FrequencyKnob) - 32) * 100000 / 120);
    FChannel->SetFrequency(hz);
    // The knob's value replaces any finer speed, a nudge and a beat correction.
    const uint32_t own = FChannel->SamplesPerSec();
    FSpeed = hz == 0 || own == 0 ? 1.0 : double(hz) / own;
    FAligning = false;
    FSyncPending = false;
    ShowTempo();
}

// ---- tempo ----------------------------------------------------------------------------------------

void TDeckController::SetAutoGain(bool on)
{
    AutoGainOn = on;
    for (TDeckController* deck : Decks)
        deck->ApplyLoudness();
}

bool TDeckController::AutoGain()
{
    return AutoGainOn;
}

double TDeckController::LoudnessMatch(const TLoudness& loudness)
{
    double db = kReferenceLufs - loudness.Lufs;
    if (db > 0)
        db = std::max(0.0, std::min(db, -1 - loudness.PeakDb));
    return std::clamp(db, -24.0, 12.0);
}

void TDeckController::ApplyLoudness()
{
    const bool known = AutoGainOn && !FEditFileName.empty() && FTempo && FTempo->Loudness;
    // The engine ramps the change: a song measured while it plays glides to its level.
    FChannel->Voice().SetLoudnessMatch(known ? static_cast<float>(LoudnessMatch(*FTempo->Loudness)) : 0.0f);
}

void TDeckController::SetTempoSource(TTempoAnalyser* analyser)
{
    FAnalyser = analyser;
    connect(analyser, &TTempoAnalyser::Analysed, this, [this](const QByteArray& path) {
        if (!FEditFileName.empty() && path.toStdString() == FEditFileName) {
            FTempo = FAnalyser->Lookup(FEditFileName);
            ApplyLoudness();
            ShowTempo();
        }
    });
}

uint32_t TDeckController::SetHz() const
{
    return static_cast<uint32_t>(std::lround(FSpeed * FChannel->SamplesPerSec()));
}

double TDeckController::SongSeconds()
{
    return FChannel->Position() / 1000.0;
}

std::optional<double> TDeckController::PlayingBpm()
{
    if (FEditFileName.empty() || !FTempo || !FTempo->Steady())
        return std::nullopt;
    return FTempo->At(SongSeconds()).Bpm * Speed();
}

QString TDeckController::TempoText()
{
    if (FEditFileName.empty())
        return {};
    if (FTempo && !FTempo->Steady())
        return QStringLiteral("no steady beat");
    double percent = std::round((Speed() - 1) * 1000) / 10;
    if (percent == 0)
        percent = 0; // no "-0.0"
    const auto bpm = PlayingBpm();
    return (bpm ? QString::asprintf("%.1f", *bpm) : QStringLiteral("--.-")) + QString::asprintf("  %+.1f %%", percent);
}

void TDeckController::ShowTempo()
{
    QLabel* label = FWidgets.TempoDisplay;
    if (!label)
        return;
    if (QDeadlineTimer::current().deadline() < FMessageUntil)
        return; // a message is showing
    const QString text = TempoText();
    if (label->text() != text)
        label->setText(text);
    QString tip;
    if (!FEditFileName.empty()) {
        const uint32_t hz = SetHz();
        tip = !FTempo             ? QStringLiteral("Finding the song's tempo")
              : !FTempo->Steady() ? QStringLiteral("The song has no steady beat")
                                  : QString::asprintf("The song's tempo here: %.1f BPM", FTempo->At(SongSeconds()).Bpm);
        tip += QString::asprintf("\nPlaying at %.1f %% of its own rate (%u Hz)", Speed() * 100, hz);
    }
    if (label->toolTip() != tip)
        label->setToolTip(tip);
}

void TDeckController::Say(const QString& text, const QString& why)
{
    FMessageUntil = QDeadlineTimer::current().deadline() + kMessageMs;
    if (QLabel* label = FWidgets.TempoDisplay) {
        label->setText(text);
        label->setToolTip(why);
    }
    QTimer::singleShot(kMessageMs + 10, this, [this] { ShowTempo(); });
}

void TDeckController::SetSpeed(double speed)
{
    FSpeed = speed;
    FAligning = false;
    FSyncPending = false;
    FChannel->SetSpeed(speed);
    // The knob's nearest place; the top (32) would mean the song's own rate, so never above 33.
    const long top = std::lround(speed * FChannel->SamplesPerSec() * 120.0 / 100000.0) + 32;
    SetTop(FWidgets.FrequencyKnob, static_cast<int>(std::clamp(top, 33L, 152L)));
    ShowTempo();
}

void TDeckController::Bend(double bend)
{
    const double own = FChannel->SamplesPerSec();
    FChannel->SetSpeed(std::clamp(FSpeed * (1 + bend), 100.0 / own, kMaxKnobHz / own));
}

bool TDeckController::Keylock() const
{
    return FChannel->Keylock();
}

void TDeckController::SetKeylock(bool on)
{
    FChannel->SetKeylock(on);
}

bool TDeckController::StepTempo(double share)
{
    if (FEditFileName.empty())
        return false;
    const double speed = FSpeed + share;
    const double hz = std::round(speed * FChannel->SamplesPerSec());
    if (hz < kMinKnobHz || hz > kMaxKnobHz) {
        Say(QStringLiteral("at the end"),
            QString::asprintf("The frequency knob reaches %u to %u Hz; this step would need %.0f Hz.", kMinKnobHz,
                              kMaxKnobHz, hz));
        return false;
    }
    SetSpeed(speed);
    return true;
}

void TDeckController::Nudge(int direction, double share)
{
    if (FEditFileName.empty())
        return;
    FAligning = false;
    Bend(direction * share);
}

bool TDeckController::Sync()
{
    if (FEditFileName.empty()) {
        Say(QStringLiteral("no song"), QStringLiteral("Sync needs a song on this deck."));
        return false;
    }
    if (!FTempo || !FTempo->Steady()) {
        Say(FTempo ? QStringLiteral("no steady beat") : QStringLiteral("tempo not known"),
            FTempo ? QStringLiteral("Sync needs a steady beat on this deck.")
                   : QStringLiteral("Sync waits for this song's tempo: it is being found."));
        return false;
    }
    const std::optional<double> target = FOther ? FOther->PlayingBpm() : std::nullopt;
    if (!target) {
        Say(QStringLiteral("other: no tempo"),
            QStringLiteral("Sync needs a song with a steady, known tempo on the other deck."));
        return false;
    }
    // Half or twice the other tempo where that is nearer this song's own: 87 goes with 174.
    const double own = FTempo->At(SongSeconds()).Bpm;
    double best = *target;
    for (double m : {0.5, 2.0})
        if (std::abs(std::log(*target * m / own)) < std::abs(std::log(best / own)))
            best = *target * m;
    const double speed = best / own;
    const double hz = std::round(speed * FChannel->SamplesPerSec());
    if (hz < kMinKnobHz || hz > kMaxKnobHz) {
        Say(QStringLiteral("out of range"),
            QString::asprintf("Sync would need %.0f Hz (%.1f %% of the song's rate); the frequency knob reaches %u "
                              "to %u Hz.",
                              hz, hz * 100 / FChannel->SamplesPerSec(), kMinKnobHz, kMaxKnobHz));
        return false;
    }
    SetSpeed(speed);
    FMessageUntil = 0;
    ShowTempo();
    if (BeatLag()) {
        FAligning = true;
        FAlignTicks = 0;
    } else if (FChannel->State() != csPlaying) {
        FSyncPending = true; // held until Play
    }
    return true;
}

std::optional<double> TDeckController::BeatLag()
{
    if (!FOther || FChannel->State() != csPlaying || FOther->Channel()->State() != csPlaying)
        return std::nullopt;
    if (!FTempo || !FTempo->Steady() || !FOther->FTempo || !FOther->FTempo->Steady())
        return std::nullopt;
    // Both positions from one render of the mix: read this deck's again and retry when a render
    // came between.
    double mine = 0, theirs = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        mine = SongSeconds();
        theirs = FOther->SongSeconds();
        if (SongSeconds() == mine)
            break;
    }
    // Time since each deck's last beat, in seconds as heard.
    const auto sinceBeat = [](const TTempo& tempo, double at, double speed, double& period) {
        const TTempoSection& s = tempo.At(at);
        const double p = s.Period();
        period = p / speed;
        double since = std::fmod(at - s.FirstBeat, p);
        if (since < 0)
            since += p;
        return since / speed;
    };
    double myPeriod = 0, theirPeriod = 0;
    const double mySince = sinceBeat(*FTempo, mine, Speed(), myPeriod);
    const double theirSince = sinceBeat(*FOther->FTempo, theirs, FOther->Speed(), theirPeriod);
    // Beats of one deck meet beats of the other at the shorter of the two periods.
    const double period = std::min(myPeriod, theirPeriod);
    double lag = std::fmod(theirSince - mySince, period);
    if (lag >= period / 2)
        lag -= period;
    else if (lag < -period / 2)
        lag += period;
    return lag;
}

void TDeckController::AlignStep()
{
    const std::optional<double> lag = BeatLag();
    // Done within 2 ms; given up after ten seconds or when either deck stops.
    if (!lag || std::abs(*lag) < 0.002 || ++FAlignTicks > 10000 / kTimerMs) {
        EndAlign();
        return;
    }
    // Half the lag in one tick, never faster or slower than the nudge.
    const double bend = std::clamp(*lag * 0.5 / (kTimerMs / 1000.0), -kNudge * 2, kNudge * 2);
    Bend(bend);
}

void TDeckController::EndAlign()
{
    if (FAligning && !FEditFileName.empty())
        Bend(0);
    FAligning = false;
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

// ---- hot cues and loops ---------------------------------------------------------------------------

namespace {
std::atomic<bool> QuantizeOn{true};
} // namespace

void TDeckController::SetQuantize(bool on)
{
    QuantizeOn = on;
}

bool TDeckController::Quantize()
{
    return QuantizeOn;
}

int64_t TDeckController::PositionFrame()
{
    return FChannel->PositionFrame();
}

int64_t TDeckController::NearestBeat(int64_t frame) const
{
    const double rate = FChannel->SamplesPerSec();
    if (!SteadyBeat() || rate == 0)
        return frame;
    const double t = frame / rate;
    const TTempoSection& s = FTempo->At(t);
    const double k = std::round((t - s.FirstBeat) / s.Period());
    return std::llround((s.FirstBeat + k * s.Period()) * rate);
}

int64_t TDeckController::NextBeat(int64_t frame) const
{
    const double rate = FChannel->SamplesPerSec();
    if (!SteadyBeat() || rate == 0)
        return frame;
    const double t = frame / rate;
    const TTempoSection& s = FTempo->At(t);
    // A beat within half a frame of `frame` is that frame's own.
    const double k = std::ceil((t - s.FirstBeat) / s.Period() - 0.5 / (rate * s.Period()));
    return std::llround((s.FirstBeat + k * s.Period()) * rate);
}

int64_t TDeckController::BeatsFrom(int64_t frame, double beats) const
{
    const double rate = FChannel->SamplesPerSec();
    const double period = SteadyBeat() ? FTempo->At(frame / rate).Period() : 60.0 / kFallbackBpm;
    return frame + std::max<int64_t>(1, std::llround(beats * period * rate));
}

std::optional<int64_t> TDeckController::HotCue(int index) const
{
    if (index < 0 || index >= kHotCues || FHotCues[index] < 0)
        return std::nullopt;
    return FHotCues[index];
}

void TDeckController::HotCuePress(int index)
{
    if (HotCue(index))
        JumpToHotCue(index);
    else
        SetHotCue(index);
}

void TDeckController::SetHotCue(int index)
{
    if (FEditFileName.empty() || index < 0 || index >= kHotCues)
        return;
    const int64_t frame = PositionFrame();
    FHotCues[index] = Quantize() ? NearestBeat(frame) : frame;
    StoreHotCues();
}

void TDeckController::JumpToHotCue(int index)
{
    if (const std::optional<int64_t> cue = HotCue(index))
        JumpTo(*cue);
}

void TDeckController::JumpTo(int64_t frame)
{
    if (FEditFileName.empty())
        return;
    if (Looping() && (frame < FChannel->LoopStart() || frame >= FChannel->LoopEnd()))
        ExitLoop();
    FChannel->JumpTo(frame);
    if (FChannel->State() != csPlaying && FChannel->Frames() > 0)
        SetLeft(FWidgets.PositionKnob,
                static_cast<int>(FKnobMin + frame * KnobSpan() / std::max<int64_t>(FChannel->Frames(), 1)));
}

void TDeckController::DeleteHotCue(int index)
{
    if (!HotCue(index))
        return;
    FHotCues[index] = -1;
    StoreHotCues();
}

void TDeckController::LoadHotCues()
{
    FHotCues.fill(-1);
    if (FCueStore && !FEditFileName.empty()) {
        const THotCueStore::TCues kept = FCueStore->Lookup(FEditFileName, FChannel->SamplesPerSec());
        bool dropped = false;
        for (int i = 0; i < kHotCues; ++i) {
            if (kept.Frames[i] >= FChannel->Frames()) {
                // The file changed since (a shorter re-encoding, say).
                std::fprintf(stderr, "DuoDeck: hot cue %d of %s lies past the song's end and is dropped.\n", i + 1,
                             FEditFileName.c_str());
                dropped = true;
            } else {
                FHotCues[i] = kept.Frames[i];
            }
        }
        if (dropped) {
            StoreHotCues();
            Say(QStringLiteral("cue dropped"), QStringLiteral("A hot cue lay past the end of this song's file."));
            return;
        }
    }
    if (OnCuesChanged)
        OnCuesChanged();
}

void TDeckController::StoreHotCues()
{
    if (FCueStore && !FEditFileName.empty()) {
        THotCueStore::TCues cues;
        cues.Rate = FChannel->SamplesPerSec();
        cues.Frames = FHotCues;
        FCueStore->Store(FEditFileName, cues);
    }
    if (OnCuesChanged)
        OnCuesChanged();
}

bool TDeckController::Looping() const
{
    return FChannel->FrameLooping();
}

void TDeckController::BeatLoop(double beats)
{
    if (FEditFileName.empty())
        return;
    FLoopBeats = std::clamp(beats, kMinLoopBeats, kMaxLoopBeats);
    // A running loop keeps its start; a new one starts on the next beat, or here unquantized.
    int64_t start = Looping() ? FChannel->LoopStart() : PositionFrame();
    if (!Looping() && Quantize())
        start = NextBeat(start);
    if (!FChannel->SetFrameLoop(start, BeatsFrom(start, FLoopBeats)))
        SayLoopRefused();
    if (OnCuesChanged)
        OnCuesChanged();
}

void TDeckController::SayLoopRefused()
{
    Say(QStringLiteral("loop too short"),
        QString::asprintf("A loop is at least %u ms long, and within the song.", TMxDSMixerChannel::kMinLoopMs));
}

void TDeckController::ResizeLoop(double factor)
{
    const double before = FLoopBeats;
    FLoopBeats = std::clamp(FLoopBeats * factor, kMinLoopBeats, kMaxLoopBeats);
    if (!Looping())
        return;
    const int64_t start = FChannel->LoopStart();
    const int64_t length = FChannel->LoopEnd() - start;
    // A loop of whole grid beats keeps to the grid; one set by hand is halved or doubled as it is.
    const bool onGrid =
        BeatsFrom(start, std::round(length / double(BeatsFrom(start, 1) - start))) == FChannel->LoopEnd();
    const int64_t end =
        onGrid ? BeatsFrom(start, FLoopBeats) : start + std::max<int64_t>(1, std::llround(length * factor));
    if (!FChannel->SetFrameLoop(start, end)) {
        FLoopBeats = before;
        SayLoopRefused();
    }
    if (OnCuesChanged)
        OnCuesChanged();
}

void TDeckController::ExitLoop()
{
    FChannel->ClearFrameLoop();
    if (OnCuesChanged)
        OnCuesChanged();
}

void TDeckController::LoopIn()
{
    if (FEditFileName.empty())
        return;
    const int64_t frame = PositionFrame();
    FLoopIn = Quantize() ? NearestBeat(frame) : frame;
    if (OnCuesChanged)
        OnCuesChanged();
}

void TDeckController::LoopOut()
{
    if (FEditFileName.empty())
        return;
    if (!FLoopIn) {
        Say(QStringLiteral("loop in first"), QStringLiteral("Loop out ends the loop that loop in started."));
        return;
    }
    const int64_t frame = PositionFrame();
    const int64_t end = Quantize() ? NearestBeat(frame) : frame;
    if (end <= *FLoopIn) {
        Say(QStringLiteral("loop too short"), QStringLiteral("Loop out lies at or before loop in."));
        return;
    }
    if (!FChannel->SetFrameLoop(*FLoopIn, end))
        SayLoopRefused();
    if (OnCuesChanged)
        OnCuesChanged();
}
