// Where the program keeps its files. The playlists and the recording in progress live beside the
// executable where that folder is the program's own and writable (a build folder, a portable copy);
// an installed program keeps them in the user's data folder instead. Names are bytes throughout.
#pragma once

#include <QByteArray>

#include <string>

// The folder for the playlist files and the temporary recording, for an executable in `exeFolder`:
// `exeFolder` itself unless it is an installed program's (its help is in ../share/doc/duodeck and
// not beside it) or not writable (no write permission bit, or no write access); otherwise
// $XDG_DATA_HOME/DuoDeck, by default $HOME/.local/share/DuoDeck, created 0700 if missing. With
// neither variable set, a writable `exeFolder` serves. Where no folder can keep the lists,
// `problem` (if given) says why, in a sentence for the user.
QByteArray DataFolder(const QByteArray& exeFolder, std::string* problem = nullptr);

// The help document: the one beside the executable, else the installed one.
QByteArray HelpDocument(const QByteArray& exeFolder);
