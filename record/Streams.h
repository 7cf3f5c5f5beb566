// Byte streams the recorder writes its output to: a growable memory stream and an unbuffered file
// stream. One owner thread per stream (the recorder's UI thread); nothing here locks.
// Failures raise EStreamError with the file's name and the system's reason.
#pragma once

#include "platform/kernel/Exceptions.h"

#include <cstdint>
#include <filesystem>
#include <vector>

class EStreamError : public Exception {
public:
    using Exception::Exception;
};

enum class TSeekOrigin { Beginning, Current, End };

class TStream {
public:
    virtual ~TStream() = default;

    // Reads up to `count` bytes at the position and advances past them; returns how many were read
    // (fewer only at the end of the stream).
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    // Writes all `count` bytes at the position and advances past them, or raises EStreamError.
    // A write that fails changes nothing: the size and the position stay as they were, so a file
    // keeps exactly the whole writes that came before (a full disk leaves no torn record behind).
    virtual void Write(const void* buffer, int64_t count) = 0;
    // Returns the new position; positions past the end are allowed (a later write fills the gap with zeros).
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    virtual int64_t Size() const = 0;
    // Truncates or extends (with zeros); the position is kept unless it would lie past the new end.
    virtual void SetSize(int64_t size) = 0;

    int64_t Position() { return Seek(0, TSeekOrigin::Current); }
    void SetPosition(int64_t position) { Seek(position, TSeekOrigin::Beginning); }
};

class TMemoryStream : public TStream {
public:
    int64_t Read(void* buffer, int64_t count) override;
    void Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() const override { return static_cast<int64_t>(FData.size()); }
    void SetSize(int64_t size) override;

    // Size 0, position 0.
    void Clear();
    const uint8_t* Memory() const { return FData.data(); }

private:
    std::vector<uint8_t> FData;
    int64_t FPosition = 0;
};

enum class TFileMode {
    Create,   // create or truncate, read and write
    OpenRead, // an existing file, read only
    OpenReadWrite,
};

// Every Write goes straight to the operating system, so what was written survives a crash of the
// program and a failing write is reported by the call that made it.
class TFileStream : public TStream {
public:
    TFileStream(const std::filesystem::path& file, TFileMode mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    int64_t Read(void* buffer, int64_t count) override;
    void Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() const override;
    void SetSize(int64_t size) override;

    const std::filesystem::path& FileName() const { return FFileName; }

private:
    [[noreturn]] void Fail(const char* what, int error) const;

    std::filesystem::path FFileName;
    int FHandle = -1;
};
