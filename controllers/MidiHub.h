// The MIDI controllers. Every input port that the ALSA sequencer and JACK list is opened (with the
// output port of the same controller, for its lights), and the lists are read again every quarter
// second: a controller plugged in is taken, one pulled out is let go with one console line.
// Each message runs the action its binding names; a learn session binds the next control moved.
//
// Threads: a scan thread opens and closes ports; RtMidi's input threads (the sequencer's own, JACK's
// process thread of our client) decode messages. An absolute control of a deck's volume is written
// to the deck's voice atomics right there, so the engine plays it from its next block; every other
// action is queued to the UI thread. Lights are sent from the UI thread.
#pragma once

#include "controllers/Bindings.h"
#include "decks/ControllerHook.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class TMidiHub : public QObject, public TControllerHost {
    Q_OBJECT
public:
    static constexpr int kScanMs = 250;
    static constexpr int kServerTryMs = 2000; // while no JACK server answers
    static constexpr int kTickMs = 50;        // lights and the volume knobs' places, while a controller is there

    // Reads the bindings (a damaged line is said on the console and skipped) and starts scanning.
    TMidiHub(TActionTarget& target, std::filesystem::path bindingsFile);
    ~TMidiHub() override;

    // The controllers open now, by name.
    std::vector<std::string> Devices() const;
    std::vector<TMidiBinding> Bindings() const;
    const std::filesystem::path& BindingsFile() const { return FFile; }
    // The next note or control change of any controller is bound to the action (replacing what that
    // control did), the file is written and `done` runs on the UI thread.
    void Learn(TKeyTarget target, const TActionInfo& action, std::function<void(const TMidiBinding&)> done);
    void CancelLearn();
    // A deck's volume knob has moved (by the mouse, a key, the crossfader): a control bound to it
    // must meet it again before it moves it. UI thread.
    void VolumeKnobMoved(TKeyTarget deck) override;
    void ShowDialog(QWidget* parent, const std::function<void(QDialog* dialog)>& execute) override;

    // The controller a port belongs to: its client's name, without the number JACK adds to a
    // second client of one name.
    static std::string DeviceOf(const std::string& portName);
    // The deck's volume, hundredths of a dB, at a place of its knob.
    static int32_t VolumeAtPlace(double place);

private:
    struct TPort;
    struct TLive {
        TMidiBinding B;
        int LastValue = -1;   // the control's last value, -1 before the first
        double LastPlace = 0; // where it put its knob last
        bool Picked = false;  // soft takeover: the control has met the knob's place
    };
    static void Received(double, std::vector<unsigned char>* message, void* port);
    void Handle(const std::string& device, const unsigned char* m, size_t size);
    void Dispatch(TLive& live, bool note, int value);
    static bool TakeOver(TLive& live, int value, double current);
    void TakeOverOnUi(const TMidiBinding& b, int value);
    void FinishLearn(TMidiBinding binding);
    bool Scan(); // true while an API has a server or device to look at
    bool ScanApi(int api);
    void Tick();
    void ShowLights();
    void OpenOutputs(int api);
    void Post(std::function<void()> work);

    TActionTarget& FTarget;
    std::filesystem::path FFile;

    mutable std::mutex FBindingsLock; // the bindings and the learn request: UI and MIDI threads
    std::vector<TLive> FBindings;
    struct TLearn {
        TKeyTarget Target;
        TKeyAction Action;
        double Unit;
        std::function<void(const TMidiBinding&)> Done;
    };
    std::optional<TLearn> FLearn;
    // Where each deck's volume knob is (0..1), for soft takeover on the MIDI threads: set there when
    // a control moves it, and from the knob itself on each UI tick.
    std::atomic<double> FVolumePlace[2];
    std::atomic<int> FVolumeQueued[2] = {0, 0}; // knob moves queued to the UI thread, not yet made

    mutable std::mutex FPortsLock;                        // the open ports: the scan and UI threads
    std::map<std::string, std::unique_ptr<TPort>> FPorts; // by port name

    // The scan thread's own.
    struct TApiState;
    std::unique_ptr<TApiState> FApis[2];
    std::atomic<bool> FStop{false};
    std::mutex FStopLock;
    std::condition_variable FStopWake;
    std::thread FScanner;
    QTimer FLights;
};
