#include "app/Unit1.h"

#include "app/DataFolder.h"

#include "app/ListFile.h"
#include "app/MixerStrip.h"
#include "app/WaveformWindow.h"
#include "decks/ControllerHook.h"
#include "decks/HotCues.h"
#include "decks/unitChannel.h"
#include "decks/unitChannel2.h"
#include "record/AMixer.h"
#include "record/Audio.h"
#include "record/AudioRecord.h"
#include "assets/Skin.h"
#include "mixer/MxDSMixer.h"
#include "playlist/UnitList.h"
#include "widgets/Image.h"
#include "widgets/ImgBtn.h"
#include "widgets/PaintBox.h"
#include "platform/kernel/Kernel.h"

#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPalette>
#include <QPixmap>
#include <QShowEvent>
#include <QTimer>

#include <cstdio>
#include <tuple>

TFormMain* FormMain = nullptr;
QByteArray ExeFolder;
QByteArrayList LeftPaths, RightPaths, LeftNames, RightNames;
int32_t LeftIndex = 0, RightIndex = 0;
bool LeftLoop = false, RightLoop = false;
bool Recording = false, RecordPaused = false;

QByteArray InExeFolder(const char* name)
{
    return ExeFolder + "/" + name;
}

QByteArray ProgramFolder()
{
    QByteArray folder = QByteArray::fromStdString(ExecutableFolder());
    return folder.isEmpty() ? QFile::encodeName(QCoreApplication::applicationDirPath()) : folder;
}

namespace {

QPixmap Picture(const char* path)
{
    return QPixmap::fromImage(artwork::LoadForScreen(path));
}

// A knob: a picture stretched over its rectangle, its transparent parts showing the skin.
QLabel* Knob(QWidget* owner, const char* name, QRect geometry, const char* hint, const char* picture)
{
    auto* knob = new QLabel(owner);
    knob->setObjectName(name);
    knob->setGeometry(geometry);
    knob->setScaledContents(true);
    knob->setPixmap(Picture(picture));
    if (hint)
        knob->setToolTip(hint);
    return knob;
}

// An image button with stretch and transparency; Picture and Pic show `normal`.
TImgBtn* Button(QWidget* owner, const char* name, QRect geometry, const char* hint, const QPixmap& normal,
                const QPixmap& hover, const QPixmap& down)
{
    auto* button = new TImgBtn(owner);
    button->setObjectName(name);
    button->setGeometry(geometry);
    button->SetStretch(true);
    button->SetTransparent(true);
    if (hint)
        button->setToolTip(hint);
    button->SetPicture(normal);
    button->SetPic(normal);
    button->SetPicUp(hover);
    button->SetPicDown(down);
    return button;
}

TImgBtn* Button(QWidget* owner, const char* name, QRect geometry, const char* hint, const artwork::TButtonLooks& looks)
{
    return Button(owner, name, geometry, hint, Picture(looks.Normal), Picture(looks.Hover), Picture(looks.Down));
}

// A deck's tempo readout: text in the deck's colour on the skin's dark well.
QLabel* TempoReadout(QWidget* owner, const char* name, QRect geometry, const QColor& colour)
{
    auto* label = new QLabel(owner);
    label->setObjectName(name);
    label->setGeometry(geometry);
    label->setAlignment(Qt::AlignCenter);
    QFont font("DejaVu Sans Condensed");
    // 8 pixels, so that the longest message ("no steady beat") fits beside the keylock switch.
    font.setPixelSize(8);
    font.setBold(true);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    return label;
}

} // namespace

TFormMain::TFormMain(const QByteArray& exeFolder, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), FExeFolderOverride(exeFolder)
{
    FormMain = this;
    LeftIndex = RightIndex = 0;
    LeftLoop = RightLoop = false;
    Recording = RecordPaused = false;

    setObjectName("FormMain");
    setWindowTitle("DuoDeck");
    setFixedSize(ClientWidth, ClientHeight);
    move(DesignLeft, DesignTop);
    CreateControls();
    btnAddLeft->OnClick = [this](QObject*) { btnAddLeftClick(); };
    BtnAddRight->OnClick = [this](QObject*) { BtnAddRightClick(); };
    FormCreate();
    CreateShell();
}

TFormMain::~TFormMain()
{
    // First: the windows that hide while this one goes would reach it through the key router.
    delete FKeyRouter;
    FKeyRouter = nullptr;
    FreeControllers();
    // The decks free their channels before the mixer goes (it would free channels still listed).
    delete FormChannel;
    FormChannel = nullptr;
    delete FormChannel2;
    FormChannel2 = nullptr;
    if (FormMain == this)
        FormMain = nullptr;
}

void TFormMain::CreateControls()
{
    ImgForm = new TImage(this);
    ImgForm->setObjectName("ImgForm");
    ImgForm->move(0, 0);

    // Knobs at their design positions, which are also their start values.
    ImgVolumeLeft = Knob(this, "ImgVolumeLeft", {21, 32, 15, 10}, "Left song's volume", artwork::KnobVolume);
    ImgVolumeRight = Knob(this, "ImgVolumeRight", {357, 32, 15, 10}, "Right song's volume", artwork::KnobVolume);
    ImgFrequenceLeft =
        Knob(this, "ImgFrequenceLeft", {45, 88, 15, 10}, "Left song's Frequency", artwork::KnobFrequency);
    ImgFrequenceRight =
        Knob(this, "ImgFrequenceRight", {333, 88, 15, 10}, "Right song's frequency", artwork::KnobFrequency);
    ImgJinduLeft = Knob(this, "ImgJinduLeft", {24, 172, 14, 10}, nullptr, artwork::KnobPosition);
    ImgJinduRight = Knob(this, "ImgJinduRight", {232, 172, 14, 10}, nullptr, artwork::KnobPosition);
    ImgVolumeBoth = Knob(this, "ImgVolumeBoth", {192, 88, 9, 20}, "Adjust volume between the left and the right songs",
                         artwork::KnobCrossfader);

    PaintBoxLeft = new TPaintBox(this);
    PaintBoxLeft->setObjectName("PaintBoxLeft");
    PaintBoxLeft->setGeometry(74, 64, 75, 105);
    PaintBoxRight = new TPaintBox(this);
    PaintBoxRight->setObjectName("PaintBoxRight");
    PaintBoxRight->setGeometry(249, 64, 75, 105);

    // The loop buttons' looks come from ImgBtn1: loop off as Picture, loop on as PicUp.
    const QPixmap loopOff = Picture(artwork::LoopOff);
    const QPixmap loopOn = Picture(artwork::LoopOn);
    const QPixmap loopDown = Picture(artwork::LoopDown);
    ImgBtn1 = Button(this, "ImgBtn1", {184, 160, 17, 17}, nullptr, loopOff, loopOn, loopDown);
    ImgBtn1->hide();

    BtnPlayLeft = Button(this, "BtnPlayLeft", {96, 18, 8, 7}, "Play left", artwork::BtnPlay);
    BtnPauseLeft = Button(this, "BtnPauseLeft", {112, 16, 12, 12}, "Pause Left", artwork::BtnPause);
    BtnStopLeft = Button(this, "BtnStopLeft", {128, 17, 10, 10}, "Stop left", artwork::BtnStop);
    BtnLoopLeft = Button(this, "BtnLoopLeft", {144, 17, 10, 10}, "Loop left", loopOff, loopOn, loopDown);
    BtnPlayRight = Button(this, "BtnPlayRight", {264, 18, 8, 8}, "Play right", artwork::BtnPlay);
    BtnPauseRight = Button(this, "BtnPauseRight", {280, 16, 12, 12}, "Pause  right", artwork::BtnPause);
    btnStopRight = Button(this, "btnStopRight", {296, 17, 10, 10}, "Stop right", artwork::BtnStop);
    BtnLoopRight = Button(this, "BtnLoopRight", {312, 17, 10, 10}, "Loop right", loopOff, loopOn, loopDown);
    BtnPlayBoth = Button(this, "BtnPlayBoth", {168, 118, 8, 8}, "Play both songs", artwork::BtnPlay);
    BtnPauseBoth = Button(this, "BtnPauseBoth", {192, 116, 12, 12}, "Pause both songs", artwork::BtnPause);
    BtnStopBoth = Button(this, "BtnStopBoth", {216, 117, 10, 10}, "Stop both songs", artwork::BtnStop);
    btnAddLeft = Button(this, "btnAddLeft", {75, 18, 10, 10}, "Add songs left", artwork::BtnAdd);
    BtnAddRight = Button(this, "BtnAddRight", {243, 18, 10, 10}, "Add songs right", artwork::BtnAdd);

    // Beat matching, on each deck's title row and in the readout under it.
    BtnSyncLeft = Button(this, "BtnSyncLeft", {125, 37, 24, 10},
                         "Sync the left song's tempo and beats to the right one's (Z)", artwork::BtnSync);
    BtnSyncRight = Button(this, "BtnSyncRight", {249, 37, 24, 10},
                          "Sync the right song's tempo and beats to the left one's (M)", artwork::BtnSync);
    LabelTempoLeft = TempoReadout(this, "LabelTempoLeft", {86, 50, 63, 10}, QColor(255, 154, 31));
    LabelTempoRight = TempoReadout(this, "LabelTempoRight", {249, 50, 63, 10}, QColor(39, 196, 255));
    const QPixmap keylockOff = Picture(artwork::KeylockOff);
    const QPixmap keylockOn = Picture(artwork::KeylockOn);
    const QPixmap keylockDown = Picture(artwork::KeylockDown);
    BtnKeylockLeft =
        Button(this, "BtnKeylockLeft", {75, 50, 10, 10}, "Keylock left: the speed changes the tempo, the key stays (X)",
               keylockOff, keylockOn, keylockDown);
    BtnKeylockRight =
        Button(this, "BtnKeylockRight", {313, 50, 10, 10},
               "Keylock right: the speed changes the tempo, the key stays (,)", keylockOff, keylockOn, keylockDown);

    BtnMin = Button(this, "BtnMin", {355, 11, 14, 14}, "Min", artwork::BtnMin);
    BtnClose = Button(this, "BtnClose", {368, 11, 14, 14}, "Close", artwork::BtnClose);
    BtnHelp = Button(this, "BtnHelp", {232, 188, 60, 25}, "Help", artwork::BtnHelp);

    // Record and Pause show one look in every state; their handlers swap in the looks that
    // ImgBtn2 and ImgBtn3 store.
    const QPixmap recordIdle = Picture(artwork::RecordIdle);
    const QPixmap recordActive = Picture(artwork::RecordActive);
    const QPixmap pauseRunning = Picture(artwork::RecPauseRunning);
    const QPixmap pausePaused = Picture(artwork::RecPausePaused);
    ImgBtn2 = Button(this, "ImgBtn2", {264, 96, 49, 41}, nullptr, recordActive, recordActive, recordIdle);
    ImgBtn2->hide();
    ImgBtn3 = Button(this, "ImgBtn3", {88, 96, 49, 49}, nullptr, pausePaused, pausePaused, pauseRunning);
    ImgBtn3->hide();
    BtnRecord = Button(this, "BtnRecord", {40, 188, 60, 25}, "Record", recordIdle, recordIdle, recordIdle);
    BtnPause =
        Button(this, "BtnPause", {104, 188, 60, 25}, "Pause Recording", pauseRunning, pauseRunning, pauseRunning);
    BtnSave = Button(this, "BtnSave", {168, 188, 60, 25}, "Save", artwork::BtnSave);
}

void TFormMain::FormCreate()
{
    // 1. No border (window flags above); Qt paints double-buffered.
    // 2. The skin sizes ImgForm and shapes the window.
    const QImage skin = artwork::Load(artwork::SkinMain);
    ImgForm->SetPicture(artwork::LoadForScreen(artwork::SkinMain));
    if (const auto region = CreateSkinRegion(skin))
        setMask(*region);
    else
        clearMask();

    // 3.-5. The playlists. A missing file is an empty list.
    ExeFolder = FExeFolderOverride;
    if (ExeFolder.isEmpty()) {
        std::string problem;
        ExeFolder = DataFolder(ProgramFolder(), &problem);
        // The program plays on; the user learns now, not at Close, that the lists will be lost.
        if (!problem.empty()) {
            std::fprintf(stderr, "DuoDeck: %s\n", problem.c_str());
            auto* box = new QMessageBox(QMessageBox::Warning, QCoreApplication::applicationName(),
                                        QString::fromStdString(problem), QMessageBox::Ok, this);
            box->setAttribute(Qt::WA_DeleteOnClose);
            QTimer::singleShot(0, box, &QMessageBox::show);
        }
    }
    RightPaths = LoadListFile(InExeFolder(RightPathsFile));
    LeftPaths = LoadListFile(InExeFolder(LeftPathsFile));
    LeftNames = LoadListFile(InExeFolder(LeftNamesFile));
    RightNames = LoadListFile(InExeFolder(RightNamesFile));
    // A name is its path's display name; files of two generations must not show one song's name
    // for another.
    for (auto [names, paths, file] :
         {std::tuple(&LeftNames, &LeftPaths, LeftNamesFile), std::tuple(&RightNames, &RightPaths, RightNamesFile)})
        if (MatchNamesToPaths(*paths, *names))
            std::fprintf(stderr, "DuoDeck: %s does not match the song paths; the names are taken from the paths.\n",
                         file);

    // 6. The sound card's recording set-up.
    CreateRecorder();
    RecordingSetUp();

    // 7. Pen of the level displays.
    PaintBoxLeft->Pen = QPen(QColor(255, 255, 0), 2);
    PaintBoxRight->Pen = QPen(QColor(255, 255, 0), 2);

    // 8. The output mixer; it opens no device until a channel needs one.
    FMixer = new TMxDSMixer(this);

    // 9. The left and then the right deck controller, each given this window and the mixer.
    CreateDecks();
    RouteKeys();
    // Beyond that: the headphones, their switches and their output kept in the data folder.
    CreateHeadphones();
    CreateMixerControls();
    CreateControllers();
}

void TFormMain::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!FShown && !event->spontaneous()) {
        FShown = true;
        FormShow();
    }
}

void TFormMain::FormShow()
{
    // 1. The playlist window hangs under this one, and this one follows when it is dragged,
    // minimised or restored.
    if (FormList) {
        FormList->move(x(), y() + ListOffset);
        FormList->OnDragged = [this] { FollowPlaylistWindow(); };
        FormList->installEventFilter(this);
    }
    // Beyond that: the mixer strip stands on top of this window.
    DockMixerStrip();
    MixerStrip->show();
    Waveforms->setVisible(WaveformsWanted);
    // 2. The playlist boxes show LeftNames and RightNames.
    FillPlaylistBoxes();
    // Beyond that: the playlists' songs have their tempos found in the background.
    QueuePlaylistTempos();
}

void TFormMain::RestoreApplication()
{
    for (QWidget* window : {static_cast<QWidget*>(FormList), static_cast<QWidget*>(this),
                            static_cast<QWidget*>(MixerStrip), static_cast<QWidget*>(Waveforms)}) {
        if (!window)
            continue;
        if (window->isMinimized())
            window->showNormal();
        window->raise();
    }
    activateWindow();
}
