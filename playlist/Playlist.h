// One deck's playlist as the main window keeps it, and the edits of it that keep its path list, its
// name list and its list box in step: entry i of the paths, entry i of the names and item i of the
// box describe one song, and the box shows the names. UI thread only.
#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

#include <cstdint>
#include <string>

class TFlatListBox;

// Pointers into the main window's unit-level state; a null member makes every edit a no-op. `Box`
// may be null while no playlist window exists: the lists are edited alone then.
struct TPlaylist {
    QByteArrayList* Paths = nullptr;
    QByteArrayList* Names = nullptr;
    int32_t* Index = nullptr; // the deck's current entry
    TFlatListBox* Box = nullptr;

    bool Valid() const { return Paths && Names && Index; }
};

// The text after the last "/" of a path (the whole path when it has none). Only "/" separates here:
// a backslash is an ordinary character of a file name on this platform.
QByteArray DisplayName(const QByteArray& path);

// How a box shows a stored name: names are UTF-8 bytes, kept as they are in the lists; bytes that
// are not UTF-8 show as replacement characters.
QString ItemText(const QByteArray& name);

// False when the path cannot be stored as one line of a playlist file (it holds CR or LF).
bool FitsOnOneLine(const QByteArray& path);

// Appends the paths and their display names, then selects item 0 and sets the index to 0. Paths
// that do not fit on one line are left out and returned; when nothing is added nothing changes.
QByteArrayList AddSongs(const TPlaylist& list, const QByteArrayList& paths);

// Rebuilds the names from the paths unless name i is the display name of path i for every i (the
// list files of two generations, left by a crash during Close). True when it rebuilt them.
bool MatchNamesToPaths(const QByteArrayList& paths, QByteArrayList& names);

// Makes the two lists equally long (a path without a name gets its display name; a name without a
// path is dropped), then shows the names in the box; selects item 0 and sets the index to 0 when
// there is at least one entry.
void FillBox(const TPlaylist& list);

// Removes the entries whose items are selected from both lists, shows the rest, and selects item 0
// and sets the index to 0 when entries remain. Nothing happens when the box has no items.
void DeleteSelected(const TPlaylist& list);

// Empties both lists and the box when the box has items. The index is left as it was.
void DeleteAll(const TPlaylist& list);

// Shift-click range selection: the first selected item f (the item count when none is) and the
// anchor bound a range that is added to the selection. Returns the new anchor.
int SelectRange(TFlatListBox* box, int anchor, bool shift);

// The add dialog's filters, the default first: MP3 and WAV, then the other formats the reader
// decodes.
inline constexpr const char* SongFilter = "*.mp3 *.wav (*.mp3 *.wav)";
inline constexpr const char* OtherSongFilter =
    "*.flac *.ogg *.opus *.aiff *.m4a *.aac *.wma *.webm (*.flac *.ogg *.oga *.opus *.aif *.aiff *.m4a *.m4b *.mp4 "
    "*.aac *.wma *.webm *.weba *.mka)";

// True when the file's name ends with an extension one of the filters lists (any letter case).
bool IsSongFile(const QByteArray& path);

// One message for the paths AddSongs refused, a line each; empty when there are none.
std::string RefusalMessage(const QByteArrayList& refused);

// Files dropped on a deck's box: those of a listed type are added as the add button adds them; the
// others are left out. Returns the message for everything left out (empty when nothing was).
std::string AddDroppedSongs(const TPlaylist& list, const QByteArrayList& paths);
