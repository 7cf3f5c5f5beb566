// The waveform window: for each deck an overview of its whole song (the played part dimmed, the hot
// cues and the loop marked; a click plays from there) and a scrolling view of a few seconds around
// the playhead with the beat grid, each column coloured by band (low red, mid amber, high blue), and
// under them the deck's hot cue pads and loop controls. It docks at the right of the main window,
// from the top of the mixer strip to the bottom of the main window's skin, and moves, hides and
// shows with them. The playhead is drawn where the sound is heard: the cursor less the output's
// latency, moved on between the cursor's steps at the deck's speed. UI thread only.
#pragma once

#include <QColor>
#include <QElapsedTimer>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>

class TDeckController;
struct TTempo;
struct TWaveSummary;

// A flat pad of the window, painted (crisp at any scale): a label, lit in its colour while on. A
// left click runs OnClick, a right click OnRightClick.
class TPad : public QWidget {
public:
    TPad(QWidget* owner, const QString& name, QRect geometry, QColor colour, const QString& hint);
    void SetText(const QString& text);
    void SetLit(bool lit);
    bool Lit() const { return FLit; }
    const QString& Text() const { return FText; }
    std::function<void()> OnClick, OnRightClick;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString FText;
    QColor FColour;
    bool FLit = false;
};

// One deck's overview and scrolling view, one above the other.
class TWaveView : public QWidget {
public:
    TWaveView(QWidget* owner, QRect geometry);
    static constexpr int OverviewHeight = 22, Gap = 3;
    // Seconds of song across the scrolling view at the deck's own rate.
    static constexpr double kScrollSeconds = 6;

    void SetDeck(TDeckController* deck) { FDeck = deck; }
    // Samples the deck's position; repaints when what is drawn moved. Once per display frame.
    void Tick();
    // The song frame (the channel's) drawn as heard; the overview and the scrolling view's centre.
    double HeardFrame() const { return FHeard; }
    // The scrolling view's rectangle, for tests and the benchmark.
    QRect ScrollRect() const { return {0, OverviewHeight + Gap, width(), height() - OverviewHeight - Gap}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void PaintOverview(QPainter& p, const TWaveSummary* wave, double songSeconds);
    void PaintScroll(QPainter& p, const TWaveSummary* wave, double rate);
    void PaintMarks(QPainter& p, QRectF area, double fromFrame, double framesPerPixel);
    void PaintStrip(const TWaveSummary* wave, const TTempo* tempo, double perPixel);

    TDeckController* FDeck = nullptr;
    double FHeard = 0;
    int64_t FCursor = -1;       // the cursor at the last sample
    QElapsedTimer FSinceCursor; // since the cursor last moved
    double FLatencyMs = 0;      // the output's, as last asked
    QElapsedTimer FLatencyAge;
    // The overview's bands, drawn once per song and size.
    QPixmap FOverview;
    const TWaveSummary* FOverviewOf = nullptr;
    // The scrolling view's bands and beat grid, drawn ahead; redrawn when what they show changes.
    static constexpr int StripViews = 3;
    struct StripOf {
        const TWaveSummary* Wave = nullptr;
        double FirstBeat = 0, Period = 0; // of a steady tempo's first section; 0 without one
        QSizeF Size;                      // of the view
        double Dpr = 0;
        bool operator==(const StripOf&) const = default;
    };
    QPixmap FStrip;
    StripOf FStripOf;
    double FStripLeft = 0; // song seconds at its left edge
};

class TWaveformWindow : public QWidget {
public:
    explicit TWaveformWindow(QWidget* owner);
    static constexpr int WindowWidth = 396, DeckHeight = 137;
    static constexpr int WindowHeight = 2 * DeckHeight;
    // Its place for the main window at `main` (whose skin shows columns 6..389, rows 5..230): just
    // right of the skin, its top level with the mixer strip's.
    static QPoint DockedAt(QPoint main, int stripHeight) { return main + QPoint(390, -stripHeight); }

    // The decks it shows: [0] deck A (the left one, drawn on top), [1] deck B.
    void SetDecks(TDeckController* left, TDeckController* right);
    TWaveView* Views[2] = {};
    TPad* CuePads[2][8] = {};
    enum { Halve, Loop, Double, In, Out, Quantize, LoopPads };
    TPad* LoopPadsOf[2][LoopPads] = {};
    // Shows the decks' cues, loops and quantize as they are now.
    void Refresh();
    // The display's frames: started while shown.
    QTimer& Frames() { return FFrames; }

    // A press, move or release on the window's surface: the owner drags its windows with it.
    std::function<void(QMouseEvent* event)> OnSurfaceMouse;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    TDeckController* FDecks[2] = {};
    QTimer FFrames;
};
