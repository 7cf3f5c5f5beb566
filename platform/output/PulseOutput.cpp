#include "platform/output/PulseOutput.h"

#include "platform/kernel/Realtime.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include <unistd.h>

namespace output::pulse {

namespace {

using Clock = std::chrono::steady_clock;

uint32_t Frames(const OutputFormat& format, int ms)
{
    return std::max<uint32_t>(4, format.Rate * ms / 1000);
}

// The room's stream, as the server lists it: named so by this process.
constexpr const char* RoomStreamName = "DuoDeck mix";

// `pid`: this process's id as text. Runs on a loop thread, so nothing is allocated.
bool IsOurRoomStream(const pa_sink_input_info* info, const std::string& pid)
{
    if (!info || !info->proplist)
        return false;
    const char* name = pa_proplist_gets(info->proplist, PA_PROP_MEDIA_NAME);
    const char* process = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
    return name && process && std::strcmp(name, RoomStreamName) == 0 && pid == process;
}

// One connection to the server on a threaded main loop of its own. The main loop's lock guards every
// call into the library; callbacks run on the loop's thread with that lock held.
class Connection {
public:
    Connection() = default;
    ~Connection() { Close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects within ConnectTimeoutMs; false with `error` otherwise. Never starts a server.
    bool Open(std::string& error)
    {
        FLoop = pa_threaded_mainloop_new();
        if (!FLoop) {
            error = "cannot create the sound server connection";
            return false;
        }
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "DuoDeck");
        pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "duodeck");
        pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, "duodeck");
        FContext = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(FLoop), "DuoDeck", props);
        pa_proplist_free(props);
        if (!FContext) {
            error = "cannot create the sound server connection";
            return false;
        }
        pa_context_set_state_callback(FContext, &Connection::ContextState, this);
        if (pa_context_connect(FContext, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
            pa_threaded_mainloop_start(FLoop) < 0) {
            error = std::string("no sound server: ") + pa_strerror(pa_context_errno(FContext));
            return false;
        }
        FRunning = true;
        Lock lock(*this);
        if (!WaitUntil([this] {
                return pa_context_get_state(FContext) != PA_CONTEXT_CONNECTING &&
                       pa_context_get_state(FContext) != PA_CONTEXT_AUTHORIZING &&
                       pa_context_get_state(FContext) != PA_CONTEXT_SETTING_NAME;
            })) {
            error = "the sound server does not answer";
            return false;
        }
        if (pa_context_get_state(FContext) != PA_CONTEXT_READY) {
            error = std::string("no sound server: ") + pa_strerror(pa_context_errno(FContext));
            return false;
        }
        return true;
    }

    // Disconnects without waiting for the server: it may be gone or stopped.
    void Close()
    {
        if (FLoop && FRunning) {
            pa_threaded_mainloop_lock(FLoop);
            DropStreamLocked();
            pa_context_set_state_callback(FContext, nullptr, nullptr);
            pa_context_set_subscribe_callback(FContext, nullptr, nullptr);
            pa_context_disconnect(FContext);
            pa_threaded_mainloop_unlock(FLoop);
            pa_threaded_mainloop_stop(FLoop);
            FRunning = false;
        }
        DropStreamLocked();
        if (FContext) {
            pa_context_set_state_callback(FContext, nullptr, nullptr);
            pa_context_unref(FContext);
            FContext = nullptr;
        }
        if (FLoop) {
            pa_threaded_mainloop_free(FLoop);
            FLoop = nullptr;
        }
    }

    // The main loop's lock, for the scope of one block of library calls.
    class Lock {
    public:
        explicit Lock(Connection& c) : FLoop(c.FLoop) { pa_threaded_mainloop_lock(FLoop); }
        ~Lock() { pa_threaded_mainloop_unlock(FLoop); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* FLoop;
    };

    // Runs `done` until it holds or ConnectTimeoutMs has passed; the lock is held, and released
    // while sleeping so that the loop's thread can work.
    template <class Done> bool WaitUntil(Done done)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ConnectTimeoutMs);
        while (!done()) {
            if (Clock::now() >= deadline)
                return false;
            pa_threaded_mainloop_unlock(FLoop);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            pa_threaded_mainloop_lock(FLoop);
        }
        return true;
    }

    // Waits (lock held) for an operation to finish; false when it did not in time.
    bool Finish(pa_operation* op)
    {
        if (!op)
            return false;
        const bool done = WaitUntil([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
        if (!done)
            pa_operation_cancel(op);
        pa_operation_unref(op);
        return done;
    }

    pa_context* Context() const { return FContext; }
    pa_stream*& Stream() { return FStream; }
    // Why the connection or the stream failed (the library's sentence, a static string); null while
    // it has not. Written on the loop's thread, read by the supervisor.
    const char* Failure() const { return FFailure.load(std::memory_order_acquire); }
    void MarkFailed() { MarkFailed(pa_strerror(pa_context_errno(FContext))); }
    void MarkFailed(const char* why)
    {
        const char* none = nullptr;
        FFailure.compare_exchange_strong(none, why ? why : "failed", std::memory_order_acq_rel);
    }

private:
    static void ContextState(pa_context* c, void* user)
    {
        const pa_context_state_t s = pa_context_get_state(c);
        if (s == PA_CONTEXT_FAILED || s == PA_CONTEXT_TERMINATED)
            static_cast<Connection*>(user)->MarkFailed();
    }

    void DropStreamLocked()
    {
        if (!FStream)
            return;
        pa_stream_set_write_callback(FStream, nullptr, nullptr);
        pa_stream_set_state_callback(FStream, nullptr, nullptr);
        pa_stream_set_underflow_callback(FStream, nullptr, nullptr);
        pa_stream_set_moved_callback(FStream, nullptr, nullptr);
        if (pa_stream_get_state(FStream) == PA_STREAM_READY || pa_stream_get_state(FStream) == PA_STREAM_CREATING)
            pa_stream_disconnect(FStream);
        pa_stream_unref(FStream);
        FStream = nullptr;
    }

    pa_threaded_mainloop* FLoop = nullptr;
    pa_context* FContext = nullptr;
    pa_stream* FStream = nullptr;
    bool FRunning = false;
    std::atomic<const char*> FFailure{nullptr};
};

struct ServerInfo {
    std::string Name;
    std::string DefaultSink;
};

// What the server says of itself; empty when it does not answer in time. The connection's lock is held.
ServerInfo AskServer(Connection& connection)
{
    ServerInfo said;
    connection.Finish(pa_context_get_server_info(
        connection.Context(),
        [](pa_context*, const pa_server_info* info, void* user) {
            auto* s = static_cast<ServerInfo*>(user);
            if (info && info->server_name)
                s->Name = info->server_name;
            if (info && info->default_sink_name)
                s->DefaultSink = info->default_sink_name;
        },
        &said));
    return said;
}

class PulseBackend final : public Backend {
public:
    PulseBackend(std::string sink, bool headphones) : FSink(std::move(sink)), FHeadphones(headphones) {}
    ~PulseBackend() override { Stop(); }

    std::string Name() const override
    {
        if (FSink.empty())
            return "sound server (default output)";
        return "sound server (" + (FDescription.empty() ? FSink : FDescription) + ")";
    }

    bool Open(OutputFormat& format, std::string& error) override
    {
        Stop();
        FHalted = FRoomHere = false;
        FConnection = std::make_unique<Connection>();
        if (!FConnection->Open(error)) {
            FConnection.reset();
            return false;
        }
        if (!FSink.empty() && !FindSink()) {
            error = "the sound server has no sink " + FSink;
            FConnection.reset();
            return false;
        }
        if (FHeadphones && !FSink.empty() && !WatchSink()) {
            error = "the room plays on this sink";
            FConnection.reset();
            return false;
        }
        FLatencyMs = OnPipeWire() ? PipeWireLatencyMs : TargetLatencyMs;
        // The server converts rate and channels itself, so the requested format stands.
        FFormat = format;
        return true;
    }

    bool Start(MixSource& source, uint64_t token, std::string& error) override
    {
        if (!FConnection) {
            error = "not connected";
            return false;
        }
        FSource = &source;
        FToken = token;
        FRealtimeAsked = false;
        realtime::Prepare();
        Connection::Lock lock(*FConnection);
        pa_sample_spec sampleFormat{};
        sampleFormat.format = FFormat.Bits == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
        sampleFormat.rate = FFormat.Rate;
        sampleFormat.channels = static_cast<uint8_t>(FFormat.Channels);
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "music");
        const char* name = FHeadphones ? "DuoDeck headphones" : RoomStreamName;
        pa_proplist_sets(props, PA_PROP_MEDIA_NAME, name);
        pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, "duodeck");
        if (FHeadphones && !FSink.empty()) {
            // For PipeWire's session manager: this sink only, and never another one when it goes
            // (the default sink it would pick plays to the room). Its pulse service derives the same
            // from the device name and PA_STREAM_DONT_MOVE; said here in its own words as well.
            pa_proplist_sets(props, "target.object", FSink.c_str());
            pa_proplist_sets(props, "node.dont-reconnect", "true");
        }
        pa_stream*& stream = FConnection->Stream();
        stream = pa_stream_new_with_proplist(FConnection->Context(), name, &sampleFormat, nullptr, props);
        pa_proplist_free(props);
        if (!stream) {
            error = pa_strerror(pa_context_errno(FConnection->Context()));
            return false;
        }
        pa_stream_set_state_callback(stream, &PulseBackend::StreamState, this);
        pa_stream_set_write_callback(stream, &PulseBackend::WriteRequest, this);
        pa_stream_set_underflow_callback(stream, &PulseBackend::Underflow, this);
        if (FHeadphones)
            pa_stream_set_moved_callback(stream, &PulseBackend::Moved, this);
        const uint32_t align = FFormat.BlockAlign();
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<uint32_t>(-1);
        // With ADJUST_LATENCY tlength is the whole latency, the sink's included; the sink gets
        // (tlength - 2 minreq) / 2 of it.
        attr.tlength = Frames(FFormat, FLatencyMs) * align;
        attr.minreq = Frames(FFormat, FetchMs) * align;
        attr.prebuf = static_cast<uint32_t>(-1);
        attr.fragsize = static_cast<uint32_t>(-1);
        // A headphones stream is never moved to another sink by the server: it would play the cue to
        // the room.
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | (FHeadphones ? PA_STREAM_DONT_MOVE : 0));
        if (pa_stream_connect_playback(stream, FSink.empty() ? nullptr : FSink.c_str(), &attr, flags, nullptr,
                                       nullptr) < 0) {
            error = pa_strerror(pa_context_errno(FConnection->Context()));
            return false;
        }
        return true;
    }

    void Stop() override
    {
        if (!FConnection)
            return;
        FConnection->Close();
        FConnection.reset();
    }

    std::string Failure() const override
    {
        const char* why = FConnection ? FConnection->Failure() : nullptr;
        return why ? why : "";
    }

    uint32_t FramesPerRender(const OutputFormat& format) const override { return Frames(format, TargetLatencyMs); }
    double LatencyMs() const override { return FLatencyMs; }
    uint64_t Underflows() const override { return FUnderflows.load(std::memory_order_relaxed); }

    // Corked, the stream asks for nothing and the sink may idle and suspend; uncorked, it asks for
    // its whole buffer and plays once that is there.
    void SetIdle(bool idle) override
    {
        if (!FConnection)
            return;
        Connection::Lock lock(*FConnection);
        if (pa_stream* s = FConnection->Stream(); s && pa_stream_get_state(s) == PA_STREAM_READY) {
            if (pa_operation* op = pa_stream_cork(s, idle ? 1 : 0, nullptr, nullptr))
                pa_operation_unref(op);
        }
    }

private:
    // PipeWire's pulse service names itself "PulseAudio (on PipeWire x.y.z)".
    bool OnPipeWire()
    {
        Connection::Lock lock(*FConnection);
        return AskServer(*FConnection).Name.find("PipeWire") != std::string::npos;
    }

    // The sink's description for the console line; false when the server has no such sink.
    bool FindSink()
    {
        Connection::Lock lock(*FConnection);
        FDescription.clear();
        bool found = false;
        struct Seen {
            std::string* Description;
            uint32_t* Index;
            bool* Found;
        } seen{&FDescription, &FSinkIndex, &found};
        FConnection->Finish(pa_context_get_sink_info_by_name(
            FConnection->Context(), FSink.c_str(),
            [](pa_context*, const pa_sink_info* info, int eol, void* user) {
                auto* s = static_cast<Seen*>(user);
                if (eol || !info)
                    return;
                *s->Found = true;
                *s->Index = info->index;
                *s->Description = info->description ? info->description : info->name;
            },
            &seen));
        return found;
    }

    static void StreamState(pa_stream* s, void* user)
    {
        auto* self = static_cast<PulseBackend*>(user);
        const pa_stream_state_t state = pa_stream_get_state(s);
        if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
            self->FHalted = true;
            self->FConnection->MarkFailed();
        }
    }

    // The headphones: from here on nothing more is written, and the stream is disconnected at once,
    // so that the server also drops what it still holds rather than play it wherever it went.
    // Loop thread, lock held.
    void HaltLocked(const char* why)
    {
        if (FHalted)
            return;
        FHalted = true;
        FConnection->MarkFailed(why);
        pa_stream* s = FConnection->Stream();
        if (s && (pa_stream_get_state(s) == PA_STREAM_READY || pa_stream_get_state(s) == PA_STREAM_CREATING))
            pa_stream_disconnect(s);
    }

    // The headphones: false when the room's stream plays on our sink. Subscribes first, so that the
    // room's stream arriving there later is seen too.
    bool WatchSink()
    {
        Connection::Lock lock(*FConnection);
        pa_context* c = FConnection->Context();
        pa_context_set_subscribe_callback(c, &PulseBackend::Changed, this);
        FConnection->Finish(pa_context_subscribe(
            c, static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SINK_INPUT),
            nullptr, nullptr));
        FRoomHere = false;
        FConnection->Finish(pa_context_get_sink_input_info_list(c, &PulseBackend::RoomCheck, this));
        return !FRoomHere;
    }

    static void RoomCheck(pa_context*, const pa_sink_input_info* info, int eol, void* user)
    {
        auto* self = static_cast<PulseBackend*>(user);
        if (eol || !info || info->sink != self->FSinkIndex || !IsOurRoomStream(info, self->FPid))
            return;
        self->FRoomHere = true;
        self->HaltLocked("the room plays on this sink");
    }

    // Loop thread, lock held: our sink went away, or a stream (the room's?) came or moved.
    static void Changed(pa_context* c, pa_subscription_event_type_t event, uint32_t index, void* user)
    {
        auto* self = static_cast<PulseBackend*>(user);
        const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SINK && type == PA_SUBSCRIPTION_EVENT_REMOVE &&
            index == self->FSinkIndex) {
            self->HaltLocked("the headphones sink is gone");
        } else if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT && type != PA_SUBSCRIPTION_EVENT_REMOVE) {
            if (pa_operation* op = pa_context_get_sink_input_info(c, index, &PulseBackend::RoomCheck, user))
                pa_operation_unref(op);
        }
    }

    static void Moved(pa_stream*, void* user)
    {
        static_cast<PulseBackend*>(user)->HaltLocked("the server moved the headphones stream");
    }

    static void Underflow(pa_stream*, void* user)
    {
        static_cast<PulseBackend*>(user)->FUnderflows.fetch_add(1, std::memory_order_relaxed);
    }

    // The render thread: the main loop's own, with its lock held. Fills exactly what the server
    // asks for, in the server's memory, in pieces no larger than FramesPerRender.
    static void WriteRequest(pa_stream* s, size_t bytes, void* user)
    {
        auto* self = static_cast<PulseBackend*>(user);
        if (!self->FRealtimeAsked) {
            self->FRealtimeAsked = true;
            realtime::RequestForThisThread();
        }
        // The headphones: not a block more once the stream is not on the chosen sink.
        if (self->FHeadphones && !self->FSink.empty() && !self->FHalted &&
            pa_stream_get_device_index(s) != self->FSinkIndex)
            self->HaltLocked("the headphones stream is not on its sink");
        if (self->FHalted)
            return;
        const size_t align = self->FFormat.BlockAlign();
        const size_t most = size_t(self->FramesPerRender(self->FFormat)) * align;
        while (bytes >= align) {
            size_t n = std::min(bytes, most) / align * align;
            void* data = nullptr;
            if (pa_stream_begin_write(s, &data, &n) < 0)
                return;
            if (!data || n < align) {
                pa_stream_cancel_write(s);
                return;
            }
            n = n / align * align;
            const auto frames = static_cast<uint32_t>(n / align);
            bool rendered = false;
            try {
                rendered = self->FSource && self->FSource->Render(self->FToken, data, frames);
            } catch (...) {
            }
            if (!rendered)
                std::memset(data, self->FFormat.Bits == 8 ? 0x80 : 0, n);
            if (pa_stream_write(s, data, n, nullptr, 0, PA_SEEK_RELATIVE) < 0)
                return;
            bytes -= std::min(bytes, n);
        }
    }

    std::string FSink;
    std::string FDescription;
    bool FHeadphones;
    uint32_t FSinkIndex = PA_INVALID_INDEX; // FSink's, as Open found it
    const std::string FPid = std::to_string(getpid());
    // Loop thread (or under the loop's lock): the headphones stream may write no more; the room's
    // stream was found on FSink.
    bool FHalted = false;
    bool FRoomHere = false;
    std::unique_ptr<Connection> FConnection;
    OutputFormat FFormat;
    MixSource* FSource = nullptr;
    uint64_t FToken = 0;
    bool FRealtimeAsked = false;      // the main loop thread's, once Start has set it
    int FLatencyMs = TargetLatencyMs; // settled by Open
    std::atomic<uint64_t> FUnderflows{0};
};

struct SinkList {
    std::string Default;
    std::vector<DeviceInfo> Items;
};

class PulseDriver final : public Driver {
public:
    explicit PulseDriver(bool headphones) : FHeadphones(headphones) {}
    const char* Kind() const override { return "pulse"; }

    std::optional<std::vector<DeviceInfo>> Devices() override
    {
        Connection connection;
        std::string error;
        if (!connection.Open(error))
            return std::nullopt;
        SinkList list;
        Connection::Lock lock(connection);
        pa_context* c = connection.Context();
        list.Default = AskServer(connection).DefaultSink;
        connection.Finish(pa_context_get_sink_info_list(
            c,
            [](pa_context*, const pa_sink_info* info, int eol, void* user) {
                if (eol || !info || !info->name)
                    return;
                auto* l = static_cast<SinkList*>(user);
                DeviceInfo d;
                d.Name = info->description ? info->description : info->name;
                d.Id = info->name;
                d.Guid = NameGuid("sink:" + d.Id, 0);
                if (d.Id == l->Default)
                    l->Items.insert(l->Items.begin(), d);
                else
                    l->Items.push_back(d);
            },
            &list));
        return list.Items;
    }

    std::unique_ptr<Backend> Make(const std::string& id) override
    {
        return std::make_unique<PulseBackend>(id, FHeadphones);
    }

private:
    const bool FHeadphones;
};

} // namespace

std::unique_ptr<Driver> MakeDriver(bool headphones)
{
    return std::make_unique<PulseDriver>(headphones);
}

} // namespace output::pulse
