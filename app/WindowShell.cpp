// The window shell of the main window: dragging both windows by the skin, minimise, help, and the
// orderly close that frees the decks and the mixer and keeps the playlists. UI thread only.
#include "app/Application.h"
#include "app/DataFolder.h"
#include "app/ListFile.h"
#include "app/MixerStrip.h"
#include "app/WaveformWindow.h"
#include "app/Unit1.h"

#include "decks/unitChannel.h"
#include "decks/unitChannel2.h"
#include "mixer/MxDSMixer.h"
#include "platform/kernel/Exceptions.h"
#include "platform/kernel/Kernel.h"
#include "platform/ui/ErrorDisplay.h"
#include "playlist/UnitList.h"
#include "widgets/Image.h"
#include "widgets/ImgBtn.h"
#include "widgets/WindowMove.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QLabel>
#include <QMouseEvent>
#include <QUrl>
#include <QWindowStateChangeEvent>

void TFormMain::CreateShell()
{
    ImgForm->installEventFilter(this);
    BtnMin->OnClick = [this](QObject*) { BtnMinClick(); };
    BtnClose->OnClick = [this](QObject*) { BtnCloseClick(); };
    BtnHelp->OnClick = [this](QObject*) { BtnHelpClick(); };
}

void TFormMain::FollowPlaylistWindow()
{
    if (FormList)
        move(FormList->x(), FormList->y() - ListOffset);
}

// ---- dragging ----

void TFormMain::DragPress(QPoint p)
{
    if (CompositorMoves(this))
        return;
    FDrag.Dragging = true;
    FDragAt = p;
}

void TFormMain::DragMove(QPoint p, bool withList)
{
    if (!FDrag.Dragging)
        return;
    move(x() + p.x() - FDragAt.x(), y() + p.y() - FDragAt.y());
    // Only a drag by the skin takes the playlist window along; the bare surface moves this one alone.
    if (withList && FormList)
        FormList->move(x(), y() + ListOffset);
}

// The window manager minimises and restores each window alone (a taskbar entry, a key); the
// application does so as one.
void TFormMain::FollowWindowState(QWidget* changed, Qt::WindowStates old)
{
    QWidget* other = changed == this ? static_cast<QWidget*>(FormList) : this;
    if (!other)
        return;
    if (changed->isMinimized()) {
        if (!other->isMinimized())
            other->showMinimized();
    } else if (old & Qt::WindowMinimized) {
        if (other->isMinimized())
            other->showNormal();
        if (changed == this)
            FormList->move(x(), y() + ListOffset);
        else
            FollowPlaylistWindow();
    }
}

void TFormMain::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::WindowStateChange) {
        FollowWindowState(this, static_cast<QWindowStateChangeEvent*>(event)->oldState());
        // The mixer strip has no taskbar entry of its own: it is hidden while this window is away.
        if (MixerStrip && FShown)
            MixerStrip->setVisible(!isMinimized());
        if (Waveforms && FShown)
            Waveforms->setVisible(WaveformsWanted && !isMinimized());
    }
    QWidget::changeEvent(event);
}

void TFormMain::moveEvent(QMoveEvent* event)
{
    DockMixerStrip();
    QWidget::moveEvent(event);
}

bool TFormMain::ShellEvent(QObject* watched, QEvent* event)
{
    if (watched == FormList && event->type() == QEvent::WindowStateChange) {
        FollowWindowState(FormList, static_cast<QWindowStateChangeEvent*>(event)->oldState());
        return false;
    }
    if (watched != ImgForm)
        return false;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        DragPress(static_cast<QMouseEvent*>(event)->position().toPoint());
        return true;
    case QEvent::MouseMove:
        DragMove(static_cast<QMouseEvent*>(event)->position().toPoint(), true);
        return true;
    case QEvent::MouseButtonRelease:
        FDrag.Dragging = false;
        return true;
    default:
        return false;
    }
}

void TFormMain::mousePressEvent(QMouseEvent* event)
{
    DragPress(event->position().toPoint());
}

void TFormMain::mouseMoveEvent(QMouseEvent* event)
{
    DragMove(event->position().toPoint(), false);
}

void TFormMain::mouseReleaseEvent(QMouseEvent*)
{
    FDrag.Dragging = false;
}

// ---- buttons ----

void TFormMain::BtnMinClick()
{
    // The whole application: both windows.
    if (FormList)
        FormList->showMinimized();
    showMinimized();
}

void TFormMain::BtnHelpClick()
{
    // The result is not examined: a missing file or viewer gives no message.
    QDesktopServices::openUrl(QUrl::fromEncoded("file://" + HelpDocument(ProgramFolder()).toPercentEncoding("/")));
}

void TFormMain::BtnCloseClick()
{
    close(); // closeEvent runs the close sequence, whichever way the window is closed
}

void TFormMain::closeEvent(QCloseEvent* event)
{
    if (!FClosed) {
        FClosed = true;
        CloseSequence();
    }
    if (MixerStrip)
        MixerStrip->close();
    if (Waveforms)
        Waveforms->close();
    QWidget::closeEvent(event);
}

void TFormMain::CloseSequence()
{
    // A recording that cannot be finished is reported; the close goes on and keeps the playlists.
    if (Recording && OnCloseStopRecording) {
        try {
            OnCloseStopRecording();
        } catch (...) {
            ReportError(CurrentExceptionMessage());
        }
    }
    const std::string temporary = InExeFolder(TemporaryRecordingFile).toStdString();
    if (FileExists(temporary))
        DeleteFile(temporary); // an unsaved recording is lost
    FreeControllers();
    delete FormChannel;
    FormChannel = nullptr;
    delete FormChannel2;
    FormChannel2 = nullptr;
    delete FMixer;
    FMixer = nullptr;

    // Each file is replaced whole or not at all; a failure is shown and the close goes on.
    const std::pair<const char*, QByteArrayList*> files[] = {{RightPathsFile, &RightPaths},
                                                             {LeftPathsFile, &LeftPaths},
                                                             {LeftNamesFile, &LeftNames},
                                                             {RightNamesFile, &RightNames}};
    for (const auto& [name, list] : files) {
        try {
            SaveListFile(InExeFolder(name), *list);
        } catch (const Exception& e) {
            ReportError(e.Message());
        }
    }
    RightPaths.clear();
    LeftPaths.clear();
}
