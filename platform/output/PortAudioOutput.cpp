#include "platform/output/PortAudioOutput.h"

#include "platform/kernel/Realtime.h"

#include <portaudio.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace output::portaudio {

namespace {

void SilentAlsaHandler(const char*, int, const char*, int, const char*, ...) {}
void SilentJackHandler(const char*) {}

// Probing a machine without sound makes the library's host layers (ALSA, JACK) print dozens of
// lines to stderr, and later ones for under-runs or a vanished card. Their own message hooks take
// them; nothing else of the process is silenced. The libraries are found at run time, so a build
// without them still links.
void SilenceHostLibraries()
{
    using AlsaHandler = void (*)(const char*, int, const char*, int, const char*, ...);
    using SetAlsaHandler = int (*)(AlsaHandler);
    using SetJackHandler = void (*)(void (*)(const char*));
    if (auto set = reinterpret_cast<SetAlsaHandler>(dlsym(RTLD_DEFAULT, "snd_lib_error_set_handler")))
        set(&SilentAlsaHandler);
    if (auto set = reinterpret_cast<SetJackHandler>(dlsym(RTLD_DEFAULT, "jack_set_error_function")))
        set(&SilentJackHandler);
    if (auto set = reinterpret_cast<SetJackHandler>(dlsym(RTLD_DEFAULT, "jack_set_info_function")))
        set(&SilentJackHandler);
}

// Never destroyed: a device abandoned on a stop thread may end the library after static destruction.
std::mutex& LibraryLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

// One start of the library, shared by the listing and the devices made from it.
class Session {
public:
    // The running start, or a new one when none runs (which reads the devices afresh); null when the
    // library does not start.
    static std::shared_ptr<Session> Get()
    {
        std::lock_guard lock(LibraryLock());
        static auto* current = new std::weak_ptr<Session>;
        if (auto running = current->lock())
            return running;
        SilenceHostLibraries();
        if (Pa_Initialize() != paNoError)
            return nullptr;
        auto session = std::shared_ptr<Session>(new Session);
        *current = session;
        return session;
    }
    ~Session()
    {
        std::lock_guard lock(LibraryLock());
        Pa_Terminate();
    }

    // With `indexes`, each device's library index beside it.
    std::vector<DeviceInfo> Outputs(std::vector<int>* indexes = nullptr) const
    {
        std::vector<DeviceInfo> list;
        std::map<std::string, int> seen;
        const int count = Pa_GetDeviceCount();
        for (int i = 0; i < count; ++i) {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
            if (!info || info->maxOutputChannels < 1)
                continue;
            const std::string name = info->name ? info->name : "";
            const int occurrence = seen[name]++;
            list.push_back(
                {name, NameGuid(name, occurrence), occurrence ? name + "#" + std::to_string(occurrence) : name});
            if (indexes)
                indexes->push_back(i);
        }
        return list;
    }

    // The device of `id` (empty: the default output), or -1.
    int Find(const std::string& id) const
    {
        std::vector<int> indexes;
        const std::vector<DeviceInfo> list = Outputs(&indexes);
        if (list.empty())
            return -1;
        if (id.empty()) {
            const PaDeviceIndex d = Pa_GetDefaultOutputDevice();
            return d == paNoDevice ? indexes.front() : d;
        }
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i].Id == id)
                return indexes[i];
        return -1;
    }

private:
    Session() = default;
};

class PortAudioBackend final : public Backend {
public:
    PortAudioBackend(std::shared_ptr<Session> session, int device) : FSession(std::move(session)), FDevice(device)
    {
        if (const PaDeviceInfo* info = Pa_GetDeviceInfo(device))
            FName = info->name ? info->name : "";
    }
    ~PortAudioBackend() override { Stop(); }

    std::string Name() const override { return FName; }

    bool Open(OutputFormat& format, std::string& error) override
    {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(FDevice);
        if (!info || info->maxOutputChannels < 1) {
            error = "the output device is gone";
            return false;
        }
        PaStreamParameters params{};
        params.device = FDevice;
        params.channelCount = std::min<int>(format.Channels, info->maxOutputChannels);
        params.sampleFormat = format.Bits == 8 ? paUInt8 : paInt16;
        // The channels keep seconds queued, so a safe device latency costs nothing audible.
        params.suggestedLatency = info->defaultHighOutputLatency;
        double rate = format.Rate;
        if (Pa_IsFormatSupported(nullptr, &params, rate) != paFormatIsSupported)
            rate = info->defaultSampleRate;
        format.Channels = static_cast<uint16_t>(params.channelCount);
        format.Rate = static_cast<uint32_t>(rate);
        FFormat = format;
        const PaError e = Pa_OpenStream(&FStream, nullptr, &params, rate, format.PeriodFrames(), paClipOff,
                                        &PortAudioBackend::Callback, this);
        if (e != paNoError) {
            FStream = nullptr;
            error = std::string("cannot open ") + FName + ": " + Pa_GetErrorText(e);
            return false;
        }
        return true;
    }

    bool Start(MixSource& source, uint64_t token, std::string& error) override
    {
        FSource = &source;
        FToken = token;
        FRealtimeAsked = false;
        realtime::Prepare();
        const PaError e = FStream ? Pa_StartStream(FStream) : paBadStreamPtr;
        if (e != paNoError) {
            error = std::string("cannot start ") + FName + ": " + Pa_GetErrorText(e);
            return false;
        }
        FStarted = true;
        return true;
    }

    // The library ends a stream whose device broke (its thread gives up).
    std::string Failure() const override
    {
        if (!FStarted || !FStream)
            return {};
        const PaError active = Pa_IsStreamActive(FStream);
        return active == 1 ? "" : active == 0 ? "the device stopped" : Pa_GetErrorText(active);
    }

    void Stop() override
    {
        if (!FStream)
            return;
        FStarted = false;
        Pa_AbortStream(FStream);
        Pa_CloseStream(FStream);
        FStream = nullptr;
    }

    uint64_t Underflows() const override { return FUnderflows.load(std::memory_order_relaxed); }

private:
    static int Callback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                        PaStreamCallbackFlags flags, void* user)
    {
        auto* self = static_cast<PortAudioBackend*>(user);
        if (!self->FRealtimeAsked) {
            self->FRealtimeAsked = true;
            realtime::RequestForThisThread();
        }
        if (flags & paOutputUnderflow)
            self->FUnderflows.fetch_add(1, std::memory_order_relaxed);
        try {
            if (self->FSource && self->FSource->Render(self->FToken, output, static_cast<uint32_t>(frames)))
                return paContinue;
        } catch (...) {
        }
        std::memset(output, self->FFormat.Bits == 8 ? 0x80 : 0, frames * self->FFormat.BlockAlign());
        return paContinue;
    }

    std::shared_ptr<Session> FSession; // first member: the library outlives the stream
    int FDevice;
    std::string FName;
    PaStream* FStream = nullptr;
    bool FStarted = false; // Start, Stop and Failure never run at once: the supervisor orders them
    OutputFormat FFormat;
    MixSource* FSource = nullptr;
    uint64_t FToken = 0;
    bool FRealtimeAsked = false; // the callback thread's, once Start has set it
    std::atomic<uint64_t> FUnderflows{0};
};

class PortAudioDriver final : public Driver {
public:
    const char* Kind() const override { return "portaudio"; }

    std::optional<std::vector<DeviceInfo>> Devices() override
    {
        const std::shared_ptr<Session> session = Session::Get();
        if (!session)
            return std::nullopt;
        return session->Outputs();
    }

    // A start of the library costs about 25 ms of CPU where it finds nothing (it probes every card
    // and JACK); the supervisor asks every second while it stands in, so after a start that found no
    // device at all the next start waits NoDeviceRescanMs.
    std::unique_ptr<Backend> Make(const std::string& id) override
    {
        using Clock = std::chrono::steady_clock;
        {
            std::lock_guard lock(FLock);
            if (FNothingUntil > Clock::now())
                return nullptr;
        }
        std::shared_ptr<Session> session = Session::Get();
        if (session && session->Outputs().empty()) {
            std::lock_guard lock(FLock);
            FNothingUntil = Clock::now() + std::chrono::milliseconds(NoDeviceRescanMs);
        }
        const int device = session ? session->Find(id) : -1;
        if (device < 0)
            return nullptr;
        return std::make_unique<PortAudioBackend>(std::move(session), device);
    }

private:
    static constexpr int NoDeviceRescanMs = 5000;
    std::mutex FLock;
    std::chrono::steady_clock::time_point FNothingUntil{};
};

} // namespace

std::unique_ptr<Driver> MakeDriver()
{
    return std::make_unique<PortAudioDriver>();
}

} // namespace output::portaudio
