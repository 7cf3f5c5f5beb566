// The mixer strip: a slim window docked on top of the main window (which has no room left), with
// each deck's gain (trim) and three band knobs, a kill switch under each band, and the limiter's
// light. Each deck's group stands over that deck's volume and pitch faders, the gain at the outer
// end as on a mixer's channel. It reaches the decks through their channels' voice controls. The
// knobs start at unity on every run and keep their place across songs. UI thread only.
#pragma once

#include <QPixmap>
#include <QWidget>

#include <chrono>
#include <functional>

class QLabel;
class QMouseEvent;
class TImage;
class TImgBtn;

// A rotary knob drawn from a film strip of frames. Its value runs from -1 (the bottom of its
// travel) through 0 (unity, a centre detent) to +1. A vertical drag turns it (up: higher), the
// wheel by a step per notch (with Shift a fine one), a double-click returns it to unity.
class TRotaryKnob : public QWidget {
public:
    TRotaryKnob(QWidget* owner, const char* name, QRect geometry, const char* picture, const char* hint);

    static constexpr double kStep = 0.1, kFineStep = 0.02;
    // Knob value per pixel of drag, and the dead zone at unity that a drag must cross.
    static constexpr double kPerPixel = 0.01, kDetent = 0.06;

    double Value() const { return FValue; }
    // Clamped to -1..1; OnChange hears every change.
    void SetValue(double value);
    void Step(double amount) { SetValue(FValue + amount); }
    std::function<void(double value)> OnChange;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    QPixmap FFrames;
    int FFrameCount = 1;
    double FValue = 0;
    bool FDragging = false;
    int FAnchor = 0;      // pointer row at the press
    double FDragFrom = 0; // the drag's position at the press, detent included
    int FWheelRest = 0;   // eighths of a degree short of a whole notch
};

class TMixerStrip : public QWidget {
public:
    explicit TMixerStrip(QWidget* owner);

    static constexpr int StripWidth = 396, StripHeight = 46;
    // Its place for the main window at `main`: right on top of the main window's skin (whose first
    // five rows are transparent), left edges aligned.
    static QPoint DockedAt(QPoint main) { return main - QPoint(0, StripHeight); }

    // The knobs' order within a deck; the bands are those of the deck's voice controls.
    enum { Low, Mid, High, Trim, KnobsPerDeck };
    // [0]: the left deck, [1]: the right one.
    TRotaryKnob* Knobs[2][KnobsPerDeck] = {};
    TImgBtn* Kills[2][3] = {};
    QLabel* LimiterLight = nullptr;

    // Band gain of a knob value: +6 dB at the top, unity at the centre, a cube law down to a full
    // cut at the bottom (-18 dB half way down, -60 dB a tenth from the end). Trim: -12..+12 dB.
    static float BandGain(double value);
    static float TrimDb(double value) { return static_cast<float>(12 * value); }

    void ToggleKill(int deck, int band);
    bool Killed(int deck, int band) const { return FKilled[deck][band]; }
    // Looks at the limiter (its lowest gain in the last block); the light shows while it worked
    // in the last kLitMs. Called from the UI's timers.
    void PollLimiter();
    // The limiter's gain says nothing while the limiter is off (it keeps its last value).
    void SetLimiterOn(bool on) { FLimiterOn = on; }
    bool LimiterLit() const { return FLit; }
    static constexpr int kLitMs = 300;

    // A press, move or release on the strip's surface: the owner drags its windows with it.
    std::function<void(QMouseEvent* event)> OnSurfaceMouse;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void Apply(int deck, int knob);
    bool FKilled[2][3] = {};
    bool FLit = false;
    bool FLimiterOn = true;
    std::chrono::steady_clock::time_point FWorked{};
    QPixmap FLightOff, FLightOn, FKillOff, FKillOn;
};
