#include "record/Streams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// ---- TMemoryStream ----

int64_t TMemoryStream::Read(void* buffer, int64_t count)
{
    const int64_t available = std::max<int64_t>(0, Size() - FPosition);
    const int64_t n = std::clamp<int64_t>(count, 0, available);
    if (n > 0)
        std::memcpy(buffer, FData.data() + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

void TMemoryStream::Write(const void* buffer, int64_t count)
{
    if (count <= 0)
        return;
    const int64_t end = FPosition + count;
    if (end > Size())
        FData.resize(static_cast<size_t>(end)); // raises before anything changes when memory runs out
    std::memcpy(FData.data() + FPosition, buffer, static_cast<size_t>(count));
    FPosition = end;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin)
{
    const int64_t base = origin == TSeekOrigin::Beginning ? 0 : origin == TSeekOrigin::Current ? FPosition : Size();
    if (base + offset < 0)
        throw EStreamError("Seek before the start of a memory stream");
    FPosition = base + offset;
    return FPosition;
}

void TMemoryStream::SetSize(int64_t size)
{
    FData.resize(static_cast<size_t>(std::max<int64_t>(0, size)));
    FPosition = std::min(FPosition, Size());
}

void TMemoryStream::Clear()
{
    FData.clear();
    FPosition = 0;
}

// ---- TFileStream ----

TFileStream::TFileStream(const std::filesystem::path& file, TFileMode mode) : FFileName(file)
{
    int flags = O_CLOEXEC;
    switch (mode) {
    case TFileMode::Create:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
    case TFileMode::OpenRead:
        flags |= O_RDONLY;
        break;
    case TFileMode::OpenReadWrite:
        flags |= O_RDWR;
        break;
    }
    do {
        FHandle = ::open(file.c_str(), flags, 0666);
    } while (FHandle < 0 && errno == EINTR);
    if (FHandle < 0)
        Fail(mode == TFileMode::Create ? "Cannot create file" : "Cannot open file", errno);
}

TFileStream::~TFileStream()
{
    if (FHandle >= 0)
        ::close(FHandle);
}

void TFileStream::Fail(const char* what, int error) const
{
    throw EStreamError(std::string(what) + " \"" + FFileName.string() + "\": " + std::strerror(error));
}

int64_t TFileStream::Read(void* buffer, int64_t count)
{
    auto* p = static_cast<char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(FHandle, p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            Fail("Cannot read from file", errno);
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

void TFileStream::Write(const void* buffer, int64_t count)
{
    if (count <= 0)
        return;
    const off_t start = ::lseek(FHandle, 0, SEEK_CUR);
    struct stat st {};
    if (start < 0 || ::fstat(FHandle, &st) != 0)
        Fail("Cannot write to file", errno);
    const auto* p = static_cast<const char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(FHandle, p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            // Take back the part that did get through, so the file ends on the previous whole write.
            // Best effort: the write's own error is the one to report.
            if (done > 0 && start + done > st.st_size && ::ftruncate(FHandle, std::max<off_t>(start, st.st_size))) {
            }
            ::lseek(FHandle, start, SEEK_SET);
            Fail("Cannot write to file", error);
        }
        done += n;
    }
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin)
{
    const int whence = origin == TSeekOrigin::Beginning ? SEEK_SET
                       : origin == TSeekOrigin::Current ? SEEK_CUR
                                                        : SEEK_END;
    const off_t position = ::lseek(FHandle, offset, whence);
    if (position < 0)
        Fail("Cannot seek in file", errno);
    return position;
}

int64_t TFileStream::Size() const
{
    struct stat st {};
    if (::fstat(FHandle, &st) != 0)
        Fail("Cannot read the size of file", errno);
    return st.st_size;
}

void TFileStream::SetSize(int64_t size)
{
    int rc;
    do {
        rc = ::ftruncate(FHandle, size);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        Fail("Cannot set the size of file", errno);
    if (Position() > size)
        Seek(size, TSeekOrigin::Beginning);
}
