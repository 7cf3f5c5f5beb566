#include "platform/kernel/Kernel.h"

#include "platform/kernel/TimeScale.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct KernelObject {
    virtual ~KernelObject() = default;
    std::mutex lock;
    std::condition_variable changed;
};

struct MutexObject;

// Mutexes a thread owns; marks them abandoned when the thread ends without releasing them.
struct OwnedMutexes {
    std::vector<std::shared_ptr<MutexObject>> list;
    ~OwnedMutexes();
};
thread_local OwnedMutexes tOwned;

struct MutexObject : KernelObject, std::enable_shared_from_this<MutexObject> {
    std::thread::id owner;
    int count = 0;
    bool abandoned = false;

    // Called with `lock` held, when the object is free or already ours.
    DWORD Take()
    {
        if (count++ == 0) {
            owner = std::this_thread::get_id();
            tOwned.list.push_back(shared_from_this());
        }
        if (abandoned) {
            abandoned = false;
            return WAIT_ABANDONED;
        }
        return WAIT_OBJECT_0;
    }
};

OwnedMutexes::~OwnedMutexes()
{
    for (auto& m : list) {
        std::lock_guard<std::mutex> g(m->lock);
        m->owner = {};
        m->count = 0;
        m->abandoned = true;
        m->changed.notify_all();
    }
}

struct EventObject : KernelObject {
    bool manualReset = false;
    bool signalled = false;
};

thread_local DWORD tLastError = ERROR_SUCCESS;

std::mutex gRegistryLock;
std::map<std::string, std::weak_ptr<KernelObject>> gRegistry;

} // namespace

struct KernelHandle {
    std::shared_ptr<KernelObject> object;
};

namespace {

// Finds a live named object, or registers `make()` under the name. Sets the last error.
template <class T, class Make> HANDLE CreateNamed(const char* name, Make make, bool& existed)
{
    existed = false;
    if (!name || !*name) {
        SetLastError(ERROR_SUCCESS);
        return new KernelHandle{make()};
    }
    std::lock_guard<std::mutex> g(gRegistryLock);
    auto it = gRegistry.find(name);
    if (it != gRegistry.end()) {
        if (auto existing = it->second.lock()) {
            if (!std::dynamic_pointer_cast<T>(existing)) {
                SetLastError(ERROR_INVALID_HANDLE);
                return nullptr;
            }
            existed = true;
            SetLastError(ERROR_ALREADY_EXISTS);
            return new KernelHandle{existing};
        }
    }
    auto object = make();
    gRegistry[name] = object;
    SetLastError(ERROR_SUCCESS);
    return new KernelHandle{object};
}

} // namespace

HANDLE CreateMutexA(void*, BOOL initialOwner, const char* name)
{
    bool existed = false;
    HANDLE h = CreateNamed<MutexObject>(
        name, [] { return std::make_shared<MutexObject>(); }, existed);
    if (h && initialOwner && !existed) {
        auto m = std::static_pointer_cast<MutexObject>(h->object);
        std::lock_guard<std::mutex> g(m->lock);
        m->Take();
    }
    return h;
}

HANDLE OpenMutexA(DWORD, BOOL, const char* name)
{
    std::lock_guard<std::mutex> g(gRegistryLock);
    auto it = name ? gRegistry.find(name) : gRegistry.end();
    if (it != gRegistry.end())
        if (auto existing = it->second.lock(); std::dynamic_pointer_cast<MutexObject>(existing)) {
            SetLastError(ERROR_SUCCESS);
            return new KernelHandle{existing};
        }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

BOOL ReleaseMutex(HANDLE h)
{
    auto m = h ? std::dynamic_pointer_cast<MutexObject>(h->object) : nullptr;
    if (!m) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::lock_guard<std::mutex> g(m->lock);
    if (m->count == 0 || m->owner != std::this_thread::get_id()) {
        SetLastError(ERROR_NOT_OWNER);
        return 0;
    }
    if (--m->count == 0) {
        m->owner = {};
        auto& owned = tOwned.list;
        owned.erase(std::find(owned.begin(), owned.end(), m));
        m->changed.notify_one();
    }
    return 1;
}

HANDLE CreateEventA(void*, BOOL manualReset, BOOL initialState, const char* name)
{
    bool existed = false;
    return CreateNamed<EventObject>(
        name,
        [&] {
            auto e = std::make_shared<EventObject>();
            e->manualReset = manualReset;
            e->signalled = initialState;
            return e;
        },
        existed);
}

static BOOL SignalEvent(HANDLE h, bool state)
{
    auto e = h ? std::dynamic_pointer_cast<EventObject>(h->object) : nullptr;
    if (!e) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::lock_guard<std::mutex> g(e->lock);
    e->signalled = state;
    if (state)
        e->manualReset ? e->changed.notify_all() : e->changed.notify_one();
    return 1;
}

BOOL SetEvent(HANDLE h)
{
    return SignalEvent(h, true);
}
BOOL ResetEvent(HANDLE h)
{
    return SignalEvent(h, false);
}

DWORD WaitForSingleObject(HANDLE h, DWORD ms)
{
    if (!h || !h->object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    const bool forever = ms == INFINITE;
    const auto deadline = Clock::now() + (forever ? std::chrono::nanoseconds(0) : timescale::Real(ms));
    auto& object = *h->object;
    std::unique_lock<std::mutex> g(object.lock);

    auto waitFor = [&](auto ready) {
        if (forever) {
            object.changed.wait(g, ready);
            return true;
        }
        return object.changed.wait_until(g, deadline, ready);
    };

    if (auto* m = dynamic_cast<MutexObject*>(&object)) {
        const auto me = std::this_thread::get_id();
        if (!waitFor([&] { return m->count == 0 || m->owner == me; }))
            return WAIT_TIMEOUT;
        return m->Take();
    }
    auto* e = static_cast<EventObject*>(&object);
    if (!waitFor([&] { return e->signalled; }))
        return WAIT_TIMEOUT;
    if (!e->manualReset)
        e->signalled = false;
    return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE h)
{
    if (!h) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    {
        // The registry entry is dropped with the last handle, so the name can be created anew.
        std::lock_guard<std::mutex> g(gRegistryLock);
        std::weak_ptr<KernelObject> weak = h->object;
        h->object.reset();
        for (auto it = gRegistry.begin(); it != gRegistry.end();)
            it = it->second.expired() ? gRegistry.erase(it) : std::next(it);
    }
    delete h;
    return 1;
}

DWORD GetLastError()
{
    return tLastError;
}
void SetLastError(DWORD code)
{
    tLastError = code;
}

namespace {
std::mutex gTickLock;
Clock::time_point gTickBaseReal = Clock::now();
double gTickBaseMs = 0;
double gTickBaseScale = 1;
std::atomic<DWORD> gTickOffset{0};
} // namespace

DWORD GetTickCount()
{
    std::lock_guard<std::mutex> g(gTickLock);
    const auto now = Clock::now();
    const double scale = timescale::Get();
    if (scale != gTickBaseScale) {
        // Rebase so that a change of scale never makes the count jump or run backwards.
        gTickBaseMs += std::chrono::duration<double, std::milli>(now - gTickBaseReal).count() * gTickBaseScale;
        gTickBaseReal = now;
        gTickBaseScale = scale;
    }
    const double ms = gTickBaseMs + std::chrono::duration<double, std::milli>(now - gTickBaseReal).count() * scale;
    return static_cast<DWORD>(static_cast<uint64_t>(ms)) + gTickOffset.load();
}

void SetTickCountOffset(DWORD offset)
{
    gTickOffset.store(offset);
}

void Sleep(DWORD ms)
{
    std::this_thread::sleep_for(timescale::Real(ms));
}

std::string ExecutableFolder()
{
    std::string path(4096, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0)
            return {};
        if (static_cast<size_t>(n) < path.size()) {
            path.resize(static_cast<size_t>(n));
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool FileExists(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

bool DeleteFile(const std::string& path)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ec)) &&
        !std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec)))
        return false;
    return std::filesystem::remove(path, ec);
}

bool CopyFile(const std::string& from, const std::string& to, bool failIfExists)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const auto failed = [](int error) {
        errno = error;
        return false;
    };
    if (!fs::is_regular_file(from, ec))
        return failed(ec ? ec.value() : fs::exists(from, ec) ? EISDIR : ENOENT);
    if (failIfExists && fs::exists(fs::symlink_status(to, ec)))
        return failed(EEXIST);
    // Copy beside the target, flush it to disk, then rename over the target: a failure half way
    // (a full disk) never leaves a truncated file under the target's name.
    const std::string part = to + ".part" + std::to_string(::getpid());
    std::error_code removed;
    if (!fs::copy_file(from, part, fs::copy_options::overwrite_existing, ec) || ec) {
        fs::remove(part, removed);
        return failed(ec ? ec.value() : EIO);
    }
    const int fd = ::open(part.c_str(), O_RDONLY);
    const int error = fd < 0 || ::fsync(fd) != 0 ? errno : 0;
    if (fd >= 0)
        ::close(fd);
    if (error != 0 || (fs::rename(part, to, ec), ec)) {
        fs::remove(part, removed);
        return failed(error != 0 ? error : ec.value());
    }
    return true;
}
