#include "app/ListFile.h"

#include "platform/kernel/Exceptions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

QByteArrayList ParseListText(const QByteArray& text)
{
    QByteArrayList entries;
    const qsizetype size = text.size();
    qsizetype start = 0;
    while (start < size) {
        qsizetype end = start;
        while (end < size && text[end] != '\r' && text[end] != '\n')
            ++end;
        entries.append(text.mid(start, end - start));
        if (end < size && text[end] == '\r' && end + 1 < size && text[end + 1] == '\n')
            ++end;
        start = end + 1;
    }
    return entries;
}

QByteArray FormatListText(const QByteArrayList& entries)
{
    QByteArray text;
    for (const QByteArray& entry : entries) {
        text += entry;
        text += "\r\n";
    }
    return text;
}

QByteArrayList LoadListFile(const QByteArray& path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return {};
    QByteArray text;
    int error = fd < 0 ? errno : 0;
    if (fd >= 0) {
        char block[65536];
        for (;;) {
            const ssize_t n = ::read(fd, block, sizeof block);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                error = errno;
            if (n <= 0)
                break;
            text.append(block, n);
        }
        ::close(fd);
    }
    if (error != 0) {
        std::fprintf(stderr, "DuoDeck: cannot read %s (%s); the list starts empty.\n", path.constData(),
                     std::strerror(error));
        return {};
    }
    return ParseListText(text);
}

namespace {

// write(2) until everything is written; false with errno set otherwise.
bool WriteAll(int fd, const char* data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// The file a save of `path` replaces. A list that is a symbolic link stays a link, its target
// replaced, only where the link and its target are the user's own: a link someone else planted (in
// a shared folder, say) is itself replaced, and its target left alone.
QByteArray FileToReplace(const QByteArray& path)
{
    struct stat link {};
    if (::lstat(path.constData(), &link) != 0 || !S_ISLNK(link.st_mode) || link.st_uid != ::geteuid())
        return path;
    char* resolved = ::realpath(path.constData(), nullptr);
    if (!resolved)
        return path;
    const QByteArray target = resolved;
    std::free(resolved);
    struct stat st {};
    return ::stat(target.constData(), &st) == 0 && st.st_uid == ::geteuid() ? target : path;
}

} // namespace

void SaveListFile(const QByteArray& path, const QByteArrayList& entries)
{
    const QByteArray name = FileToReplace(path);
    const qsizetype slash = name.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : name.left(slash);
    const auto fail = [&path](int error) {
        throw Exception("Cannot create file \"" + path.toStdString() + "\". " + std::strerror(error));
    };

    // The old file keeps its permissions; a new one gets the usual ones less the umask, which the
    // kernel applies to the mode given at creation.
    struct stat old {};
    const bool existed = ::lstat(name.constData(), &old) == 0 && !S_ISLNK(old.st_mode);
    if (existed && S_ISDIR(old.st_mode))
        fail(EISDIR);

    // The new contents go to a file without a name, so that a crash while writing leaves nothing
    // behind; where the filesystem cannot do that, to a named temporary beside the list.
    const auto temporaryName = [&name](int attempt) {
        return name + "." + QByteArray::number(::getpid()) + "-" + QByteArray::number(attempt);
    };
    QByteArray temporary;
    int fd = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    const bool unnamed = fd >= 0;
    for (int attempt = 0; fd < 0; ++attempt) {
        temporary = temporaryName(attempt);
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0 && (errno != EEXIST || attempt == 100))
            fail(errno);
    }
    if (existed)
        ::fchmod(fd, old.st_mode & 07777);
    const auto discard = [&](int error) {
        ::close(fd);
        if (!temporary.isEmpty())
            ::unlink(temporary.constData());
        fail(error);
    };

    // The old file is replaced only by contents that are written and on the disk in full.
    const QByteArray text = FormatListText(entries);
    if (!WriteAll(fd, text.constData(), text.size()) || ::fsync(fd) != 0)
        discard(errno);
    if (unnamed) {
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
        for (int attempt = 0;; ++attempt) {
            temporary = temporaryName(attempt);
            if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, temporary.constData(), AT_SYMLINK_FOLLOW) == 0)
                break;
            const int error = errno;
            temporary.clear();
            if (error != EEXIST || attempt == 100)
                discard(error);
        }
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        fail(error);
    }
    if (::rename(temporary.constData(), name.constData()) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        fail(error);
    }
    // The rename itself reaches the disk with the folder.
    const int folderFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
}
