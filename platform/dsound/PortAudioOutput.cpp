#include "platform/dsound/PortAudioOutput.h"

#include <portaudio.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace dsound::portaudio {

namespace {

// Probing a machine without sound makes the library's host layers print dozens of lines to
// stderr; while the library starts, opens or stops, stderr goes to /dev/null. Other threads'
// messages in that short window are lost with them.
class QuietStderr {
public:
    QuietStderr()
    {
        std::fflush(stderr);
        FSaved = dup(STDERR_FILENO);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (FSaved >= 0 && null >= 0)
            dup2(null, STDERR_FILENO);
        if (null >= 0)
            close(null);
    }
    ~QuietStderr()
    {
        if (FSaved >= 0) {
            dup2(FSaved, STDERR_FILENO);
            close(FSaved);
        }
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int FSaved = -1;
};

void SilentAlsaHandler(const char*, int, const char*, int, const char*, ...) {}

// Later ALSA complaints (under-runs, a vanished card) are dropped too. The sound library is found
// at run time, so a build without it still links.
void SilenceAlsa()
{
    using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
    using SetHandler = int (*)(Handler);
    if (auto set = reinterpret_cast<SetHandler>(dlsym(RTLD_DEFAULT, "snd_lib_error_set_handler")))
        set(&SilentAlsaHandler);
}

class PortAudioBackend final : public Backend {
public:
    explicit PortAudioBackend(int device) : FDevice(device)
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
        QuietStderr quiet;
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

    void Start(Engine& engine, uint64_t token) override
    {
        FEngine = &engine;
        FToken = token;
        if (FStream) {
            QuietStderr quiet;
            Pa_StartStream(FStream);
        }
    }

    void Stop() override
    {
        if (!FStream)
            return;
        QuietStderr quiet;
        Pa_AbortStream(FStream);
        Pa_CloseStream(FStream);
        FStream = nullptr;
    }

private:
    static int Callback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                        PaStreamCallbackFlags, void* user)
    {
        auto* self = static_cast<PortAudioBackend*>(user);
        try {
            if (self->FEngine && self->FEngine->Render(self->FToken, output, static_cast<uint32_t>(frames)))
                return paContinue;
        } catch (...) {
        }
        std::memset(output, self->FFormat.Bits == 8 ? 0x80 : 0, frames * self->FFormat.BlockAlign());
        return paContinue;
    }

    int FDevice;
    std::string FName;
    PaStream* FStream = nullptr;
    OutputFormat FFormat;
    Engine* FEngine = nullptr;
    uint64_t FToken = 0;
};

} // namespace

bool Startup()
{
    PaError e;
    {
        QuietStderr quiet;
        e = Pa_Initialize();
    }
    if (e != paNoError)
        return false;
    SilenceAlsa();
    return true;
}

void Shutdown()
{
    QuietStderr quiet;
    Pa_Terminate();
}

std::vector<DeviceInfo> OutputDevices()
{
    std::vector<DeviceInfo> list;
    std::map<std::string, int> seen;
    const int count = Pa_GetDeviceCount();
    for (int i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (!info || info->maxOutputChannels < 1)
            continue;
        const std::string name = info->name ? info->name : "";
        list.push_back({name, NameGuid(name, seen[name]++), i});
    }
    return list;
}

int DefaultOutput()
{
    const PaDeviceIndex i = Pa_GetDefaultOutputDevice();
    return i == paNoDevice ? -1 : i;
}

std::unique_ptr<Backend> MakeBackend(int deviceIndex)
{
    return std::make_unique<PortAudioBackend>(deviceIndex);
}

} // namespace dsound::portaudio
