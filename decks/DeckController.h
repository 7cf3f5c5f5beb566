// One deck: owns a mixer channel and its level analysis, turns the main window's knob gestures into
// channel calls, keeps the position knob in step with playback every 50 ms, and at the end of a
// song hands over to the playlist advance the main window assigns. Never shown.
// Beyond that it shows its song's playing tempo, and matches its tempo and beats to the other deck
// (Sync), in fine steps or by a nudge held for a moment. The knob's own drags keep their pixel
// arithmetic; the finer speeds are written to the channel in hertz and the knob image only goes to
// its nearest place, so a later drag of the knob starts from that place.
// UI thread only; every channel call takes the channel lock (waiting at most 250 ms).
#pragma once

#include "decks/Analysis.h"
#include "decks/HotCues.h"
#include "decks/Tempo.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QLabel;
class QPainter;
class QWidget;
class TTempoAnalyser;
class TMxDSMixer;
class TMxDSMixerChannel;

// The main-window controls a deck addresses. The anchors are the pointer coordinates inside a knob
// at the button press, kept by the main window.
struct TDeckWidgets {
    QWidget* PositionKnob = nullptr;
    QWidget* VolumeKnob = nullptr;
    QWidget* FrequencyKnob = nullptr;
    QWidget* Display = nullptr;
    const int* PositionAnchorX = nullptr;
    const int* VolumeAnchorY = nullptr;
    // The playing tempo and speed ("128.0  +2.4 %"), or why a tempo command did nothing.
    QLabel* TempoDisplay = nullptr;
};

class TDeckController : public QObject {
    Q_OBJECT
public:
    static constexpr int kTimerMs = 50;
    static constexpr uint32_t kColumns = 110;
    // Rows of the display a level can reach (a byte shifted right by 2), plus room for a pen of up
    // to four pixels: the rest of the display never changes, so a tick repaints only these.
    static constexpr int kLevelRows = (255 >> 2) + 1 + 4;

    ~TDeckController() override;

    void LoadAndPlay(const std::string& path);
    // Opens the song ready to play from its start, without playing it.
    void Load(const std::string& path);
    void Resume();
    void buttonPauseClick();
    void buttonStopClick();
    void SeekDrag(int x);
    void SeekDragEnd();
    void VolumeDrag(int y);
    void ApplyVolumeKnob();
    // The volume knob's top edge, from kVolumeTop (loudest) down to kVolumeBottom, and the volume,
    // hundredths of a dB, at each: the knob never reaches silence.
    static constexpr int kVolumeTop = 32, kVolumeBottom = 152;
    static constexpr int32_t VolumeAt(int top) { return (kVolumeTop - top) * 4000 / kVolumeBottom; }
    // The knob put at `top` (clamped) and the channel at its volume.
    void SetVolumeKnob(int top);
    // Hears every volume the knob gives the channel, after it is given.
    std::function<void()> OnVolumeKnob;
    void ApplyFrequencyKnob();
    // Draws slot 0 of the envelope with the painter's current pen; nothing without an analysis.
    void DrawLevels(QPainter& painter) const;
    // One 50 ms tick: envelope, display, volume mirror and position knob (run by Timer1).
    void Timer1Timer();

    // The playlist advance, run after the deck has handled the end of a song.
    std::function<void()> OnSongEnded;

    // ---- tempo ----
    // Speed steps and the nudge, as shares of the song's own rate.
    static constexpr double kFineStep = 0.001;
    static constexpr double kStep = 0.01;
    static constexpr double kNudge = 0.04;
    static constexpr double kFineNudge = 0.01;
    // The frequencies the knob reaches below its top (which means the song's own rate).
    static constexpr uint32_t kMinKnobHz = (33 - 32) * 100000 / 120;
    static constexpr uint32_t kMaxKnobHz = 100000;
    // How long a message replaces the tempo.
    static constexpr int kMessageMs = 3000;

    // Where songs' tempos come from; the deck asks for its song's first.
    void SetTempoSource(TTempoAnalyser* analyser);
    void SetOtherDeck(TDeckController* other) { FOther = other; }
    // The loaded song's tempo; none while it is being analysed or with nothing loaded.
    const std::optional<TTempo>& Tempo() const { return FTempo; }
    // The speed the deck is set to (1: the song's own rate), without a nudge or a beat correction.
    double Speed() const { return FSpeed; }
    // The channel frequency in Hz of that speed, to the nearest Hz.
    uint32_t SetHz() const;
    // The song's tempo where it plays, times Speed; none without a steady tempo.
    std::optional<double> PlayingBpm();
    QString TempoText();
    // One step of speed, as a share of the song's rate; false (and the display says why) when the
    // result would be beyond the knob.
    bool StepTempo(double share);
    // Plays `direction` (-1, 0 to end, +1) times `share` faster while held.
    void Nudge(int direction, double share);
    // Moves the loaded song's position by `ms` (negative: back), stopped there, as a hand on a
    // record would; SeekDragEnd lets it play on.
    void Scratch(int ms);
    // Sets this deck's speed so that its tempo is the other deck's (or half or twice it, whichever
    // is nearest the song's own rate), and when both play brings its beats onto the other's over
    // the next ticks. False, and the display says why, when it cannot.
    bool Sync();
    // Keylock: the speed changes the tempo only, the song keeps its key. Kept across songs.
    bool Keylock() const;
    void SetKeylock(bool on);
    // Whether Sync is still bringing the beats together.
    bool Aligning() const { return FAligning; }
    // Seconds by which this deck's beats come after the other deck's (negative: before); none
    // unless both play with a steady tempo.
    std::optional<double> BeatLag();

    // ---- hot cues and loops ----
    // Frames are the channel's (its SamplesPerSec). With quantize on (for every deck; on at start)
    // a cue is set on the nearest beat and a beat loop starts on the next one; a song without a
    // steady beat (or not yet analysed) is served unquantized, its loops measured in beats of
    // kFallbackBpm.
    static constexpr int kHotCues = THotCueStore::kCues;
    static constexpr double kFallbackBpm = 120;
    static constexpr double kMinLoopBeats = 1.0 / 8, kMaxLoopBeats = 32;
    static void SetQuantize(bool on);
    static bool Quantize();
    // Where songs' cues are kept across runs; none: the cues last while the song is loaded.
    void SetCueStore(THotCueStore* store) { FCueStore = store; }
    std::optional<int64_t> HotCue(int index) const;
    // Sets the cue at the playing position when it is empty, else jumps to it.
    void HotCuePress(int index);
    void SetHotCue(int index);
    // While playing the jump is heard within a few ms and lands on the cue's frame exactly; stopped,
    // the song starts there at the next Play.
    void JumpToHotCue(int index);
    void DeleteHotCue(int index);
    // Plays on from `frame` as a hot cue's jump does; a place outside the running loop leaves it.
    void JumpTo(int64_t frame);
    // A loop of `beats` (the size kept for the next one too); halve and double change the size and
    // a running loop with it; exit plays on from the loop. Loop in and out set a loop by hand.
    void BeatLoop(double beats);
    void HalveLoop() { ResizeLoop(0.5); }
    void DoubleLoop() { ResizeLoop(2.0); }
    void ExitLoop();
    void LoopIn();
    void LoopOut();
    bool Looping() const;
    double LoopBeats() const { return FLoopBeats; }
    std::optional<int64_t> LoopInFrame() const { return FLoopIn; }
    // The song frame heard now, as the channel's cursor has it.
    int64_t PositionFrame();
    // The beat nearest to `frame` and the first at or after it, as frames; `frame` itself without a
    // steady beat.
    int64_t NearestBeat(int64_t frame) const;
    int64_t NextBeat(int64_t frame) const;
    // Frames of `beats` beats from `frame` on, along the grid (kFallbackBpm without one).
    int64_t BeatsFrom(int64_t frame, double beats) const;
    // Called when the hot cues or the loop change (the waveform window redraws).
    std::function<void()> OnCuesChanged;

    TMxDSMixerChannel* Channel() const { return FChannel.get(); }
    // Songs at one loudness: each plays at the reference loudness once measured (its trim adds to
    // that); off, every song plays as it is. For every deck; on at start.
    static void SetAutoGain(bool on);
    static bool AutoGain();
    static constexpr double kReferenceLufs = -14;
    // The gain, dB, that brings a song of `loudness` to the reference: a cut as deep as needed, a
    // boost only until its true peak reaches -1 dBTP (the limiter's ceiling is above that).
    static double LoudnessMatch(const TLoudness& loudness);
    // The headphones switch: the deck heard in the headphones before its volume, across songs.
    bool Cue() const;
    void SetCue(bool on);
    const TAnalysis* Analysis() const { return FAnalysis.get(); }
    QTimer& Timer1() { return FTimer1; }
    const QString& Caption() const { return FCaption; }
    int KnobMin() const { return FKnobMin; }
    int KnobMax() const { return FKnobMax; }
    int KnobSpan() const { return FKnobMax - FKnobMin; }
    // The hidden window's state holders: the loaded file's name, whether the controls are enabled,
    // and the volume slider that mirrors the channel volume (position = -volume - 10000).
    const std::string& edtFileName() const { return FEditFileName; }
    bool pnlControlEnabled() const { return FPanelEnabled; }
    int trackVolume() const { return FTrackVolume; }

protected:
    TDeckController(QObject* owner, TMxDSMixer* mixer, const TDeckWidgets& widgets, QString caption, int knobMin,
                    int knobMax);

private:
    void FormCreate();
    void FormDestroy();
    void ShowFrequencyKnob();
    void btnBrowseClick();
    void SongEnded();
    void trackVolumeChange(int position);
    double SongSeconds();
    // Speed set by a tempo command: the channel at that speed, the knob image at its nearest place.
    void SetSpeed(double speed);
    // The channel at Speed times (1 + bend): a nudge or a beat correction, the knob left alone.
    void Bend(double bend);
    void EndAlign();
    void AlignStep();
    void ShowTempo();
    // The loaded song's loudness match, as auto-gain and the analysis now have it.
    void ApplyLoudness();
    void Say(const QString& text, const QString& why);
    void ResizeLoop(double factor);
    void SayLoopRefused();
    void LoadHotCues();
    void StoreHotCues();
    bool SteadyBeat() const { return FTempo && FTempo->Steady(); }
    // Plays the song already loaded from where it stands, keeping a Sync made while it was stopped.
    void StartPlaying();
    // Puts a stopped deck's start where its beats meet the other deck's as heard now.
    void StartOnTheBeat();

    TMxDSMixer* FMixer;
    std::unique_ptr<TMxDSMixerChannel> FChannel;
    std::unique_ptr<TAnalysis> FAnalysis;
    TDeckWidgets FWidgets;
    QString FCaption;
    int FKnobMin, FKnobMax;
    QTimer FTimer1;
    std::string FOpenDialogFileName; // carries the path from LoadAndPlay to the load step
    std::string FEditFileName;
    bool FPanelEnabled = false;
    int FTrackVolume = -10000;

    TTempoAnalyser* FAnalyser = nullptr;
    TDeckController* FOther = nullptr;
    std::optional<TTempo> FTempo;
    double FSpeed = 1.0; // a ratio to the song's own rate; 1 after a load
    bool FAligning = false;
    int FAlignTicks = 0;
    qint64 FMessageUntil = 0;  // ms of the monotonic clock
    bool FSyncPending = false; // Sync made while stopped: Play brings the beats onto the other deck's

    THotCueStore* FCueStore = nullptr;
    std::array<int64_t, kHotCues> FHotCues{-1, -1, -1, -1, -1, -1, -1, -1};
    double FLoopBeats = 4;
    std::optional<int64_t> FLoopIn;
};
