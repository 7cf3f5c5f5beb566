// Kernel services with the semantics of the platform the mixer was designed on: named re-entrant
// mutexes with timed and abandoned waits, events, the tick count and file helpers.
// Every function may be called from any thread. Names live in one registry per process.
// Waits and the tick count follow the time scale (TimeScale.h).
#pragma once

#include <cstdint>
#include <string>

using DWORD = uint32_t;
using BOOL = int;

struct KernelHandle;
using HANDLE = KernelHandle*;

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_NOT_OWNER = 288;

constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001;
constexpr DWORD EVENT_ALL_ACCESS = 0x001F0003;

// Mutexes are recursive for their owner. Creating a name that exists returns a new handle to the
// same mutex and sets the last error to ERROR_ALREADY_EXISTS (ownership is then not taken).
// A mutex whose owning thread ends without releasing it is abandoned: the next wait gets it with
// WAIT_ABANDONED. `attributes` is accepted and ignored.
HANDLE CreateMutexA(void* attributes, BOOL initialOwner, const char* name);
// Null with ERROR_FILE_NOT_FOUND when no object of that name exists.
HANDLE OpenMutexA(DWORD desiredAccess, BOOL inheritHandle, const char* name);
// False with ERROR_NOT_OWNER when the calling thread does not own the mutex.
BOOL ReleaseMutex(HANDLE mutex);

HANDLE CreateEventA(void* attributes, BOOL manualReset, BOOL initialState, const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// WAIT_OBJECT_0, WAIT_ABANDONED (mutexes), WAIT_TIMEOUT, or WAIT_FAILED for a bad handle.
// `ms` is program time; INFINITE waits for ever.
DWORD WaitForSingleObject(HANDLE handle, DWORD ms);
// Every handle is closed exactly once; the object lives while any handle to it is open.
BOOL CloseHandle(HANDLE handle);

// Per thread, as set by the calls above.
DWORD GetLastError();
void SetLastError(DWORD code);

// Milliseconds of program time since an arbitrary origin; wraps after 2^32 ms.
DWORD GetTickCount();
// Tests: shift the tick count so that a wrap can be reached. The offset is added to every result.
void SetTickCountOffset(DWORD offset);
// Sleeps `ms` of program time.
void Sleep(DWORD ms);

// File helpers. Paths are bytes, as the file system keeps them (not necessarily UTF-8).
// FileExists is true for existing regular files only (not folders).
bool FileExists(const std::string& path);
bool DeleteFile(const std::string& path);
// Copies from → to; with failIfExists an existing `to` makes it fail. Returns false on any failure,
// with errno saying why.
bool CopyFile(const std::string& from, const std::string& to, bool failIfExists);
// The folder of the running executable, symbolic links resolved, without a trailing separator;
// empty when the system cannot tell.
std::string ExecutableFolder();
