// From a control change sent on a virtual controller's port to the deck's volume changed at the
// engine (the atomic the render reads at the start of each block): median and worst of 1,000, with
// the JACK cycle that carries MIDI at 64 frames (1.3 ms) and at 256 (5.3 ms), beside the engine's
// output block. The sound changes in the first block rendered after that, within one block more.
// The player runs on the offscreen platform with the null sound backend (real-time pace).
#include "app/Unit1.h"
#include "controllers/MidiHub.h"
#include "decks/unitChannel.h"
#include "engine/Engine.h"
#include "mixer/MxDSMixerChannel.h"
#include "tests/controllers/JackServer.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <rtmidi/RtMidi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

namespace {

using Clock = std::chrono::steady_clock;

bool Run(int period)
{
    testsupport::JackServer jack(period);
    if (!jack.Up()) {
        std::printf("jackd with its dummy driver does not start here\n");
        return false;
    }
    QTemporaryDir dir;
    std::ofstream(QDir(dir.path()).filePath("Controllers.txt").toStdString())
        << "[Bench Pad]\ncc 1 7 left volume absolute\n";
    RtMidiOut pad(RtMidi::UNIX_JACK, "Bench Pad");
    pad.openVirtualPort("out");
    TFormMain form(dir.path().toLocal8Bit());
    form.show();
    const auto until = Clock::now() + std::chrono::seconds(3);
    while (dynamic_cast<TMidiHub&>(*form.Midi()).Devices().empty() && Clock::now() < until)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    if (dynamic_cast<TMidiHub&>(*form.Midi()).Devices().empty()) {
        std::printf("the virtual controller was not taken\n");
        return false;
    }
    const engine::VoiceControls& voice = FormChannel->Channel()->Voice();
    auto send = [&](int value) {
        std::vector<unsigned char> m{0xB0, 7, static_cast<unsigned char>(value)};
        pad.sendMessage(&m);
    };
    // Taken over at the knob's place, then between two places either side of it.
    const int at = static_cast<int>(form.Place(TKeyTarget::Left, TKeyAction::Volume) * 127);
    send(at);
    std::vector<double> ms;
    int lost = 0; // not at the engine within a second: dropped by JACK in a late cycle (an xrun)
    for (int i = 0; i < 1000; ++i) {
        const int value = at - 10 - (i % 2) * 10;
        const LONG want = TMidiHub::VolumeAtPlace(value / 127.0);
        const Clock::time_point sent = Clock::now();
        send(value);
        while (voice.Volume() != want && Clock::now() - sent < std::chrono::seconds(1))
            ;
        if (voice.Volume() == want)
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        else
            ++lost;
        QApplication::processEvents(); // the knob follows
    }
    std::sort(ms.begin(), ms.end());
    if (ms.empty())
        return false;
    const engine::Engine& e = engine::Engine::Instance();
    std::printf("JACK cycle %d frames (%.2f ms): control change to volume at the engine: median %.3f ms, worst "
                "%.3f ms, of %zu (%d lost); the engine's output block %u frames (%.2f ms at %u Hz)\n",
                period, period * 1000.0 / 48000, ms[ms.size() / 2], ms.back(), ms.size(), lost, e.PeriodFrames(),
                1000.0 * e.PeriodFrames() / std::max(1u, e.OutputRate()), e.OutputRate());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("DUODECK_AUDIO_BACKEND", "null", 0);
    QApplication app(argc, argv);
    return Run(64) && Run(256) ? 0 : 1;
}
