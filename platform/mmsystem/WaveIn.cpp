// The virtual card's wave-in device: reads the sound output's loopback, applies the recording
// input's selection and level, converts to the capture format and fills the queued buffers.
#include "platform/output/Loopback.h"
#include "platform/kernel/Realtime.h"
#include "platform/mmsystem/CardState.h"
#include "platform/mmsystem/VirtualCard.h"
#include "platform/ui/HiddenWindow.h"

#include <samplerate.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

namespace mmsystem {

namespace {

// Frames taken from the loopback per step of the capture thread.
constexpr size_t StepFrames = 2048;
// How often the capture thread looks at the loopback. The engine renders 10 ms periods and the ring
// holds seconds, while capture buffers complete once a second: fewer, larger steps cost less.
constexpr auto PollInterval = std::chrono::milliseconds(50);

class WaveInDevice {
public:
    WaveInDevice(const WAVEFORMATEX& format, THiddenWindow* window, std::unique_ptr<output::LoopbackReader> reader)
        : FFormat(format), FWindow(window), FReader(std::move(reader))
    {
        FThread = std::thread([this] {
            realtime::NameThisThread("duodeck-wavein");
            Loop();
        });
    }
    ~WaveInDevice()
    {
        {
            std::lock_guard lock(FLock);
            FQuit = true;
        }
        FWake.notify_all();
        FThread.join();
        if (FConverter)
            src_delete(FConverter);
    }

    HWAVEIN Handle() { return reinterpret_cast<HWAVEIN>(this); }
    THiddenWindow* Window() const { return FWindow; }

    MMRESULT Add(WAVEHDR* h)
    {
        std::lock_guard lock(FLock);
        if (!(h->dwFlags & WHDR_PREPARED))
            return WAVERR_UNPREPARED;
        if (h->dwFlags & WHDR_INQUEUE)
            return WAVERR_STILLPLAYING;
        if (h->dwBufferLength < FFormat.nBlockAlign || !h->lpData)
            return MMSYSERR_INVALPARAM;
        h->dwFlags = (h->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
        h->dwBytesRecorded = 0;
        FQueue.push_back(h);
        return MMSYSERR_NOERROR;
    }
    bool Queued(WAVEHDR* h)
    {
        std::lock_guard lock(FLock);
        return std::find(FQueue.begin(), FQueue.end(), h) != FQueue.end();
    }
    void Start()
    {
        std::lock_guard lock(FLock);
        if (FStarted)
            return;
        Pump(); // drops what was rendered while stopped
        FStarted = true;
    }
    void Stop(bool reset)
    {
        std::lock_guard lock(FLock);
        Pump(); // everything rendered before this call belongs to the capture
        FStarted = false;
        if (reset) {
            while (!FQueue.empty())
                CompleteFront();
        } else if (!FQueue.empty() && FQueue.front()->dwBytesRecorded > 0) {
            CompleteFront();
        }
    }
    bool Busy()
    {
        std::lock_guard lock(FLock);
        return !FQueue.empty();
    }
    void Drain()
    {
        std::lock_guard lock(FLock);
        Pump();
    }

private:
    void Loop()
    {
        std::unique_lock lock(FLock);
        while (!FQuit) {
            Pump();
            FWake.wait_for(lock, PollInterval);
        }
    }

    // Takes in everything the loopback holds (lock held).
    void Pump()
    {
        const output::OutputFormat in = FReader->Format();
        if (!(in == FSource))
            Reconfigure(in);
        const InputGain gain = FStarted ? Card::Instance().RecordingGain() : InputGain{};
        const size_t align = in.BlockAlign();
        FRaw.resize(StepFrames * align);
        for (;;) {
            const size_t frames = FReader->Read(FRaw.data(), StepFrames);
            if (frames == 0)
                break;
            if (FStarted)
                Process(frames, gain);
        }
    }

    void Reconfigure(const output::OutputFormat& in)
    {
        FSource = in;
        if (FConverter) {
            src_delete(FConverter);
            FConverter = nullptr;
        }
        if (in.Rate != FFormat.nSamplesPerSec) {
            int error = 0;
            // The quality the output engine resamples with: the mix gains nothing from more.
            FConverter = src_new(SRC_SINC_FASTEST, FFormat.nChannels, &error);
            FRatio = double(FFormat.nSamplesPerSec) / in.Rate;
        }
    }

    void Process(size_t frames, const InputGain& gain)
    {
        const int outCh = FFormat.nChannels;
        const int inCh = FSource.Channels;
        FIn.resize(frames * outCh);
        for (size_t f = 0; f < frames; ++f) {
            float l, r;
            if (FSource.Bits == 16) {
                const auto* s = reinterpret_cast<const int16_t*>(FRaw.data()) + f * inCh;
                l = s[0] / 32768.0f;
                r = inCh > 1 ? s[1] / 32768.0f : l;
            } else {
                const uint8_t* s = FRaw.data() + f * inCh;
                l = (int(s[0]) - 128) / 128.0f;
                r = inCh > 1 ? (int(s[1]) - 128) / 128.0f : l;
            }
            if (!gain.Mix)
                l = r = 0.0f;
            l *= gain.Left;
            r *= gain.Right;
            if (outCh == 2) {
                FIn[2 * f] = l;
                FIn[2 * f + 1] = r;
            } else {
                FIn[f] = (l + r) * 0.5f;
            }
        }
        if (!FConverter) {
            Deliver(FIn.data(), frames);
            return;
        }
        FOut.resize((static_cast<size_t>(frames * FRatio) + 64) * outCh);
        SRC_DATA data{};
        data.data_in = FIn.data();
        data.input_frames = static_cast<long>(frames);
        data.src_ratio = FRatio;
        while (data.input_frames > 0) {
            data.data_out = FOut.data();
            data.output_frames = static_cast<long>(FOut.size() / outCh);
            if (src_process(FConverter, &data) != 0)
                return;
            Deliver(FOut.data(), static_cast<size_t>(data.output_frames_gen));
            if (data.input_frames_used == 0 && data.output_frames_gen == 0)
                break;
            data.data_in += data.input_frames_used * outCh;
            data.input_frames -= data.input_frames_used;
        }
    }

    // Writes float frames into the queued buffers; what finds no buffer is lost, as on a card.
    void Deliver(const float* frames, size_t count)
    {
        const size_t align = FFormat.nBlockAlign;
        const int ch = FFormat.nChannels;
        while (count > 0 && !FQueue.empty()) {
            WAVEHDR* h = FQueue.front();
            const size_t room = (h->dwBufferLength - h->dwBytesRecorded) / align;
            const size_t n = std::min(room, count);
            auto* dst = reinterpret_cast<uint8_t*>(h->lpData) + h->dwBytesRecorded;
            for (size_t i = 0; i < n * ch; ++i) {
                const float x = frames[i];
                if (FFormat.wBitsPerSample == 16) {
                    const float v = std::clamp(x * 32768.0f, -32768.0f, 32767.0f);
                    const auto s = static_cast<int16_t>(std::lrint(v));
                    std::memcpy(dst + 2 * i, &s, 2);
                } else {
                    const float v = std::clamp(x * 128.0f, -128.0f, 127.0f);
                    dst[i] = static_cast<uint8_t>(std::lrint(v) + 128);
                }
            }
            h->dwBytesRecorded += static_cast<DWORD>(n * align);
            frames += n * ch;
            count -= n;
            if (h->dwBufferLength - h->dwBytesRecorded < align)
                CompleteFront();
        }
    }

    void CompleteFront()
    {
        WAVEHDR* h = FQueue.front();
        FQueue.pop_front();
        h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        if (FWindow)
            FWindow->PostMessage(MM_WIM_DATA, reinterpret_cast<WPARAM>(this), reinterpret_cast<LPARAM>(h));
    }

    const WAVEFORMATEX FFormat;
    THiddenWindow* const FWindow;
    std::unique_ptr<output::LoopbackReader> FReader;

    std::mutex FLock; // guards everything below
    std::condition_variable FWake;
    std::thread FThread;
    bool FQuit = false;
    bool FStarted = false;
    std::deque<WAVEHDR*> FQueue;
    output::OutputFormat FSource{0, 0, 0};
    SRC_STATE* FConverter = nullptr;
    double FRatio = 1.0;
    std::vector<uint8_t> FRaw;
    std::vector<float> FIn, FOut;
};

std::atomic<int> WaveInDevices{1};
std::mutex DevicesLock; // guards OpenDevices (taken before a device's own lock)
std::vector<WaveInDevice*> OpenDevices;

WaveInDevice* Find(HWAVEIN handle)
{
    for (WaveInDevice* d : OpenDevices)
        if (d->Handle() == handle)
            return d;
    return nullptr;
}

bool ValidFormat(const WAVEFORMATEX* f)
{
    return f && f->wFormatTag == WAVE_FORMAT_PCM && (f->nChannels == 1 || f->nChannels == 2) &&
           (f->wBitsPerSample == 8 || f->wBitsPerSample == 16) && f->nSamplesPerSec >= 1000 &&
           f->nSamplesPerSec <= 192000 && f->nBlockAlign == f->nChannels * f->wBitsPerSample / 8;
}

} // namespace

void SetWaveInDevices(int count)
{
    WaveInDevices.store(count > 0 ? 1 : 0);
}

void DrainCapture()
{
    std::lock_guard lock(DevicesLock);
    for (WaveInDevice* d : OpenDevices)
        d->Drain();
}

} // namespace mmsystem

using namespace mmsystem;

UINT waveInGetNumDevs()
{
    return static_cast<UINT>(WaveInDevices.load());
}

UINT waveOutGetNumDevs()
{
    return 1;
}

MMRESULT waveInGetDevCapsA(UINT_PTR deviceID, WAVEINCAPSA* caps, UINT size)
{
    if (deviceID != 0 && deviceID != WAVE_MAPPER)
        return MMSYSERR_BADDEVICEID;
    if (!caps || size < sizeof(WAVEINCAPSA))
        return MMSYSERR_INVALPARAM;
    std::memset(caps, 0, sizeof(*caps));
    std::strncpy(caps->szPname, "DuoDeck Virtual Card", sizeof(caps->szPname) - 1);
    caps->dwFormats = 0xFFFFF;
    caps->wChannels = 2;
    return MMSYSERR_NOERROR;
}

MMRESULT waveInOpen(HWAVEIN* handle, UINT deviceID, const WAVEFORMATEX* format, DWORD_PTR callback, DWORD_PTR,
                    DWORD flags)
{
    if ((deviceID != 0 && deviceID != WAVE_MAPPER) || waveInGetNumDevs() == 0)
        return MMSYSERR_BADDEVICEID;
    if (!ValidFormat(format))
        return WAVERR_BADFORMAT;
    if (flags & WAVE_FORMAT_QUERY)
        return MMSYSERR_NOERROR;
    const DWORD kind = flags & CALLBACK_TYPEMASK;
    if (!handle || (kind != CALLBACK_NULL && kind != CALLBACK_WINDOW))
        return MMSYSERR_INVALPARAM;
    // The input is paced by the sound output: opening the tap starts a device if none runs yet.
    std::unique_ptr<output::LoopbackReader> reader = output::Loopback::Instance().Open();
    if (!reader)
        return MMSYSERR_ALLOCATED;
    auto* window = kind == CALLBACK_WINDOW ? reinterpret_cast<THiddenWindow*>(callback) : nullptr;
    auto* device = new WaveInDevice(*format, window, std::move(reader));
    {
        std::lock_guard lock(DevicesLock);
        OpenDevices.push_back(device);
    }
    *handle = device->Handle();
    if (window)
        window->PostMessage(MM_WIM_OPEN, reinterpret_cast<WPARAM>(*handle), 0);
    return MMSYSERR_NOERROR;
}

MMRESULT waveInClose(HWAVEIN handle)
{
    WaveInDevice* device;
    {
        std::lock_guard lock(DevicesLock);
        device = Find(handle);
        if (!device)
            return MMSYSERR_INVALHANDLE;
        if (device->Busy())
            return WAVERR_STILLPLAYING;
        OpenDevices.erase(std::find(OpenDevices.begin(), OpenDevices.end(), device));
    }
    THiddenWindow* window = device->Window();
    delete device;
    if (window)
        window->PostMessage(MM_WIM_CLOSE, reinterpret_cast<WPARAM>(handle), 0);
    return MMSYSERR_NOERROR;
}

MMRESULT waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, UINT size)
{
    std::lock_guard lock(DevicesLock);
    if (!Find(handle))
        return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(WAVEHDR) || !header->lpData)
        return MMSYSERR_INVALPARAM;
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveInUnprepareHeader(HWAVEIN handle, WAVEHDR* header, UINT size)
{
    std::lock_guard lock(DevicesLock);
    WaveInDevice* device = Find(handle);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    if (device->Queued(header))
        return WAVERR_STILLPLAYING;
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, UINT size)
{
    std::lock_guard lock(DevicesLock);
    WaveInDevice* device = Find(handle);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    return device->Add(header);
}

MMRESULT waveInStart(HWAVEIN handle)
{
    std::lock_guard lock(DevicesLock);
    WaveInDevice* device = Find(handle);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    device->Start();
    return MMSYSERR_NOERROR;
}

MMRESULT waveInStop(HWAVEIN handle)
{
    std::lock_guard lock(DevicesLock);
    WaveInDevice* device = Find(handle);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    device->Stop(false);
    return MMSYSERR_NOERROR;
}

MMRESULT waveInReset(HWAVEIN handle)
{
    std::lock_guard lock(DevicesLock);
    WaveInDevice* device = Find(handle);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    device->Stop(true);
    return MMSYSERR_NOERROR;
}

MMRESULT waveInGetErrorTextA(MMRESULT error, char* text, UINT size)
{
    const char* message = nullptr;
    switch (error) {
    case MMSYSERR_NOERROR:
        message = "The specified command was carried out.";
        break;
    case MMSYSERR_ERROR:
        message = "Undefined external error.";
        break;
    case MMSYSERR_BADDEVICEID:
        message = "A device ID has been used that is out of range for your system.";
        break;
    case MMSYSERR_ALLOCATED:
        message = "The specified device is already in use.";
        break;
    case MMSYSERR_INVALHANDLE:
        message = "The device handle is invalid.";
        break;
    case MMSYSERR_NODRIVER:
        message = "There is no driver installed on your system.";
        break;
    case MMSYSERR_NOMEM:
        message = "There is not enough memory available for this task.";
        break;
    case MMSYSERR_INVALFLAG:
        message = "An invalid flag was passed to a system function.";
        break;
    case MMSYSERR_INVALPARAM:
        message = "An invalid parameter was passed to a system function.";
        break;
    case WAVERR_BADFORMAT:
        message = "The specified format is not supported or cannot be translated.";
        break;
    case WAVERR_STILLPLAYING:
        message = "Cannot perform this operation while media data is still playing.";
        break;
    case WAVERR_UNPREPARED:
        message = "The wave header was not prepared.";
        break;
    default:
        break;
    }
    if (!text || size == 0)
        return MMSYSERR_INVALPARAM;
    if (!message) {
        text[0] = 0;
        return MMSYSERR_BADERRNUM;
    }
    std::strncpy(text, message, size - 1);
    text[size - 1] = 0;
    return MMSYSERR_NOERROR;
}
