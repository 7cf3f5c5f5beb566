#include "app/WaveformWindow.h"

#include "decks/DeckController.h"
#include "engine/Engine.h"
#include "mixer/MxDSMixerChannel.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

const QColor kBackground(0x14, 0x17, 0x1c);
const QColor kFrame(0x3a, 0x41, 0x4d);
const QColor kBand[TWaveSummary::Bands] = {QColor(0xe8, 0x50, 0x3a), QColor(0xf2, 0xb1, 0x34),
                                           QColor(0x47, 0xc6, 0xf0)};
const QColor kCue[THotCueStore::kCues] = {QColor(0xff, 0x6a, 0x4d), QColor(0xff, 0xc4, 0x3d), QColor(0x8c, 0xe0, 0x5a),
                                          QColor(0x4d, 0xd2, 0xff), QColor(0xb0, 0x7a, 0xff), QColor(0xff, 0x7a, 0xc8),
                                          QColor(0xf0, 0xf0, 0x7a), QColor(0x6a, 0xf0, 0xd0)};
const QColor kLoop(0x5a, 0xd0, 0x7a);

QString BeatsText(double beats)
{
    return beats >= 1 ? QString::number(beats) : QStringLiteral("1/%1").arg(std::lround(1 / beats));
}

// The peaks of the summary's columns [from, to), each band's highest.
void Peaks(const TWaveSummary& w, long from, long to, uint8_t out[TWaveSummary::Bands])
{
    std::fill(out, out + TWaveSummary::Bands, 0);
    const long n = static_cast<long>(w.Columns());
    for (long c = std::max(from, 0L); c < std::min(to, n); ++c)
        for (int b = 0; b < TWaveSummary::Bands; ++b)
            out[b] = std::max(out[b], w.Peak(static_cast<size_t>(c), TWaveSummary::Band(b)));
}

// A picture of `size` logical pixels at `dpr`, filled with `fill`.
QPixmap Canvas(QSizeF size, double dpr, QColor fill)
{
    QPixmap canvas((size * dpr).toSize());
    canvas.setDevicePixelRatio(dpr);
    canvas.fill(fill);
    return canvas;
}

// Draws the bands of columns that `column(x)` gives for each device pixel of `area`, centred on
// its middle row, the tallest band of a column under the others: a kick reads red, a voice amber, a
// hat blue, and each keeps its colour over louder bands.
template <class Columns> void PaintBands(QPainter& p, QRectF area, double dpr, const TWaveSummary& w, Columns column)
{
    constexpr int kBands = TWaveSummary::Bands;
    std::vector<QRectF> rects[kBands][kBands]; // [layer, tallest first][band]
    const double step = 1 / dpr;
    const double mid = area.center().y(), half = area.height() / 2;
    for (double x = 0; x < area.width(); x += step) {
        long from = 0, to = 0;
        if (!column(x, step, from, to))
            continue;
        uint8_t peak[TWaveSummary::Bands];
        Peaks(w, from, to, peak);
        for (int b = 0; b < kBands; ++b) {
            int layer = 0;
            for (int o = 0; o < kBands; ++o)
                layer += peak[o] > peak[b] || (peak[o] == peak[b] && o < b);
            const double h = std::max(peak[b] / 255.0 * half, peak[b] ? step : 0.0);
            if (h > 0)
                rects[layer][b].emplace_back(area.left() + x, mid - h, step, 2 * h);
        }
    }
    p.setPen(Qt::NoPen);
    for (auto& layer : rects)
        for (int b = 0; b < kBands; ++b) {
            p.setBrush(kBand[b]);
            p.drawRects(layer[b].data(), static_cast<int>(layer[b].size()));
        }
}

} // namespace

// ---- the pad ----

TPad::TPad(QWidget* owner, const QString& name, QRect geometry, QColor colour, const QString& hint)
    : QWidget(owner), FColour(colour)
{
    setObjectName(name);
    setGeometry(geometry);
    setToolTip(hint);
}

void TPad::SetText(const QString& text)
{
    if (text != FText) {
        FText = text;
        update();
    }
}

void TPad::SetLit(bool lit)
{
    if (lit != FLit) {
        FLit = lit;
        update();
    }
}

void TPad::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setPen(FLit ? FColour : FColour.darker(180));
    p.setBrush(FLit ? FColour : QColor(0x22, 0x27, 0x30));
    p.drawRoundedRect(r, 3, 3);
    QFont font = p.font();
    font.setPixelSize(9);
    font.setBold(true);
    p.setFont(font);
    p.setPen(FLit ? QColor(0x10, 0x10, 0x10) : FColour);
    p.drawText(rect(), Qt::AlignCenter, FText);
}

void TPad::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && OnClick)
        OnClick();
    else if (event->button() == Qt::RightButton && OnRightClick)
        OnRightClick();
}

// ---- one deck's views ----

TWaveView::TWaveView(QWidget* owner, QRect geometry) : QWidget(owner)
{
    setGeometry(geometry);
    setAttribute(Qt::WA_OpaquePaintEvent);
    FSinceCursor.start();
}

void TWaveView::Tick()
{
    double heard = 0;
    if (FDeck && !FDeck->edtFileName().empty()) {
        TMxDSMixerChannel* ch = FDeck->Channel();
        const int64_t cursor = ch->PositionFrame();
        heard = static_cast<double>(cursor);
        if (ch->State() == csPlaying) {
            if (cursor != FCursor)
                FSinceCursor.restart();
            engine::Engine& engine = engine::Engine::Instance();
            const uint32_t outRate = std::max<uint32_t>(engine.OutputRate(), 1);
            // The device changes seldom: its latency is asked again twice a second.
            if (!FLatencyAge.isValid() || FLatencyAge.hasExpired(500)) {
                FLatencyMs = engine.OutputLatencyMs();
                FLatencyAge.start();
            }
            // The cursor steps once per render; between its steps the sound goes on at the deck's
            // speed. It names what was rendered, heard the output's latency later.
            const double render = double(engine.LeadFrames()) / outRate;
            const double since = std::min(FSinceCursor.nsecsElapsed() / 1e9, render);
            heard += (since - FLatencyMs / 1000) * ch->SamplesPerSec() * ch->Voice().Speed();
            heard = std::max(heard, 0.0);
        }
        FCursor = cursor;
    }
    if (heard == FHeard)
        return;
    // The scrolling view moves every frame; the overview only when its playhead reaches another
    // pixel.
    const double frames = FDeck ? std::max<double>(FDeck->Channel()->Frames(), 1) : 1;
    const double across = width() * devicePixelRatioF(); // device pixels
    const auto pixel = [&](double frame) { return std::lround(frame / frames * across); };
    if (pixel(heard) != pixel(FHeard))
        update(0, 0, width(), OverviewHeight);
    FHeard = heard;
    update(ScrollRect());
}

void TWaveView::paintEvent(QPaintEvent* event)
{
    QPainter p(this);
    const bool loaded = FDeck && !FDeck->edtFileName().empty();
    const double rate = loaded ? FDeck->Channel()->SamplesPerSec() : 0;
    const TWaveSummary* wave = loaded && FDeck->Tempo() ? FDeck->Tempo()->Wave.get() : nullptr;
    // The strip covers the scrolling view whole, so the background shows only above it: filling
    // under the strip too would write every pixel of it twice a frame.
    p.fillRect(loaded && rate != 0 ? event->rect() & QRect(0, 0, width(), ScrollRect().top()) : event->rect(),
               kBackground);
    if (!loaded || rate == 0) {
        p.setPen(kFrame);
        p.drawText(rect(), Qt::AlignCenter, QStringLiteral("no song"));
        return;
    }
    if (event->rect().top() < OverviewHeight)
        PaintOverview(p, wave, FDeck->Channel()->Frames() / rate);
    if (event->rect().intersects(ScrollRect()))
        PaintScroll(p, wave, rate);
}

void TWaveView::PaintOverview(QPainter& p, const TWaveSummary* wave, double songSeconds)
{
    const QRectF area(0, 0, width(), OverviewHeight);
    const double dpr = devicePixelRatioF();
    if (wave && (wave != FOverviewOf || FOverview.size() != (area.size() * dpr).toSize())) {
        FOverview = Canvas(area.size(), dpr, kBackground);
        QPainter o(&FOverview);
        const double perPixel = songSeconds / area.width() / wave->ColumnSeconds();
        PaintBands(o, QRectF(QPointF(0, 0), area.size()), dpr, *wave, [&](double x, double step, long& from, long& to) {
            from = static_cast<long>(x * perPixel);
            to = std::max(from + 1, static_cast<long>((x + step) * perPixel));
            return true;
        });
        FOverviewOf = wave;
    }
    if (wave)
        p.drawPixmap(area.topLeft(), FOverview);
    const double frames = std::max<double>(FDeck->Channel()->Frames(), 1);
    const double head = FHeard / frames * area.width();
    p.fillRect(QRectF(0, 0, head, area.height()), QColor(0, 0, 0, 130)); // the part played
    PaintMarks(p, area, 0, frames / area.width());
    p.fillRect(QRectF(head - 0.5, 0, 1, area.height()), Qt::white);
}

void TWaveView::PaintScroll(QPainter& p, const TWaveSummary* wave, double rate)
{
    const QRectF area = ScrollRect();
    const double perPixel = kScrollSeconds / area.width(); // song seconds
    const double left = FHeard / rate - area.width() / 2 * perPixel;
    const double dpr = devicePixelRatioF();
    const std::optional<TTempo>& tempo = FDeck->Tempo();
    const bool steady = tempo && tempo->Steady();
    const StripOf of{wave, steady ? tempo->At(0).FirstBeat : 0, steady ? tempo->At(0).Period() : 0, area.size(), dpr};
    if (!(of == FStripOf) || left < FStripLeft || left + kScrollSeconds > FStripLeft + StripViews * kScrollSeconds) {
        FStripLeft = left - kScrollSeconds / 2; // room for a nudge back
        FStripOf = of;
        PaintStrip(wave, steady ? &*tempo : nullptr, perPixel);
    }
    // Whole device pixels: the strip's columns stay where they were drawn.
    const double shift = std::round((left - FStripLeft) / perPixel * dpr) / dpr;
    p.drawPixmap(QPointF(area.left() - shift, area.top()), FStrip);
    PaintMarks(p, area, left * rate, perPixel * rate);
    p.fillRect(QRectF(area.center().x() - 0.5, area.top(), 1.5, area.height()), Qt::white);
}

// The bands and the beat grid from song second FStripLeft on, StripViews scrolling views wide: each
// frame copies the part in view, and a new strip is drawn once the view reaches its end.
void TWaveView::PaintStrip(const TWaveSummary* wave, const TTempo* tempo, double perPixel)
{
    const QSizeF size(StripViews * FStripOf.Size.width(), FStripOf.Size.height());
    FStrip = Canvas(size, FStripOf.Dpr, kBackground.lighter(115));
    QPainter p(&FStrip);
    const QRectF area(QPointF(0, 0), size);
    if (wave) {
        const double perColumn = perPixel / wave->ColumnSeconds();
        const double firstColumn = FStripLeft / wave->ColumnSeconds();
        PaintBands(p, area, FStripOf.Dpr, *wave, [&](double x, double step, long& from, long& to) {
            const double c = firstColumn + x * perColumn;
            if (c + step * perColumn < 0)
                return false;
            from = static_cast<long>(std::floor(c));
            to = std::max(from + 1, static_cast<long>(std::floor(c + step * perColumn)));
            return true;
        });
    }
    // The beat grid over the bands: a faint line and a tick at each edge. The analysis finds no
    // bars, so every beat is drawn alike.
    if (!tempo)
        return;
    p.setPen(Qt::NoPen);
    const double right = FStripLeft + area.width() * perPixel;
    const TTempoSection& first = tempo->At(std::max(FStripLeft, 0.0));
    double t = first.FirstBeat + std::ceil((FStripLeft - first.FirstBeat) / first.Period()) * first.Period();
    for (int n = 0; t <= right && n < 1000; ++n) {
        const double x = (t - FStripLeft) / perPixel - 0.5;
        p.fillRect(QRectF(x, area.top(), 1, area.height()), QColor(0xc8, 0xd0, 0xdc, 70));
        p.fillRect(QRectF(x - 0.5, area.top(), 2, 4), QColor(0xc8, 0xd0, 0xdc));
        p.fillRect(QRectF(x - 0.5, area.bottom() - 4, 2, 4), QColor(0xc8, 0xd0, 0xdc));
        t += tempo->At(t).Period();
    }
}

// The loop (shaded, its ends in green), the loop-in point and the hot cues (numbered lines) over
// `area`, whose left edge is at song frame `fromFrame`.
void TWaveView::PaintMarks(QPainter& p, QRectF area, double fromFrame, double framesPerPixel)
{
    const auto x = [&](double frame) { return area.left() + (frame - fromFrame) / framesPerPixel; };
    TMxDSMixerChannel* ch = FDeck->Channel();
    const bool looping = ch->FrameLooping();
    const std::optional<int64_t> in = FDeck->LoopInFrame();
    std::optional<int64_t> cues[TDeckController::kHotCues];
    bool any = looping || in;
    for (int i = 0; i < TDeckController::kHotCues; ++i) {
        cues[i] = FDeck->HotCue(i);
        any = any || cues[i];
    }
    if (!any) // the usual frame: a painter's state and font are not free at every display frame
        return;
    p.save();
    p.setClipRect(area);
    if (looping) {
        const double a = x(ch->LoopStart()), b = x(ch->LoopEnd());
        QColor shade = kLoop;
        shade.setAlpha(50);
        p.fillRect(QRectF(a, area.top(), b - a, area.height()), shade);
        p.fillRect(QRectF(a - 0.5, area.top(), 1, area.height()), kLoop);
        p.fillRect(QRectF(b - 0.5, area.top(), 1, area.height()), kLoop);
    } else if (in) {
        p.fillRect(QRectF(x(*in) - 0.5, area.top(), 1, area.height()), kLoop);
    }
    QFont font = p.font();
    font.setPixelSize(8);
    font.setBold(true);
    p.setFont(font);
    for (int i = 0; i < TDeckController::kHotCues; ++i) {
        if (!cues[i])
            continue;
        const double at = x(*cues[i]);
        p.fillRect(QRectF(at - 0.5, area.top(), 1, area.height()), kCue[i]);
        const QRectF tag(at, area.top(), 8, 9);
        p.fillRect(tag, kCue[i]);
        p.setPen(Qt::black);
        p.drawText(tag, Qt::AlignCenter, QString::number(i + 1));
    }
    p.restore();
}

void TWaveView::mousePressEvent(QMouseEvent* event)
{
    // A click on the overview plays from there.
    if (event->button() != Qt::LeftButton || !FDeck || FDeck->edtFileName().empty() ||
        event->position().y() >= OverviewHeight)
        return;
    const double share = std::clamp(event->position().x() / width(), 0.0, 1.0);
    FDeck->JumpTo(std::llround(share * FDeck->Channel()->Frames()));
}

// ---- the window ----

TWaveformWindow::TWaveformWindow(QWidget* owner) : QWidget(owner, Qt::Tool | Qt::FramelessWindowHint)
{
    setObjectName("Waveforms");
    setWindowTitle("DuoDeck Waveforms");
    setFixedSize(WindowWidth, WindowHeight);
    const char* const sides[2] = {"Left", "Right"};
    for (int d = 0; d < 2; ++d) {
        const int top = d * DeckHeight;
        Views[d] = new TWaveView(this, QRect(6, top + 5, WindowWidth - 12, 103));
        Views[d]->setObjectName(QString("Wave%1").arg(sides[d]));
        const int row = top + 112;
        for (int i = 0; i < 8; ++i) {
            auto* pad =
                new TPad(this, QString("Cue%1%2").arg(sides[d]).arg(i + 1), QRect(6 + i * 24, row, 22, 20), kCue[i],
                         QString("Hot cue %1: click sets it at the playing position (on the beat with Q "
                                 "lit), then jumps to it; right-click deletes it")
                             .arg(i + 1));
            pad->SetText(QString::number(i + 1));
            pad->OnClick = [this, d, i] {
                if (FDecks[d])
                    FDecks[d]->HotCuePress(i);
            };
            pad->OnRightClick = [this, d, i] {
                if (FDecks[d])
                    FDecks[d]->DeleteHotCue(i);
            };
            CuePads[d][i] = pad;
        }
        struct PadLook {
            const char* Name;
            int Width;
            const char* Text;
            const char* Hint;
        };
        const PadLook looks[LoopPads] = {
            {"Halve", 18, "½", "Halve the loop (and the next one's size)"},
            {"Loop", 44, "", "A loop of this many beats from the next beat (from here with Q off); again: exit"},
            {"Double", 18, "×2", "Double the loop (and the next one's size)"},
            {"In", 22, "IN", "Loop in: where a loop set by hand starts (on the beat with Q lit)"},
            {"Out", 28, "OUT", "Loop out: where the loop set by hand ends; it starts looping"},
            {"Quantize", 18, "Q", "Quantize, for both decks: cues and loops on the beat grid"},
        };
        int x = 6 + 8 * 24 + 6;
        for (int k = 0; k < LoopPads; ++k) {
            auto* pad = new TPad(this, QString("%1%2").arg(looks[k].Name, sides[d]), QRect(x, row, looks[k].Width, 20),
                                 k == Quantize ? QColor(0xc0, 0xc8, 0xd4) : kLoop, looks[k].Hint);
            pad->SetText(QString::fromUtf8(looks[k].Text));
            x += looks[k].Width + 2;
            pad->OnClick = [this, d, k] {
                TDeckController* deck = FDecks[d];
                if (!deck)
                    return;
                switch (k) {
                case Halve:
                    deck->HalveLoop();
                    break;
                case Loop:
                    deck->Looping() ? deck->ExitLoop() : deck->BeatLoop(deck->LoopBeats());
                    break;
                case Double:
                    deck->DoubleLoop();
                    break;
                case In:
                    deck->LoopIn();
                    break;
                case Out:
                    deck->LoopOut();
                    break;
                case Quantize:
                    TDeckController::SetQuantize(!TDeckController::Quantize());
                    break;
                }
                Refresh();
            };
            LoopPadsOf[d][k] = pad;
        }
    }
    FFrames.setTimerType(Qt::PreciseTimer);
    connect(&FFrames, &QTimer::timeout, this, [this] {
        for (TWaveView* v : Views)
            v->Tick();
    });
    Refresh();
}

void TWaveformWindow::SetDecks(TDeckController* left, TDeckController* right)
{
    FDecks[0] = left;
    FDecks[1] = right;
    for (int d = 0; d < 2; ++d) {
        Views[d]->SetDeck(FDecks[d]);
        if (FDecks[d])
            FDecks[d]->OnCuesChanged = [this] { Refresh(); };
    }
    Refresh();
}

void TWaveformWindow::Refresh()
{
    for (int d = 0; d < 2; ++d) {
        const TDeckController* deck = FDecks[d];
        for (int i = 0; i < 8; ++i)
            CuePads[d][i]->SetLit(deck && deck->HotCue(i));
        const bool looping = deck && deck->Looping();
        LoopPadsOf[d][Loop]->SetLit(looping);
        LoopPadsOf[d][Loop]->SetText("LOOP " + BeatsText(deck ? deck->LoopBeats() : 4));
        LoopPadsOf[d][In]->SetLit(deck && !looping && deck->LoopInFrame());
        LoopPadsOf[d][Quantize]->SetLit(TDeckController::Quantize());
        Views[d]->update();
    }
}

void TWaveformWindow::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), QColor(0x1b, 0x1f, 0x26));
    p.setPen(kFrame);
    p.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    p.drawLine(QPointF(0, DeckHeight - 0.5), QPointF(width(), DeckHeight - 0.5));
    QFont font = p.font();
    font.setPixelSize(12);
    font.setBold(true);
    p.setFont(font);
    p.setPen(QColor(0x8a, 0x93, 0xa3));
    for (int d = 0; d < 2; ++d)
        p.drawText(QRect(WindowWidth - 30, d * DeckHeight + 112, 24, 20), Qt::AlignRight | Qt::AlignVCenter,
                   d == 0 ? QStringLiteral("A") : QStringLiteral("B"));
}

void TWaveformWindow::showEvent(QShowEvent* event)
{
    // One tick per frame of the display the window is on.
    const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    const double hz = s && s->refreshRate() > 1 ? s->refreshRate() : 60.0;
    FFrames.start(std::max(1, static_cast<int>(1000 / hz)));
    QWidget::showEvent(event);
}

void TWaveformWindow::hideEvent(QHideEvent* event)
{
    FFrames.stop();
    QWidget::hideEvent(event);
}

void TWaveformWindow::mousePressEvent(QMouseEvent* event)
{
    if (OnSurfaceMouse)
        OnSurfaceMouse(event);
}

void TWaveformWindow::mouseMoveEvent(QMouseEvent* event)
{
    if (OnSurfaceMouse)
        OnSurfaceMouse(event);
}

void TWaveformWindow::mouseReleaseEvent(QMouseEvent* event)
{
    if (OnSurfaceMouse)
        OnSurfaceMouse(event);
}
