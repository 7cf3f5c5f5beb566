#include "playlist/Playlist.h"

#include "widgets/TFlatListBoxUnit.h"

#include <QStringList>

#include <algorithm>

namespace {

int FirstSelected(const TFlatListBox* box)
{
    const int count = box->Items().Count();
    for (int i = 0; i < count; ++i)
        if (box->Selected(i))
            return i;
    return count;
}

// Replaces the box's items by the names in one change (each change of the items clears the selection).
void ShowNames(const TPlaylist& list)
{
    if (!list.Box)
        return;
    QStringList texts;
    texts.reserve(list.Names->size());
    for (const QByteArray& name : *list.Names)
        texts.append(ItemText(name));
    TListItems& items = list.Box->Items();
    items.BeginUpdate();
    items.Clear();
    items.AddStrings(texts);
    items.EndUpdate();
}

void SelectFirst(const TPlaylist& list)
{
    if (list.Box && list.Box->Items().Count() > 0)
        list.Box->SetSelected(0, true);
    *list.Index = 0;
}

} // namespace

QByteArray DisplayName(const QByteArray& path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}

QString ItemText(const QByteArray& name)
{
    return QString::fromUtf8(name);
}

bool FitsOnOneLine(const QByteArray& path)
{
    return !path.contains('\r') && !path.contains('\n');
}

QByteArrayList AddSongs(const TPlaylist& list, const QByteArrayList& paths)
{
    QByteArrayList refused;
    if (!list.Valid())
        return refused;
    QByteArrayList added;
    for (const QByteArray& path : paths)
        (FitsOnOneLine(path) ? added : refused).append(path);
    if (added.isEmpty())
        return refused;

    QStringList texts;
    for (const QByteArray& path : added) {
        list.Paths->append(path);
        list.Names->append(DisplayName(path));
        texts.append(ItemText(list.Names->last()));
    }
    if (list.Box)
        list.Box->Items().AddStrings(texts);
    SelectFirst(list);
    return refused;
}

bool MatchNamesToPaths(const QByteArrayList& paths, QByteArrayList& names)
{
    bool match = names.size() == paths.size();
    for (qsizetype i = 0; match && i < paths.size(); ++i)
        match = names[i] == DisplayName(paths[i]);
    if (match)
        return false;
    names.clear();
    for (const QByteArray& path : paths)
        names.append(DisplayName(path));
    return true;
}

void FillBox(const TPlaylist& list)
{
    if (!list.Valid())
        return;
    // Only files written by the program itself are sure to match line for line.
    while (list.Names->size() < list.Paths->size())
        list.Names->append(DisplayName(list.Paths->at(list.Names->size())));
    list.Names->resize(list.Paths->size());

    ShowNames(list);
    if (!list.Names->isEmpty())
        SelectFirst(list);
}

void DeleteSelected(const TPlaylist& list)
{
    if (!list.Valid() || !list.Box || list.Box->Items().Count() == 0)
        return;
    // By index, from the last entry down, so that earlier indices stay valid; only selected entries
    // go, whatever text the others hold.
    const int count = std::min<int>(list.Box->Items().Count(), list.Paths->size());
    for (int i = count - 1; i >= 0; --i) {
        if (!list.Box->Selected(i))
            continue;
        list.Paths->removeAt(i);
        if (i < list.Names->size())
            list.Names->removeAt(i);
    }
    ShowNames(list);
    if (!list.Names->isEmpty())
        SelectFirst(list);
}

void DeleteAll(const TPlaylist& list)
{
    if (!list.Valid() || !list.Box || list.Box->Items().Count() == 0)
        return;
    list.Paths->clear();
    list.Names->clear();
    list.Box->Items().Clear();
}

int SelectRange(TFlatListBox* box, int anchor, bool shift)
{
    const int count = box->Items().Count();
    if (shift) {
        box->SetMultiSelect(true);
        const int first = FirstSelected(box);
        // Bounded by the last item: a bit past it would select a song that does not exist yet.
        const int last = std::min(std::max(first, anchor), count - 1);
        for (int i = std::min(first, anchor); i <= last; ++i)
            box->SetSelected(i, true);
    } else {
        box->SetMultiSelect(false);
    }
    return count > 0 ? FirstSelected(box) : anchor;
}

bool IsSongFile(const QByteArray& path)
{
    const QByteArray name = DisplayName(path).toLower();
    for (const char* filter : {SongFilter, OtherSongFilter}) {
        // The patterns stand between the parentheses, "*.ext" each.
        const QByteArray patterns(filter);
        const QByteArray inside = patterns.mid(patterns.indexOf('(') + 1).chopped(1);
        for (const QByteArray& pattern : inside.split(' '))
            if (pattern.startsWith("*.") && name.endsWith(pattern.mid(1)))
                return true;
    }
    return false;
}

std::string RefusalMessage(const QByteArrayList& refused)
{
    std::string message;
    for (const QByteArray& path : refused) {
        if (!message.empty())
            message += '\n';
        message += "Cannot add \"" + path.toStdString() +
                   "\": the playlist keeps one song per line, and this file name holds a line break.";
    }
    return message;
}

std::string AddDroppedSongs(const TPlaylist& list, const QByteArrayList& paths)
{
    QByteArrayList songs, others;
    for (const QByteArray& path : paths)
        (IsSongFile(path) ? songs : others).append(path);
    std::string message = songs.isEmpty() ? std::string() : RefusalMessage(AddSongs(list, songs));
    if (!others.isEmpty()) {
        std::string names;
        for (const QByteArray& path : others)
            names += (names.empty() ? "\"" : ", \"") + DisplayName(path).toStdString() + "\"";
        if (!message.empty())
            message += '\n';
        message += "Not added: " + names + ". A playlist takes MP3, WAV, FLAC, Ogg Vorbis, Opus and AIFF songs.";
    }
    return message;
}
