// The deck panel of the main window: the seven knobs, the transport and loop buttons, the level
// displays, and the playlist choice of the song a deck plays (on Play and at the end of a song).
// UI thread only.
#include "app/Unit1.h"

#include "app/KeyTable.h"
#include "app/MixerStrip.h"
#include "assets/Skin.h"
#include "decks/TempoAnalyser.h"
#include "decks/unitChannel.h"
#include "decks/unitChannel2.h"
#include "platform/kernel/Exceptions.h"
#include "platform/kernel/Kernel.h"
#include "playlist/UnitList.h"
#include "widgets/ImgBtn.h"
#include "widgets/PaintBox.h"
#include "widgets/TFlatListBoxUnit.h"

#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>

TFormChannel* FormChannel = nullptr;
TFormChannel2* FormChannel2 = nullptr;

namespace {

bool Exists(const QByteArray& path)
{
    return FileExists(path.toStdString());
}

// How often the playlists are looked at for songs whose tempo is still to be found.
constexpr int kPlaylistWatchMs = 2000;

// Marks `index` as the only selected entry of the box.
void SelectOnly(TFlatListBox* box, int index)
{
    box->SetMultiSelect(false);
    box->SetSelected(index, true);
}

} // namespace

TFormMain::TDeckSide TFormMain::LeftSide()
{
    return {FormChannel, ImgJinduLeft, 24, LeftPlaylist(), LeftLoop};
}

TFormMain::TDeckSide TFormMain::RightSide()
{
    return {FormChannel2, ImgJinduRight, 232, RightPlaylist(), RightLoop};
}

void TFormMain::CreateDecks()
{
    FormChannel = new TFormChannel(this, FMixer,
                                   TDeckWidgets{ImgJinduLeft, ImgVolumeLeft, ImgFrequenceLeft, PaintBoxLeft,
                                                &JinduLeftDrag.Anchor, &VolumeLeftDrag.Anchor, LabelTempoLeft});
    FormChannel2 = new TFormChannel2(this, FMixer,
                                     TDeckWidgets{ImgJinduRight, ImgVolumeRight, ImgFrequenceRight, PaintBoxRight,
                                                  &JinduRightDrag.Anchor, &VolumeRightDrag.Anchor, LabelTempoRight});
    // Tempos: the decks' songs first, the playlists' in the background, cached in the data folder.
    TempoAnalyser = new TTempoAnalyser(ExeFolder, this);
    FormChannel->SetTempoSource(TempoAnalyser);
    FormChannel2->SetTempoSource(TempoAnalyser);
    HotCues = std::make_unique<THotCueStore>(ExeFolder.toStdString());
    FormChannel->SetCueStore(HotCues.get());
    FormChannel2->SetCueStore(HotCues.get());
    FormChannel->SetOtherDeck(FormChannel2);
    FormChannel2->SetOtherDeck(FormChannel);
    BtnKeylockLeft->OnClick = [this](QObject*) { ToggleKeylock(BtnKeylockLeft, FormChannel); };
    BtnKeylockRight->OnClick = [this](QObject*) { ToggleKeylock(BtnKeylockRight, FormChannel2); };
    BtnSyncLeft->OnClick = [](QObject*) { FormChannel->Sync(); };
    BtnSyncRight->OnClick = [](QObject*) { FormChannel2->Sync(); };
    auto* playlistWatch = new QTimer(this);
    connect(playlistWatch, &QTimer::timeout, this, [this] {
        QueuePlaylistTempos();
        if (MixerStrip)
            MixerStrip->PollLimiter();
    });
    playlistWatch->start(kPlaylistWatchMs);
    FormChannel->OnSongEnded = [this] { AdvancePlaylist(LeftSide()); };
    FormChannel2->OnSongEnded = [this] { AdvancePlaylist(RightSide()); };
    // The decks are gone after the close sequence; a late repaint then draws nothing.
    PaintBoxLeft->OnPaint = [](QPainter& canvas) {
        if (FormChannel)
            FormChannel->DrawLevels(canvas);
    };
    PaintBoxRight->OnPaint = [](QPainter& canvas) {
        if (FormChannel2)
            FormChannel2->DrawLevels(canvas);
    };

    for (QLabel* knob : {ImgVolumeLeft, ImgVolumeRight, ImgFrequenceLeft, ImgFrequenceRight, ImgJinduLeft,
                         ImgJinduRight, ImgVolumeBoth})
        knob->installEventFilter(this);

    BtnPlayLeft->OnClick = [this](QObject*) { PlayLeftDeck(); };
    BtnPlayRight->OnClick = [this](QObject*) { PlayRightDeck(); };
    BtnPlayBoth->OnClick = [this](QObject*) {
        PlayLeftDeck();
        PlayRightDeck();
    };
    BtnPauseLeft->OnClick = [](QObject*) { FormChannel->buttonPauseClick(); };
    BtnPauseRight->OnClick = [](QObject*) { FormChannel2->buttonPauseClick(); };
    BtnPauseBoth->OnClick = [](QObject*) {
        FormChannel->buttonPauseClick();
        FormChannel2->buttonPauseClick();
    };
    BtnStopLeft->OnClick = [this](QObject*) { StopDeck(LeftSide()); };
    btnStopRight->OnClick = [this](QObject*) { StopDeck(RightSide()); };
    BtnStopBoth->OnClick = [this](QObject*) {
        StopDeck(LeftSide());
        StopDeck(RightSide());
    };
    BtnLoopLeft->OnClick = [this](QObject*) { ToggleLoop(BtnLoopLeft, LeftLoop); };
    BtnLoopRight->OnClick = [this](QObject*) { ToggleLoop(BtnLoopRight, RightLoop); };
}

void TFormMain::StopDeck(const TDeckSide& side)
{
    side.Deck->buttonStopClick();
    side.PositionKnob->move(side.KnobStart, side.PositionKnob->y());
}

void TFormMain::ToggleLoop(TImgBtn* button, bool& loop)
{
    loop = !loop;
    // Loop on shows the hover look of loop off; the button's own hover and pressed looks stay.
    const QPixmap look = loop ? ImgBtn1->PicUp() : ImgBtn1->Picture();
    button->SetPicture(look);
    button->SetPic(look);
}

void TFormMain::ToggleKeylock(TImgBtn* button, TDeckController* deck)
{
    deck->SetKeylock(!deck->Keylock());
    // Lit while on: the on look stays under the pointer too.
    const QPixmap look =
        QPixmap::fromImage(artwork::LoadForScreen(deck->Keylock() ? artwork::KeylockOn : artwork::KeylockOff));
    button->SetPicture(look);
    button->SetPic(look);
}

void TFormMain::PlayLeftDeck()
{
    PlayDeck(LeftSide());
}
void TFormMain::PlayRightDeck()
{
    PlayDeck(RightSide());
}

void TFormMain::PlayDeck(const TDeckSide& side)
{
    if (side.PositionKnob->x() > side.KnobStart) {
        side.Deck->Resume(); // started and not stopped
        return;
    }
    QByteArray path = SelectedEntry(side);
    if (path.isEmpty())
        return;
    if (!Exists(path))
        path = NextExisting(side, false); // Play leaves the selection alone
    if (Exists(path))
        LoadDeck(side, path);
}

QByteArray TFormMain::SelectedEntry(const TDeckSide& side)
{
    TFlatListBox* box = side.List.Box;
    if (!box || box->Items().Count() == 0)
        return {};
    int index = 0;
    for (int i = 0; i < box->Items().Count(); ++i)
        if (box->Selected(i)) {
            index = i;
            break;
        }
    if (index >= side.List.Paths->size())
        return {};
    *side.List.Index = index;
    return side.List.Paths->at(index);
}

void TFormMain::AdvancePlaylist(const TDeckSide& side)
{
    int32_t& index = *side.List.Index;
    const int count = side.List.Box ? side.List.Box->Items().Count() : 0;
    index = index + 1 > count - 1 ? 0 : index + 1;
    if (count <= 0)
        return;
    QByteArray path = side.List.Paths->value(index);
    if (Exists(path)) {
        if (index == 0 && !side.Loop)
            return; // the end of the playlist was passed
        SelectOnly(side.List.Box, index);
    } else {
        path = NextExisting(side, true);
    }
    if (Exists(path))
        LoadDeck(side, path);
}

void TFormMain::LoadDeck(const TDeckSide& side, const QByteArray& path)
{
    try {
        side.Deck->LoadAndPlay(path.toStdString());
    } catch (const Exception& e) {
        throw Exception("Cannot play \"" + path.toStdString() + "\": " + e.Message());
    }
}

QByteArray TFormMain::NextExisting(const TDeckSide& side, bool select)
{
    // With the repeat flag at most once round the list, wrapping past its last entry; without it up
    // to the last entry. Paths and box items correspond one to one.
    int32_t& index = *side.List.Index;
    const int count = side.List.Box->Items().Count();
    QByteArray path;
    for (int n = 0; side.Loop ? n < side.List.Paths->size() : index < count - 1; ++n) {
        index = index + 1 > count - 1 ? 0 : index + 1;
        path = side.List.Paths->value(index);
        if (Exists(path)) {
            if (select)
                SelectOnly(side.List.Box, index);
            break;
        }
    }
    return path;
}

void TFormMain::MoveCrossfader(int x)
{
    const int left = std::clamp(ImgVolumeBoth->x() + x - VolumeBothDrag.Anchor, 156, 235);
    ImgVolumeBoth->move(left, ImgVolumeBoth->y());
    if (FMixSettings.Crossfader != "original") {
        ApplyCrossfaderCurve(left);
        return;
    }
    // The deck on the crossfader's side plays at full volume; the other one's knob sits at
    // 64 plus twice the distance from the centre.
    if (left >= 192) {
        ImgVolumeRight->move(ImgVolumeRight->x(), 32);
        ImgVolumeLeft->move(ImgVolumeLeft->x(), 2 * ((left - 192) + 32));
    } else {
        ImgVolumeLeft->move(ImgVolumeLeft->x(), 32);
        ImgVolumeRight->move(ImgVolumeRight->x(), 2 * ((192 - left) + 32));
    }
    FormChannel->ApplyVolumeKnob();
    FormChannel2->ApplyVolumeKnob();
}

void TFormMain::MoveFrequencyKnob(QLabel* knob, const TKnobDrag& drag, TDeckController* deck, int y)
{
    knob->move(knob->x(), std::clamp(knob->y() + y - drag.Anchor, 32, 152));
    deck->ApplyFrequencyKnob();
}

void TFormMain::QueuePlaylistTempos()
{
    if (!TempoAnalyser)
        return;
    for (const QByteArrayList* paths : {&LeftPaths, &RightPaths})
        for (const QByteArray& path : *paths)
            if (!FTempoQueued.contains(path)) {
                FTempoQueued.insert(path);
                TempoAnalyser->Request(path.toStdString(), false);
            }
}

bool TFormMain::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Wheel && watched->isWidgetType() &&
        WheelKnob(static_cast<QLabel*>(watched), static_cast<QWheelEvent*>(event)))
        return true;
    // The second press of a double click comes as a double-click event: it is a press like the first.
    const auto type = event->type() == QEvent::MouseButtonDblClick ? QEvent::MouseButtonPress : event->type();
    if (ShellEvent(watched, event))
        return true;
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseMove && type != QEvent::MouseButtonRelease)
        return QWidget::eventFilter(watched, event);
    const QPoint p = static_cast<QMouseEvent*>(event)->position().toPoint();

    const TKnob* knob = KnobOf(watched);
    if (!knob)
        return QWidget::eventFilter(watched, event);

    const int coordinate = knob->Vertical ? p.y() : p.x();
    if (type == QEvent::MouseButtonPress) {
        knob->Drag->Dragging = true;
        knob->Drag->Anchor = coordinate;
        return true;
    }
    if (type == QEvent::MouseButtonRelease) {
        knob->Drag->Dragging = false;
        if (knob->Image == ImgJinduLeft)
            FormChannel->SeekDragEnd();
        else if (knob->Image == ImgJinduRight)
            FormChannel2->SeekDragEnd();
        return true;
    }
    if (knob->Drag->Dragging)
        DragKnob(knob->Image, coordinate);
    return true;
}

const TFormMain::TKnob* TFormMain::KnobOf(const QObject* object)
{
    FKnobs = {{{ImgVolumeLeft, &VolumeLeftDrag, true},
               {ImgVolumeRight, &VolumeRightDrag, true},
               {ImgFrequenceLeft, &FrequenceLeftDrag, true},
               {ImgFrequenceRight, &FrequenceRightDrag, true},
               {ImgJinduLeft, &JinduLeftDrag, false},
               {ImgJinduRight, &JinduRightDrag, false},
               {ImgVolumeBoth, &VolumeBothDrag, false}}};
    for (const TKnob& knob : FKnobs)
        if (knob.Image == object)
            return &knob;
    return nullptr;
}

void TFormMain::DragKnob(QLabel* knob, int coordinate)
{
    if (knob == ImgVolumeLeft)
        FormChannel->VolumeDrag(coordinate);
    else if (knob == ImgVolumeRight)
        FormChannel2->VolumeDrag(coordinate);
    else if (knob == ImgFrequenceLeft)
        MoveFrequencyKnob(ImgFrequenceLeft, FrequenceLeftDrag, FormChannel, coordinate);
    else if (knob == ImgFrequenceRight)
        MoveFrequencyKnob(ImgFrequenceRight, FrequenceRightDrag, FormChannel2, coordinate);
    else if (knob == ImgJinduLeft)
        FormChannel->SeekDrag(coordinate);
    else if (knob == ImgJinduRight)
        FormChannel2->SeekDrag(coordinate);
    else
        MoveCrossfader(coordinate);
}
