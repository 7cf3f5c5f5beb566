// The main window: a borderless window shaped by its skin, carrying the deck panel (knobs, level
// displays, transport, recording and window buttons), and the state shared at unit level with the
// playlist window and the deck controllers. UI thread only.
#pragma once

#include "app/Settings.h"
#include "playlist/Playlist.h"

#include <QByteArrayList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <array>

#include <cstdint>
#include <functional>
#include <memory>

class QDialog;
class QFileDialog;
class QLabel;
class TAudio;
class TAudioMixer;
class TAudioRecord;
class TDeckController;
class TFormChannel;
class TFormChannel2;
class TFlatListBox;
class TImage;
class TImgBtn;
class TMixerStrip;
class TWaveformWindow;
class THotCueStore;
class TMxDSMixer;
class TActionTarget;
class TControllerHost;
enum class TKeyAction;
enum class TKeyTarget;
class TPaintBox;
class TTempoAnalyser;

// A knob's drag state: set by a press on it; the pointer coordinate inside the knob at the press
// (Y for knobs that move vertically, X for the others).
struct TKnobDrag {
    bool Dragging = false;
    int Anchor = 0;
};

class TFormMain : public QWidget {
    Q_OBJECT
public:
    // `exeFolder` (bytes, as the file system keeps the name) empty: the folder of the executable.
    // Tests give their own.
    explicit TFormMain(const QByteArray& exeFolder = {}, QWidget* parent = nullptr);
    ~TFormMain() override;

    // Design geometry.
    static constexpr int DesignLeft = 205;
    static constexpr int DesignTop = 128;
    static constexpr int ClientWidth = 413;
    static constexpr int ClientHeight = 284;
    // The playlist window hangs this far below the main window's top, at the same left edge.
    static constexpr int ListOffset = 228;

    // A later copy of the program asked this one to show itself: restore both windows when
    // minimised, otherwise bring them to the front.
    void RestoreApplication();

    TMxDSMixer* OutputMixer() const { return FMixer; }

    TImage* ImgForm = nullptr;

    // Knobs: their position is their value (Top for vertical knobs, Left for horizontal ones).
    QLabel* ImgVolumeLeft = nullptr;
    QLabel* ImgVolumeRight = nullptr;
    QLabel* ImgFrequenceLeft = nullptr;
    QLabel* ImgFrequenceRight = nullptr;
    QLabel* ImgJinduLeft = nullptr;  // left song position
    QLabel* ImgJinduRight = nullptr; // right song position
    QLabel* ImgVolumeBoth = nullptr; // crossfader
    TKnobDrag VolumeLeftDrag, VolumeRightDrag, FrequenceLeftDrag, FrequenceRightDrag, JinduLeftDrag, JinduRightDrag,
        VolumeBothDrag;

    // Level displays, drawn by the deck controllers with the pen set at creation.
    TPaintBox* PaintBoxLeft = nullptr;
    TPaintBox* PaintBoxRight = nullptr;

    // Transport, playlist and window buttons.
    TImgBtn* BtnPlayLeft = nullptr;
    TImgBtn* BtnPauseLeft = nullptr;
    TImgBtn* BtnStopLeft = nullptr;
    TImgBtn* BtnLoopLeft = nullptr;
    TImgBtn* BtnPlayRight = nullptr;
    TImgBtn* BtnPauseRight = nullptr;
    TImgBtn* btnStopRight = nullptr;
    TImgBtn* BtnLoopRight = nullptr;
    TImgBtn* BtnPlayBoth = nullptr;
    TImgBtn* BtnPauseBoth = nullptr;
    TImgBtn* BtnStopBoth = nullptr;
    TImgBtn* btnAddLeft = nullptr;
    TImgBtn* BtnAddRight = nullptr;
    // Beat matching: each deck's Sync button and its readout of the playing tempo and speed.
    TImgBtn* BtnSyncLeft = nullptr;
    TImgBtn* BtnSyncRight = nullptr;
    QLabel* LabelTempoLeft = nullptr;
    QLabel* LabelTempoRight = nullptr;
    // Each deck's keylock switch, at the outer end of its tempo readout.
    TImgBtn* BtnKeylockLeft = nullptr;
    TImgBtn* BtnKeylockRight = nullptr;
    // Finds the tempo of the decks' songs first and of the playlists' songs in the background.
    TTempoAnalyser* TempoAnalyser = nullptr;
    TImgBtn* BtnMin = nullptr;
    TImgBtn* BtnClose = nullptr;
    TImgBtn* BtnHelp = nullptr;
    TImgBtn* BtnRecord = nullptr;
    TImgBtn* BtnPause = nullptr;
    TImgBtn* BtnSave = nullptr;
    // Headphones (Headphones.cpp): each deck's cue switch, lit while on, and the output's dialog
    // (the window's right-click menu); tests run the dialog through HeadphonesDialogExecute.
    TImgBtn* BtnCueLeft = nullptr;
    TImgBtn* BtnCueRight = nullptr;
    void ShowHeadphonesDialog();
    std::function<void(QDialog* dialog)> HeadphonesDialogExecute;
    const THeadphonesSettings& Headphones() const { return FHeadphones; }
    // The mixer beyond the Parts (MixerControls.cpp): the crossfader's curve, songs at one loudness
    // and the limiter, kept in the settings file and set in a dialog of the right-click menu; tests
    // run the dialog through MixerDialogExecute.
    void ShowMixerDialog();
    std::function<void(QDialog* dialog)> MixerDialogExecute;
    const TMixSettings& MixSettings() const { return FMixSettings; }
    // Applies the settings at once and keeps them.
    void SetMixSettings(const TMixSettings& settings);
    // Each deck's band knobs, kills and gain, and the limiter's light, in a strip docked on top of
    // this window (MixerStrip.h); it moves, hides and shows with this window.
    TMixerStrip* MixerStrip = nullptr;
    // Each deck's waveforms, hot cue pads and loop controls, in a window docked at the right of this
    // one and of the mixer strip (WaveformWindow.h); it moves, hides and shows with this window.
    TWaveformWindow* Waveforms = nullptr;
    // Whether it shows with this window (the right-click menu's "Waveforms").
    bool WaveformsWanted = true;
    void ShowWaveforms(bool on);
    // The decks' hot cues, kept per song across runs in the data folder.
    std::unique_ptr<THotCueStore> HotCues;
    // Never visible: stores of the looks that handlers copy into visible buttons.
    TImgBtn* ImgBtn1 = nullptr; // Picture: loop off; PicUp: loop on
    TImgBtn* ImgBtn2 = nullptr; // Pic: recording; PicDown: not recording
    TImgBtn* ImgBtn3 = nullptr; // Pic: recording paused; PicDown: recording runs

    // Playlists (AddSongs.cpp): the add buttons and their file dialog, created at the first add.
    QFileDialog* OpenDialog1 = nullptr;
    // Shows the dialog and returns the chosen files, none when cancelled; tests answer it instead.
    std::function<QStringList(QFileDialog* dialog)> OpenDialog1Execute;
    void btnAddLeftClick();
    void BtnAddRightClick();

    // Deck panel: start the deck's song (resume, or load the first selected existing entry).
    void PlayLeftDeck();
    void PlayRightDeck();

    // Mix recording (RecordingControls.cpp).
    void ToggleRecording();
    void BtnPauseClick();
    void BtnSaveClick();
    std::unique_ptr<TAudioRecord> AudioRecord1;
    std::unique_ptr<TAudio> Audio1;
    std::unique_ptr<TAudioMixer> Mixer;
    QFileDialog* SaveDialog1 = nullptr;
    // Tests answer the save dialog here: the chosen names, empty for Cancel.
    std::function<QStringList(QFileDialog* dialog)> SaveDialog1Execute;

    // Window shell: runs before the close sequence stops a running recording (set by the
    // recording controls).
    std::function<void()> OnCloseStopRecording;
    void BtnMinClick();
    void BtnCloseClick();
    void BtnHelpClick();

    // The key table's action for `event` from either window; false for a key it does not hold.
    bool KeyEvent(QKeyEvent* event);
    // Ends what a held key does (a nudge) when the windows lose the keyboard.
    void ReleaseHeldKeys();
    // One action of the key table, from a key or a controller: `amount` as the table's, `repeat`
    // for a key held down; Release ends a held action (the nudge).
    void Perform(TKeyTarget target, TKeyAction action, double amount, bool repeat = false);
    void Release(TKeyTarget target, TKeyAction action);
    // A knob's place, 0 (bottom, left, cut) .. 1, for a controller's absolute control; whether an
    // action's state is on, for its light.
    void SetPlace(TKeyTarget target, TKeyAction action, double place);
    double Place(TKeyTarget target, TKeyAction action);
    bool Lit(TKeyTarget target, TKeyAction action);

    // Controllers over MIDI (Controllers.cpp), their bindings kept in the data folder, and the
    // dialog that learns them (in the right-click menu).
    TControllerHost* Midi() const { return FMidi.get(); }
    void ShowControllersDialog();
    std::function<void(QDialog* dialog)> ControllersDialogExecute;

protected:
    void showEvent(QShowEvent* event) override;
    // Window shell (WindowShell.cpp): dragging by the bare surface, and the close sequence.
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void changeEvent(QEvent* event) override;
    // Mouse handling of the seven knobs, and the wheel over the frequency knobs.
    bool eventFilter(QObject* watched, QEvent* event) override;
    // The keys of KeyTable.

private:
    // One deck's view of the panel and of the unit-level playlist state.
    struct TDeckSide {
        TDeckController* Deck;
        QLabel* PositionKnob;
        int KnobStart; // Left of the position knob at the start of its track
        TPlaylist List;
        bool& Loop;
    };
    TDeckSide LeftSide();
    TDeckSide RightSide();

    void FormCreate();
    void FormShow();
    void CreateControls();
    // Playlists (AddSongs.cpp).
    void AddSongs(bool left);
    void FillPlaylistBoxes();
    // Each deck's lists with its box in the playlist window (no box while there is no such window).
    TPlaylist LeftPlaylist() const;
    TPlaylist RightPlaylist() const;

    // Mix recording (RecordingControls.cpp).
    void CreateRecorder();
    void RecordingSetUp();
    // Record button's look and hint, and the Recording flag.
    void ShowRecording(bool on);

    // Window shell (WindowShell.cpp).
    void CreateShell();
    void FollowPlaylistWindow();
    // Minimises or restores the other window as `changed` was; a restored pair stands at its offset.
    void FollowWindowState(QWidget* changed, Qt::WindowStates old);
    bool ShellEvent(QObject* watched, QEvent* event);
    void DragPress(QPoint p);
    void DragMove(QPoint p, bool withList);
    void SurfaceMouse(QMouseEvent* event);
    void CloseSequence();
    TKnobDrag FDrag; // the window's own drag, by its surface or its skin
    QPoint FDragAt;
    bool FClosed = false;

    // Deck panel (DeckPanel.cpp).
    void CreateDecks();
    void PlayDeck(const TDeckSide& side);
    // The playlist advance at the end of a song.
    void AdvancePlaylist(const TDeckSide& side);
    // Loads and plays the song; a failure names the file, since the user may not know which entry
    // the deck took.
    void LoadDeck(const TDeckSide& side, const QByteArray& path);
    // Moves the index on to the next entry whose file exists and returns the last path tried.
    QByteArray NextExisting(const TDeckSide& side, bool select);
    void StopDeck(const TDeckSide& side);
    void ToggleLoop(TImgBtn* button, bool& loop);
    void ToggleKeylock(TImgBtn* button, TDeckController* deck);
    void MoveCrossfader(int x);
    void MoveFrequencyKnob(QLabel* knob, const TKnobDrag& drag, TDeckController* deck, int y);
    // Wheel notches over a frequency knob: one speed step each, down (towards the knob's faster end)
    // for faster.
    // Knobs: the image, its drag state, and whether it moves up and down.
    struct TKnob {
        QLabel* Image;
        TKnobDrag* Drag;
        bool Vertical;
    };
    const TKnob* KnobOf(const QObject* object);
    // Moves `knob` as a drag to `coordinate` (knob pixels from the anchor) does.
    void DragKnob(QLabel* knob, int coordinate);
    // Moves `knob` by `pixels`, as a drag by that much and its release do.
    void StepKnob(QLabel* knob, int pixels);
    // One notch of the wheel over a knob: a step, with Shift a fine one. False over anything else.
    bool WheelKnob(QLabel* knob, QWheelEvent* event);
    void RouteKeys();
    // The first selected entry of the side's playlist, or with none selected the first entry; empty
    // without one.
    QByteArray SelectedEntry(const TDeckSide& side);
    // Asks for the tempo of every playlist song not asked for yet (added or dropped since).
    void QueuePlaylistTempos();
    QSet<QByteArray> FTempoQueued;
    int FWheelRest = 0; // eighths of a degree short of a whole notch
    std::array<TKnob, 7> FKnobs{};

    // Headphones (Headphones.cpp).
    void CreateHeadphones();
    void ApplyHeadphones();
    void ToggleCue(TImgBtn* button, TDeckController* deck);
    THeadphonesSettings FHeadphones;
    bool FSaidNoHeadphones = false;
    // The mixer (MixerControls.cpp).
    void CreateMixerControls();
    void ApplyMixSettings();
    // The decks' crossfader shares for the crossfader at `left` under a DJ's curve (all 1 under the
    // original one, which moves the volume knobs instead).
    void ApplyCrossfaderCurve(int left);
    void CreateMixerStrip();
    void DockMixerStrip();
    void CreateWaveforms();
    TMixSettings FMixSettings;
    bool FNudging[2] = {false, false}; // a nudge key held, left and right deck
    // A jog wheel, left and right deck: touched (scratching), the deck playing when touched, and the
    // ticks that the nudge's end waits for (it ends once the wheel rests).
    bool FJogTouched[2] = {false, false};
    bool FJogWasPlaying[2] = {false, false};
    unsigned FJogTicks[2] = {0, 0};
    QObject* FKeyRouter = nullptr; // sees every key of the application (Keys.cpp)
    // Before the decks, whose voices the controllers reach from their own threads.
    void CreateControllers();
    void FreeControllers();
    std::unique_ptr<TActionTarget> FMidiTarget;
    std::unique_ptr<TControllerHost> FMidi; // none where the program is built without controllers

    QByteArray FExeFolderOverride;
    bool FShown = false;
    TMxDSMixer* FMixer = nullptr;
};

// State shared at unit level, alive for the whole run.
extern TFormMain* FormMain;
// The left and right deck controllers, owned by the main window.
extern TFormChannel* FormChannel;
extern TFormChannel2* FormChannel2;
// The folder of the playlist files and the temporary recording, without a trailing separator: the
// executable's folder, or for an installed program the user's data folder (DataFolder). Bytes, as
// the file system keeps the name: it need not be UTF-8.
extern QByteArray ExeFolder;
// The decks' playlists: full paths and display names, entry i of each pair describing one song.
extern QByteArrayList LeftPaths, RightPaths, LeftNames, RightNames;
// Each deck's current playlist entry.
extern int32_t LeftIndex, RightIndex;
// Each deck's playlist-repeat flag.
extern bool LeftLoop, RightLoop;
// State of the mix recording.
extern bool Recording, RecordPaused;

// File names of the playlists in ExeFolder.
inline constexpr const char* LeftPathsFile = "FileListLeft.ini";
inline constexpr const char* RightPathsFile = "FileListRight.ini";
inline constexpr const char* LeftNamesFile = "Listbox1.ini";
inline constexpr const char* RightNamesFile = "Listbox2.ini";
// The recording in progress, and the help document shipped beside the executable.
inline constexpr const char* TemporaryRecordingFile = "tem.Mp3";
inline constexpr const char* HelpFile = "help.html";

// ExeFolder + "/" + name.
QByteArray InExeFolder(const char* name);
// The folder the executable itself is in.
QByteArray ProgramFolder();
