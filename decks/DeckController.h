// One deck: owns a mixer channel and its level analysis, turns the main window's knob gestures into
// channel calls, keeps the position knob in step with playback every 50 ms, and at the end of a
// song hands over to the playlist advance the main window assigns. Never shown.
// UI thread only; every channel call takes the channel lock (waiting at most 250 ms).
#pragma once

#include "decks/Analysis.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>

class QPainter;
class QWidget;
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
    void Resume();
    void buttonPauseClick();
    void buttonStopClick();
    void SeekDrag(int x);
    void SeekDragEnd();
    void VolumeDrag(int y);
    void ApplyVolumeKnob();
    void ApplyFrequencyKnob();
    // Draws slot 0 of the envelope with the painter's current pen; nothing without an analysis.
    void DrawLevels(QPainter& painter) const;
    // One 50 ms tick: envelope, display, volume mirror and position knob (run by Timer1).
    void Timer1Timer();

    // The playlist advance, run after the deck has handled the end of a song.
    std::function<void()> OnSongEnded;

    TMxDSMixerChannel* Channel() const { return FChannel.get(); }
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
    void btnBrowseClick();
    void SongEnded();
    void trackVolumeChange(int position);

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
};
