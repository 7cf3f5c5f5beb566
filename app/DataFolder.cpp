#include "app/DataFolder.h"

#include "app/Unit1.h"
#include "platform/kernel/Kernel.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

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

} // namespace

QByteArray DataFolder(const QByteArray& exeFolder)
{
    const bool installed =
        !FileExists((exeFolder + "/" + HelpFile).toStdString()) && FileExists(InstalledHelp(exeFolder).toStdString());
    if (!installed && Writable(exeFolder))
        return exeFolder;
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    // XDG's rule: a relative XDG_DATA_HOME is ignored.
    const QByteArray base =
        dataHome && dataHome[0] == '/' ? QByteArray(dataHome) : QByteArray(home ? home : "") + "/.local/share";
    const QByteArray folder = base + "/DuoDeck";
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(folder.toStdString()), ec);
    return folder;
}

QByteArray HelpDocument(const QByteArray& exeFolder)
{
    const QByteArray beside = exeFolder + "/" + HelpFile;
    const QByteArray installed = InstalledHelp(exeFolder);
    return FileExists(beside.toStdString()) || !FileExists(installed.toStdString()) ? beside : installed;
}
