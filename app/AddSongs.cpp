// The main window's side of the playlists: the two add buttons with their file dialog, and the
// filling of the playlist boxes at the first show. UI thread only.
#include "app/Unit1.h"

#include "platform/ui/ErrorDisplay.h"
#include "playlist/Playlist.h"
#include "playlist/UnitList.h"

#include <QFile>
#include <QFileDialog>

TPlaylist TFormMain::LeftPlaylist() const
{
    return {&LeftPaths, &LeftNames, &LeftIndex, FormList ? FormList->FlatListBox1 : nullptr};
}

TPlaylist TFormMain::RightPlaylist() const
{
    return {&RightPaths, &RightNames, &RightIndex, FormList ? FormList->FlatListBox2 : nullptr};
}

void TFormMain::btnAddLeftClick()
{
    AddSongs(true);
}

void TFormMain::BtnAddRightClick()
{
    AddSongs(false);
}

void TFormMain::AddSongs(bool left)
{
    if (!OpenDialog1) {
        OpenDialog1 = new QFileDialog(this);
        OpenDialog1->setObjectName("OpenDialog1");
        OpenDialog1->setNameFilters({SongFilter, OtherSongFilter});
        OpenDialog1->setFileMode(QFileDialog::ExistingFiles);
        OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
        OpenDialog1->setSizeGripEnabled(true);
    }
    const QStringList chosen =
        OpenDialog1Execute ? OpenDialog1Execute(OpenDialog1)
                           : (OpenDialog1->exec() == QDialog::Accepted ? OpenDialog1->selectedFiles() : QStringList());
    if (chosen.isEmpty())
        return; // cancelled
    QByteArrayList paths;
    for (const QString& file : chosen)
        paths.append(QFile::encodeName(file));
    const QByteArrayList refused = ::AddSongs(left ? LeftPlaylist() : RightPlaylist(), paths);
    if (!refused.isEmpty())
        ReportError(RefusalMessage(refused));
}

void TFormMain::FillPlaylistBoxes()
{
    if (FormList)
        FormList->SetPlaylists(LeftPlaylist(), RightPlaylist());
    FillBox(LeftPlaylist());
    FillBox(RightPlaylist());
}
