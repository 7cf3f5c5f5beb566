#include "controllers/MidiHub.h"

#include "controllers/LearnDialog.h"
#include "decks/DeckController.h"
#include "engine/Controls.h"
#include "platform/kernel/Realtime.h"

#include <jack/jack.h>
#include <rtmidi/RtMidi.h>

#include <QMetaObject>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <set>

namespace {

constexpr const char* kClientName = "DuoDeck";
constexpr RtMidi::Api kApis[2] = {RtMidi::LINUX_ALSA, RtMidi::UNIX_JACK};
constexpr const char* kApiNames[2] = {"ALSA sequencer", "JACK"};

void Quiet(RtMidiError::Type, const std::string&, void*) {}
void QuietJack(const char*) {}

bool Ours(const std::string& device)
{
    return device.rfind(kClientName, 0) == 0;
}

} // namespace

struct TMidiHub::TPort {
    TMidiHub* Hub;
    std::string Device;
    int Api;
    std::unique_ptr<RtMidiIn> In;
    std::unique_ptr<RtMidiOut> Out;
    std::map<int, bool> Shown; // the lights as last sent, by channel * 128 + note (UI thread)
};

// One sequencer's lists, read by RtMidi objects of our own, and for JACK a client that hears the
// server go away.
struct TMidiHub::TApiState {
    std::unique_ptr<RtMidiIn> Inputs;
    std::unique_ptr<RtMidiOut> Outputs;
    jack_client_t* Watch = nullptr;
    std::atomic<bool> Gone{false};
    bool SaidMissing = false;
    // No try to reach a JACK server before this: a try where none runs costs a millisecond of CPU,
    // and a server seldom starts; its controllers' ports come and go at once.
    std::chrono::steady_clock::time_point NextServerTry;
};

namespace {
const bool registered = (
    ControllerMaker() =
        [](TActionTarget& target, const std::filesystem::path& file) {
            return std::unique_ptr<TControllerHost>(new TMidiHub(target, file));
        },
    true);
} // namespace

TMidiHub::TMidiHub(TActionTarget& target, std::filesystem::path bindingsFile)
    : FTarget(target), FFile(std::move(bindingsFile))
{
    TBindingsFile file = ReadBindings(FFile);
    for (const std::string& problem : file.Problems)
        std::fprintf(stderr, "DuoDeck: %s, %s: skipped\n", FFile.string().c_str(), problem.c_str());
    for (TMidiBinding& b : file.Bindings)
        FBindings.push_back({std::move(b)});
    for (auto& api : FApis)
        api = std::make_unique<TApiState>();
    // libjack reports a missing server on stderr each time a client tries: we try every 2 s.
    jack_set_error_function(QuietJack);
    jack_set_info_function(QuietJack);
    for (bool right : {false, true})
        FVolumePlace[right] = FTarget.Place(right ? TKeyTarget::Right : TKeyTarget::Left, TKeyAction::Volume);
    FLights.setInterval(kTickMs);
    connect(&FLights, &QTimer::timeout, this, &TMidiHub::Tick);
    FLights.start();
    FScanner = std::thread([this] {
        realtime::NameThisThread("duodeck-midi");
        try {
            while (!FStop.load()) {
                // With neither a sequencer nor a JACK server there is nothing to plug into: looking
                // only as often as a server is tried saves the wake-ups.
                const int wait = Scan() ? kScanMs : kServerTryMs;
                std::unique_lock lock(FStopLock);
                FStopWake.wait_for(lock, std::chrono::milliseconds(wait), [this] { return FStop.load(); });
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "DuoDeck: controllers are no longer looked for: %s\n", e.what());
        }
    });
}

TMidiHub::~TMidiHub()
{
    {
        std::lock_guard lock(FStopLock);
        FStop = true;
    }
    FStopWake.notify_all();
    FScanner.join();
    std::map<std::string, std::unique_ptr<TPort>> ports;
    {
        std::lock_guard lock(FPortsLock);
        ports.swap(FPorts);
    }
    ports.clear(); // closing an input waits for its callback to end
    for (auto& api : FApis) {
        api->Inputs.reset();
        api->Outputs.reset();
        if (api->Watch)
            jack_client_close(api->Watch);
    }
}

std::string TMidiHub::DeviceOf(const std::string& portName)
{
    std::string client = portName.substr(0, portName.find(':'));
    const size_t dash = client.rfind('-');
    if (dash != std::string::npos && dash + 1 < client.size() &&
        std::all_of(client.begin() + dash + 1, client.end(), [](char c) { return c >= '0' && c <= '9'; }))
        client.erase(dash);
    return client;
}

int32_t TMidiHub::VolumeAtPlace(double place)
{
    const int span = TDeckController::kVolumeBottom - TDeckController::kVolumeTop;
    return TDeckController::VolumeAt(TDeckController::kVolumeBottom -
                                     static_cast<int>(std::lround(std::clamp(place, 0.0, 1.0) * span)));
}

std::vector<std::string> TMidiHub::Devices() const
{
    std::set<std::string> devices;
    std::lock_guard lock(FPortsLock);
    for (const auto& [name, port] : FPorts)
        devices.insert(port->Device);
    return {devices.begin(), devices.end()};
}

std::vector<TMidiBinding> TMidiHub::Bindings() const
{
    std::lock_guard lock(FBindingsLock);
    std::vector<TMidiBinding> out;
    for (const TLive& l : FBindings)
        out.push_back(l.B);
    return out;
}

void TMidiHub::Learn(TKeyTarget target, const TActionInfo& action, std::function<void(const TMidiBinding&)> done)
{
    std::lock_guard lock(FBindingsLock);
    FLearn = TLearn{target, action.Action, action.Unit, std::move(done)};
}

void TMidiHub::CancelLearn()
{
    std::lock_guard lock(FBindingsLock);
    FLearn.reset();
}

void TMidiHub::Post(std::function<void()> work)
{
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

// ---- messages (an input's thread) ----

void TMidiHub::Received(double, std::vector<unsigned char>* message, void* user)
{
    try {
        const auto* port = static_cast<const TPort*>(user);
        port->Hub->Handle(port->Device, message->data(), message->size());
    } catch (...) {
        // Nothing escapes into the sequencer's thread; a message lost is a control moved again.
    }
}

void TMidiHub::Handle(const std::string& device, const unsigned char* m, size_t size)
{
    if (size < 3)
        return;
    const int type = m[0] & 0xF0, channel = m[0] & 0x0F, number = m[1] & 0x7F, value = m[2] & 0x7F;
    const bool note = type == 0x90 || type == 0x80;
    if (!note && type != 0xB0)
        return;
    // A note off, or a note on at velocity 0, releases.
    const int level = type == 0x80 ? 0 : value;
    std::lock_guard lock(FBindingsLock);
    if (FLearn) {
        const TActionInfo* info = FindAction(FLearn->Action, FLearn->Unit);
        // A knob waits for a fader, a knob or a wheel: a note cannot turn it.
        if (note && (level == 0 || info->Kind == TActionKind::Knob))
            return;
        TMidiBinding b{device, note, channel, number, FLearn->Target, FLearn->Action, FLearn->Unit};
        if (!note && info->Kind == TActionKind::Step)
            b.Mode = value >= 57 && value <= 71 ? TControlMode::Offset64 : TControlMode::Relative;
        b.Light = note && info->HasLight;
        Post([this, b] { FinishLearn(b); });
        return;
    }
    for (TLive& live : FBindings)
        if (live.B.Note == note && live.B.Channel == channel && live.B.Number == number && live.B.Device == device)
            Dispatch(live, note, level);
}

bool TMidiHub::TakeOver(TLive& live, int value, double current)
{
    constexpr double kNear = 2.0 / 127; // the knob's place is known to a step of the knob's pixels
    const double place = value / 127.0;
    const int previous = std::exchange(live.LastValue, value);
    // Moved meanwhile by a key, the mouse or another control: the control must meet it again.
    if (live.Picked && std::abs(current - live.LastPlace) > kNear)
        live.Picked = false;
    if (!live.Picked)
        live.Picked = std::abs(place - current) <= kNear ||
                      (previous >= 0 && (previous / 127.0 - current) * (place - current) <= 0);
    if (live.Picked)
        live.LastPlace = place;
    return live.Picked;
}

void TMidiHub::Dispatch(TLive& live, bool note, int value)
{
    const TMidiBinding b = live.B;
    const TActionInfo* info = FindAction(b.Action, b.Unit);
    if (note || (b.Mode == TControlMode::Absolute && info->Kind != TActionKind::Knob)) {
        // A pad: pressed at a note's velocity above 0, or a control's upper half.
        const bool down = note ? value > 0 : value >= 64;
        const bool was = note ? live.LastValue > 0 : live.LastValue >= 64;
        live.LastValue = value;
        if (down == was && !note)
            return;
        if (down)
            Post([this, b, info] { FTarget.Perform(b.Target, b.Action, info->Unit); });
        else if (info->Kind == TActionKind::Held)
            Post([this, b] { FTarget.Release(b.Target, b.Action); });
        return;
    }
    if (b.Mode != TControlMode::Absolute) {
        const int ticks = RelativeTicks(b.Mode, value);
        if (ticks != 0 && info->Kind != TActionKind::Switch)
            Post([this, b, amount = ticks * info->Unit] { FTarget.Perform(b.Target, b.Action, amount); });
        return;
    }
    // An absolute knob. A deck's volume goes to its voice from here; the knob follows on the UI
    // thread, where its place gives the same volume.
    engine::VoiceControls* voice = b.Action == TKeyAction::Volume ? FTarget.Voice(b.Target) : nullptr;
    if (voice) {
        std::atomic<double>& knob = FVolumePlace[b.Target == TKeyTarget::Right];
        if (!TakeOver(live, value, knob))
            return;
        voice->SetVolume(VolumeAtPlace(value / 127.0));
        knob = value / 127.0;
        std::atomic<int>& queued = FVolumeQueued[b.Target == TKeyTarget::Right];
        ++queued;
        Post([this, b, value, &queued] {
            FTarget.SetPlace(b.Target, b.Action, value / 127.0);
            --queued;
        });
        return;
    }
    Post([this, b, value] { TakeOverOnUi(b, value); });
}

// ---- the UI thread ----

void TMidiHub::TakeOverOnUi(const TMidiBinding& b, int value)
{
    const double current = FTarget.Place(b.Target, b.Action);
    {
        std::lock_guard lock(FBindingsLock);
        auto live =
            std::find_if(FBindings.begin(), FBindings.end(), [&](const TLive& l) { return l.B.SameControl(b); });
        if (live == FBindings.end() || !TakeOver(*live, value, current))
            return;
    }
    FTarget.SetPlace(b.Target, b.Action, value / 127.0);
}

void TMidiHub::FinishLearn(TMidiBinding binding)
{
    std::function<void(const TMidiBinding&)> done;
    std::vector<TMidiBinding> all;
    {
        std::lock_guard lock(FBindingsLock);
        if (!FLearn)
            return;
        done = std::move(FLearn->Done);
        FLearn.reset();
        std::erase_if(FBindings, [&](const TLive& l) { return l.B.SameControl(binding); });
        FBindings.push_back({binding});
        for (const TLive& l : FBindings)
            all.push_back(l.B);
    }
    if (!WriteBindings(FFile, all))
        std::fprintf(stderr, "DuoDeck: the controller bindings cannot be written to %s\n", FFile.string().c_str());
    if (done)
        done(binding);
}

void TMidiHub::VolumeKnobMoved(TKeyTarget deck)
{
    // Not while a control's move of the knob is on its way: the knob would still show the old place.
    if (deck != TKeyTarget::Mixer && FVolumeQueued[deck == TKeyTarget::Right] == 0)
        FVolumePlace[deck == TKeyTarget::Right] = FTarget.Place(deck, TKeyAction::Volume);
}

void TMidiHub::ShowDialog(QWidget* parent, const std::function<void(QDialog* dialog)>& execute)
{
    TLearnDialog dialog(*this, parent);
    if (execute)
        execute(&dialog);
    else
        dialog.exec();
}

void TMidiHub::Tick()
{
    {
        // Nothing to light or to take over: the UI thread is not woken for nothing.
        std::lock_guard lock(FPortsLock);
        if (FPorts.empty()) {
            FLights.stop();
            return;
        }
    }
    VolumeKnobMoved(TKeyTarget::Left);
    VolumeKnobMoved(TKeyTarget::Right);
    ShowLights();
}

void TMidiHub::ShowLights()
{
    std::vector<TMidiBinding> lit;
    {
        std::lock_guard lock(FBindingsLock);
        for (const TLive& l : FBindings)
            if (l.B.Light)
                lit.push_back(l.B);
    }
    if (lit.empty())
        return;
    std::lock_guard lock(FPortsLock);
    for (auto& [name, port] : FPorts) {
        if (!port->Out)
            continue;
        for (const TMidiBinding& b : lit) {
            if (b.Device != port->Device)
                continue;
            const bool on = FTarget.Lit(b.Target, b.Action);
            const auto shown = port->Shown.find(b.Channel * 128 + b.Number);
            if (shown != port->Shown.end() && shown->second == on)
                continue;
            port->Shown[b.Channel * 128 + b.Number] = on;
            const std::vector<unsigned char> message{static_cast<unsigned char>(0x90 | b.Channel),
                                                     static_cast<unsigned char>(b.Number),
                                                     static_cast<unsigned char>(on ? 127 : 0)};
            try {
                port->Out->sendMessage(&message);
            } catch (const RtMidiError&) {
                // The controller is going; the scan lets it go.
            }
        }
    }
}

// ---- the scan thread ----

bool TMidiHub::Scan()
{
    bool live = false;
    for (int api = 0; api < 2; ++api)
        live = ScanApi(api) || live;
    return live;
}

bool TMidiHub::ScanApi(int api)
{
    TApiState& s = *FApis[api];
    std::vector<std::unique_ptr<TPort>> gone;
    auto letGoAll = [&] {
        std::lock_guard lock(FPortsLock);
        for (auto it = FPorts.begin(); it != FPorts.end();)
            if (it->second->Api == api) {
                gone.push_back(std::move(it->second));
                it = FPorts.erase(it);
            } else {
                ++it;
            }
    };
    if (api == 0) {
        // The sequencer is a kernel device; without it the library would complain on every try.
        if (!std::filesystem::exists("/dev/snd/seq")) {
            if (!std::exchange(s.SaidMissing, true))
                std::fprintf(stderr, "DuoDeck: this machine has no ALSA sequencer (/dev/snd/seq): controllers "
                                     "are looked for on JACK only\n");
            return false;
        }
    } else {
        if (s.Gone.exchange(false)) {
            letGoAll();
            for (auto& port : gone)
                std::fprintf(stderr, "DuoDeck: controller \"%s\" let go: the JACK server has gone\n",
                             port->Device.c_str());
            gone.clear();
            s.Inputs.reset();
            s.Outputs.reset();
            jack_client_close(s.Watch);
            s.Watch = nullptr;
        }
        if (!s.Watch) {
            const auto now = std::chrono::steady_clock::now();
            if (now < s.NextServerTry)
                return false;
            s.Watch = jack_client_open(kClientName, JackNoStartServer, nullptr);
            if (!s.Watch) {
                s.NextServerTry = now + std::chrono::milliseconds(kServerTryMs);
                return false;
            }
            jack_on_shutdown(
                s.Watch, [](void* state) { static_cast<TApiState*>(state)->Gone = true; }, &s);
            jack_activate(s.Watch);
        }
    }
    if (!s.Inputs) {
        try {
            s.Inputs = std::make_unique<RtMidiIn>(kApis[api], kClientName);
            s.Inputs->setErrorCallback(Quiet);
            s.Outputs = std::make_unique<RtMidiOut>(kApis[api], kClientName);
            s.Outputs->setErrorCallback(Quiet);
        } catch (const RtMidiError& e) {
            s.Inputs.reset();
            if (!std::exchange(s.SaidMissing, true))
                std::fprintf(stderr, "DuoDeck: no controllers through the %s: %s\n", kApiNames[api], e.what());
            return false;
        }
    }
    std::set<std::string> listed;
    for (unsigned i = 0, n = s.Inputs->getPortCount(); i < n; ++i)
        if (std::string name = s.Inputs->getPortName(i); !name.empty() && !Ours(DeviceOf(name)))
            listed.insert(name);
    {
        std::lock_guard lock(FPortsLock);
        for (auto it = FPorts.begin(); it != FPorts.end();)
            if (it->second->Api == api && !listed.count(it->first)) {
                gone.push_back(std::move(it->second));
                it = FPorts.erase(it);
            } else {
                listed.erase(it->first); // open already
                ++it;
            }
    }
    for (auto& port : gone)
        std::fprintf(stderr, "DuoDeck: controller \"%s\" unplugged: let go\n", port->Device.c_str());
    gone.clear(); // closed outside the lock: a closing input waits for its callback
    for (const std::string& name : listed) {
        auto port = std::make_unique<TPort>();
        port->Hub = this;
        port->Device = DeviceOf(name);
        port->Api = api;
        try {
            port->In = std::make_unique<RtMidiIn>(kApis[api], kClientName);
            port->In->setErrorCallback(Quiet);
            unsigned index = port->In->getPortCount();
            for (unsigned i = 0; i < port->In->getPortCount(); ++i)
                if (port->In->getPortName(i) == name)
                    index = i;
            if (index == port->In->getPortCount())
                continue; // gone since the list was read
            port->In->ignoreTypes(true, true, true);
            port->In->setCallback(&TMidiHub::Received, port.get());
            port->In->openPort(index, "in");
        } catch (const RtMidiError& e) {
            std::fprintf(stderr, "DuoDeck: controller \"%s\" cannot be opened: %s\n", port->Device.c_str(), e.what());
            continue;
        }
        std::fprintf(stderr, "DuoDeck: controller \"%s\" taken (%s)\n", port->Device.c_str(), kApiNames[api]);
        {
            std::lock_guard lock(FPortsLock);
            FPorts[name] = std::move(port);
        }
        Post([this] { FLights.start(); });
    }
    OpenOutputs(api);
    return true;
}

// A controller's lights: its output port, which may be listed after its input.
void TMidiHub::OpenOutputs(int api)
{
    std::set<std::string> dark;
    {
        std::lock_guard lock(FPortsLock);
        for (const auto& [name, port] : FPorts)
            if (port->Api == api && !port->Out)
                dark.insert(port->Device);
    }
    if (dark.empty())
        return;
    RtMidiOut& list = *FApis[api]->Outputs;
    for (unsigned i = 0, n = list.getPortCount(); i < n; ++i) {
        const std::string device = DeviceOf(list.getPortName(i));
        if (!dark.count(device))
            continue;
        dark.erase(device);
        try {
            auto out = std::make_unique<RtMidiOut>(kApis[api], kClientName);
            out->setErrorCallback(Quiet);
            for (unsigned j = 0; j < out->getPortCount(); ++j)
                if (DeviceOf(out->getPortName(j)) == device) {
                    out->openPort(j, "lights");
                    break;
                }
            if (!out->isPortOpen())
                continue;
            std::lock_guard lock(FPortsLock);
            for (auto& [name, port] : FPorts)
                if (port->Device == device && !port->Out) {
                    port->Out = std::move(out);
                    break;
                }
        } catch (const RtMidiError& e) {
            std::fprintf(stderr, "DuoDeck: the lights of controller \"%s\" cannot be opened: %s\n", device.c_str(),
                         e.what());
        }
    }
}
