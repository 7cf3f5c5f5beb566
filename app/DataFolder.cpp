#include "app/DataFolder.h"

#include "app/Unit1.h"
#include "platform/kernel/Kernel.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

QByteArray InstalledHelp(const QByteArray& exeFolder)
{
    return exeFolder + "/../share/doc/duodeck/" + HelpFile;
}

// Root may write anywhere: a folder without any write bit counts as read-only all the same.
bool Writable(const QByteArray& folder)
{
    struct stat st {};
    return ::stat(folder.constData(), &st) == 0 && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 &&
           ::access(folder.constData(), W_OK) == 0;
}

// Makes `folder` and each missing folder above it 0700, as XDG asks of the folders it names; 0 or
// the errno of the step that failed. A folder that exists must be one the user can write to.
int MakeFolders(const QByteArray& folder)
{
    struct stat st {};
    if (::stat(folder.constData(), &st) == 0)
        return !S_ISDIR(st.st_mode) ? ENOTDIR : ::access(folder.constData(), W_OK | X_OK) != 0 ? errno : 0;
    if (errno != ENOENT)
        return errno;
    const qsizetype slash = folder.lastIndexOf('/');
    if (slash > 0)
        if (const int error = MakeFolders(folder.left(slash)))
            return error;
    return ::mkdir(folder.constData(), 0700) == 0 || errno == EEXIST ? 0 : errno;
}

} // namespace

QByteArray DataFolder(const QByteArray& exeFolder, std::string* problem)
{
    const bool installed =
        !FileExists((exeFolder + "/" + HelpFile).toStdString()) && FileExists(InstalledHelp(exeFolder).toStdString());
    const bool writable = Writable(exeFolder);
    if (!installed && writable)
        return exeFolder;
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    // XDG's rule: a relative XDG_DATA_HOME is ignored; so is a relative HOME.
    QByteArray base;
    if (dataHome && dataHome[0] == '/')
        base = dataHome;
    else if (home && home[0] == '/')
        base = QByteArray(home) + "/.local/share";
    else if (writable)
        return exeFolder;
    const QByteArray folder = base + "/DuoDeck";
    const int error = base.isEmpty() ? ENOENT : MakeFolders(folder);
    if (error != 0 && problem) {
        *problem = base.isEmpty() ? "Neither HOME nor XDG_DATA_HOME is set, and the program's folder " +
                                        exeFolder.toStdString() + " is not writable"
                                  : "Cannot create the folder " + folder.toStdString() + ": " + std::strerror(error);
        *problem += "; the playlists cannot be kept.";
    }
    return folder;
}

QByteArray HelpDocument(const QByteArray& exeFolder)
{
    const QByteArray beside = exeFolder + "/" + HelpFile;
    const QByteArray installed = InstalledHelp(exeFolder);
    return FileExists(beside.toStdString()) || !FileExists(installed.toStdString()) ? beside : installed;
}
