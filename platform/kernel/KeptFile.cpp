#include "platform/kernel/KeptFile.h"

#include "platform/kernel/Exceptions.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
}

// write(2) until everything is written; false with errno set otherwise.
bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The file a replace of `path` writes: the target of a link only where the link and its target are
// the user's own, else `path` itself.
std::string FileToReplace(const std::string& path)
{
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode) || link.st_uid != ::geteuid())
        return path;
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return path;
    const std::string target = resolved;
    std::free(resolved);
    struct stat st {};
    return ::stat(target.c_str(), &st) == 0 && st.st_uid == ::geteuid() ? target : path;
}

} // namespace

int OpenKeptFile(const std::string& path, std::string* refused)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0 || errno != ELOOP)
        return fd;

    // The name is a link (or a folder on the way loops). O_PATH holds the link's own inode: its owner
    // and its text are read from the same inode, and a link's text never changes.
    const auto refuse = [refused](const char* why) {
        if (refused)
            *refused = why;
        errno = EPERM;
        return -1;
    };
    const int link = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (link < 0)
        return -1;
    struct stat ls {};
    if (::fstat(link, &ls) != 0 || !S_ISLNK(ls.st_mode)) {
        ::close(link);
        errno = ELOOP;
        return -1;
    }
    if (ls.st_uid != ::geteuid()) {
        ::close(link);
        return refuse("a symbolic link made by another user");
    }
    std::string target(PATH_MAX, '\0');
    const ssize_t n = ::readlinkat(link, "", target.data(), target.size());
    const int readError = errno;
    ::close(link);
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) {
        errno = n < 0 ? readError : ENAMETOOLONG;
        return -1;
    }
    target.resize(static_cast<size_t>(n));

    // A relative target is relative to the link's folder. Links further on are the user's own choice:
    // what counts is whose file the chain ends at.
    int opened = -1;
    if (target.front() == '/') {
        opened = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    } else {
        const int folder = ::open(FolderOf(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0)
            return -1;
        opened = ::openat(folder, target.c_str(), O_RDONLY | O_CLOEXEC);
        const int error = errno;
        ::close(folder);
        errno = error;
    }
    if (opened < 0)
        return -1;
    struct stat ts {};
    if (::fstat(opened, &ts) != 0 || ts.st_uid != ::geteuid()) {
        ::close(opened);
        return refuse("a symbolic link to another user's file");
    }
    return opened;
}

std::optional<std::string> ReadKeptFile(const std::string& path, std::string& problem)
{
    problem.clear();
    std::string refused;
    const int fd = OpenKeptFile(path, &refused);
    if (fd < 0) {
        if (errno != ENOENT)
            problem = !refused.empty() ? refused : std::strerror(errno);
        return std::nullopt;
    }
    std::string text;
    char block[65536];
    for (;;) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            problem = std::strerror(errno);
        if (n <= 0)
            break;
        text.append(block, static_cast<size_t>(n));
    }
    ::close(fd);
    if (!problem.empty())
        return std::nullopt;
    return text;
}

void ReplaceKeptFile(const std::string& path, const std::string& contents)
{
    const std::string name = FileToReplace(path);
    const std::string folder = FolderOf(name);
    const auto fail = [&path](int error) {
        throw Exception("Cannot create file \"" + path + "\". " + std::strerror(error));
    };

    // The old file keeps its permissions; a new one gets the mode given at creation less the umask.
    struct stat old {};
    const bool existed = ::lstat(name.c_str(), &old) == 0 && !S_ISLNK(old.st_mode);
    if (existed && S_ISDIR(old.st_mode))
        fail(EISDIR);
    struct stat folderStat {};
    const bool ownFolder = ::stat(folder.c_str(), &folderStat) == 0 && folderStat.st_uid == ::geteuid();
    const mode_t mode = ownFolder ? 0666 : 0600;

    // The new contents go to a file without a name, so that a crash while writing leaves nothing
    // behind; where the filesystem cannot do that, to a named temporary beside the file.
    const auto temporaryName = [&name](int attempt) {
        return name + "." + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    };
    std::string temporary;
    int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    const bool unnamed = fd >= 0;
    for (int attempt = 0; fd < 0; ++attempt) {
        temporary = temporaryName(attempt);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd < 0 && (errno != EEXIST || attempt == 100))
            fail(errno);
    }
    if (existed)
        ::fchmod(fd, old.st_mode & 07777);
    const auto discard = [&](int error) {
        ::close(fd);
        if (!temporary.empty())
            ::unlink(temporary.c_str());
        fail(error);
    };

    // The old file is replaced only by contents that are written and on the disk in full.
    if (!WriteAll(fd, contents.data(), contents.size()) || ::fsync(fd) != 0)
        discard(errno);
    if (unnamed) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        for (int attempt = 0;; ++attempt) {
            temporary = temporaryName(attempt);
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0)
                break;
            const int error = errno;
            temporary.clear();
            if (error != EEXIST || attempt == 100)
                discard(error);
        }
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        fail(error);
    }
    if (::rename(temporary.c_str(), name.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        fail(error);
    }
    // The rename itself reaches the disk with the folder.
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
}
