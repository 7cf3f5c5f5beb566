// The playlist files: plain text, one entry per line, every line (the last one too) ended by CR LF
// when written; a line read ends at CR, LF or CR LF, and a last line without an ending is an entry
// too. Entries are bytes, kept as they are, and so are the paths of the files. Any thread; no lock.
#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

QByteArrayList ParseListText(const QByteArray& text);
QByteArray FormatListText(const QByteArrayList& entries);

// A missing file is an empty list. A file that cannot be read, or a link that may not be followed
// (ReadKeptFile), is an empty list too, with a warning on stderr: start-up must go on.
QByteArrayList LoadListFile(const QByteArray& path);

// Replaces the file with the entries through ReplaceKeptFile: whole or not at all; a failure raises
// Exception with the text: Cannot create file "<path>". <reason>
// An entry holding CR or LF cannot be kept on one line and reads back as several entries.
void SaveListFile(const QByteArray& path, const QByteArrayList& entries);
