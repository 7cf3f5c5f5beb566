// Two deck controllers on the manual sound backend at a fiftieth of real time, their main-window
// controls stand-ins on one panel. For the deck tests.
#pragma once

#include "decks/unitChannel.h"
#include "decks/unitChannel2.h"
#include "mixer/MxDSMixer.h"
#include "engine/Engine.h"
#include "platform/kernel/TimeScale.h"
#include "platform/ui/HiddenWindow.h"
#include "tests/support/Fixtures.h"

#include <QLabel>
#include <QWidget>
#include <gtest/gtest.h>

#include <thread>

class Deck : public ::testing::Test {
protected:
    void SetUp() override
    {
        engine::Engine::Reset();
        engine::Engine::UseManualBackend();
        MxDSMixerInitialize();
        mixer = new TMxDSMixer(nullptr);
        panel.resize(413, 284);
        auto knob = [&](int x, int y, int w, int h) {
            auto* k = new QWidget(&panel);
            k->setGeometry(x, y, w, h);
            return k;
        };
        left = {knob(24, 172, 14, 10),
                knob(21, 32, 15, 10),
                knob(45, 88, 15, 10),
                knob(74, 64, 75, 105),
                &anchorX,
                &anchorY,
                new QLabel(&panel)};
        right = {knob(232, 172, 14, 10),
                 knob(357, 32, 15, 10),
                 knob(333, 88, 15, 10),
                 knob(249, 64, 75, 105),
                 &anchorX,
                 &anchorY,
                 new QLabel(&panel)};
    }
    void TearDown() override
    {
        decks.clear();
        delete mixer;
        engine::Engine::Reset();
    }
    TDeckController& LeftDeck()
    {
        decks.push_back(std::make_unique<TFormChannel>(nullptr, mixer, left));
        return *decks.back();
    }
    TDeckController& RightDeck()
    {
        decks.push_back(std::make_unique<TFormChannel2>(nullptr, mixer, right));
        return *decks.back();
    }
    std::string Song(const char* name, int rate, int channels, const std::vector<int16_t>& samples)
    {
        testsupport::WriteWavS16(dir.file(name), rate, channels, samples);
        return dir.file(name).string();
    }
    // Renders the mix in small blocks so that the update thread keeps refilling.
    void Render(int frames)
    {
        for (int done = 0; done < frames; done += 2205) {
            engine::Engine::PullS16(2205);
            std::this_thread::sleep_for(std::chrono::microseconds(1500));
            ProcessMessages();
        }
    }

    timescale::Scope fast{50};
    testsupport::TempDir dir;
    TMxDSMixer* mixer = nullptr;
    QWidget panel;
    int anchorX = 0, anchorY = 0;
    TDeckWidgets left, right;
    std::vector<std::unique_ptr<TDeckController>> decks;
};
