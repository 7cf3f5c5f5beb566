// The mixer strip docked on top of the main window: the decks' band knobs, kills and gain, and the
// limiter's light. UI thread only.
#include "app/MixerStrip.h"

#include "app/Unit1.h"
#include "assets/Skin.h"
#include "decks/unitChannel.h"
#include "decks/unitChannel2.h"
#include "mixer/MxDSMixer.h"
#include "mixer/MxDSMixerChannel.h"
#include "widgets/Image.h"
#include "widgets/ImgBtn.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

QPixmap Picture(const char* path)
{
    return QPixmap::fromImage(artwork::LoadForScreen(path));
}

// The deck's voice controls; none once the decks are gone (after the close sequence).
engine::VoiceControls* Voice(int deck)
{
    TDeckController* d = deck == 0 ? static_cast<TDeckController*>(FormChannel) : FormChannel2;
    return d && d->Channel() ? &d->Channel()->Voice() : nullptr;
}

// Left edges of the knobs, 18 x 18 at row 5 (the artwork's ticks surround them): the left deck's
// low, mid, high and gain, then the right deck's; the kill switches, 18 x 8, under the bands.
constexpr int kKnobLeft[2][TMixerStrip::KnobsPerDeck] = {{58, 86, 114, 18}, {264, 292, 320, 360}};
constexpr int kKnobTop = 5, kKnobSize = 18, kKillTop = 34;
const char* const kBandNames[3] = {"low", "mid", "high"};
const char* const kDeckNames[2] = {"Left", "Right"};

} // namespace

// ---- the knob ----

TRotaryKnob::TRotaryKnob(QWidget* owner, const char* name, QRect geometry, const char* picture, const char* hint)
    : QWidget(owner), FFrames(Picture(picture))
{
    setObjectName(name);
    setGeometry(geometry);
    setToolTip(hint);
    setAttribute(Qt::WA_TranslucentBackground);
    // Frames are square: as many as the strip is times its height.
    FFrameCount = std::max(1, static_cast<int>(std::lround(FFrames.deviceIndependentSize().width() /
                                                           FFrames.deviceIndependentSize().height())));
}

void TRotaryKnob::SetValue(double value)
{
    value = std::clamp(value, -1.0, 1.0);
    if (std::abs(value) < 1e-9)
        value = 0; // steps of a tenth land on unity exactly
    if (value == FValue)
        return;
    FValue = value;
    update();
    if (OnChange)
        OnChange(FValue);
}

void TRotaryKnob::paintEvent(QPaintEvent*)
{
    const int frame = static_cast<int>(std::lround((FValue + 1) / 2 * (FFrameCount - 1)));
    const double side = FFrames.deviceIndependentSize().height();
    QPainter p(this);
    p.drawPixmap(QRectF(0, 0, width(), height()), FFrames,
                 QRectF(frame * side * FFrames.devicePixelRatio(), 0, side * FFrames.devicePixelRatio(),
                        side * FFrames.devicePixelRatio()));
}

void TRotaryKnob::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    FDragging = true;
    FAnchor = event->position().toPoint().y();
    FDragFrom = FValue + (FValue > 0 ? kDetent : FValue < 0 ? -kDetent : 0);
}

void TRotaryKnob::mouseMoveEvent(QMouseEvent* event)
{
    if (!FDragging)
        return;
    // The drag runs over -1-kDetent .. 1+kDetent; the detent's span around unity reads as unity.
    const double at =
        std::clamp(FDragFrom + (FAnchor - event->position().toPoint().y()) * kPerPixel, -1 - kDetent, 1 + kDetent);
    SetValue(std::abs(at) <= kDetent ? 0.0 : at - std::copysign(kDetent, at));
}

void TRotaryKnob::mouseReleaseEvent(QMouseEvent*)
{
    FDragging = false;
}

void TRotaryKnob::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        SetValue(0);
}

void TRotaryKnob::wheelEvent(QWheelEvent* event)
{
    // Some mice turn Shift+wheel into a sideways turn.
    const QPoint angle = event->angleDelta();
    FWheelRest += angle.y() != 0 ? angle.y() : angle.x();
    const int notches = FWheelRest / 120;
    FWheelRest -= notches * 120;
    Step(notches * (event->modifiers() & Qt::ShiftModifier ? kFineStep : kStep));
    event->accept();
}

// ---- the strip ----

TMixerStrip::TMixerStrip(QWidget* owner)
    : QWidget(owner, Qt::Tool | Qt::FramelessWindowHint), FLightOff(Picture(artwork::LimiterOff)),
      FLightOn(Picture(artwork::LimiterOn)), FKillOff(Picture(artwork::KillOff)), FKillOn(Picture(artwork::KillOn))
{
    setObjectName("MixerStrip");
    setWindowTitle("DuoDeck Mixer");
    setFixedSize(StripWidth, StripHeight);
    auto* skin = new TImage(this);
    skin->setObjectName("ImgMixer");
    skin->SetPicture(artwork::LoadForScreen(artwork::SkinMixer));
    skin->setAttribute(Qt::WA_TransparentForMouseEvents);
    if (const auto region = CreateSkinRegion(artwork::Load(artwork::SkinMixer)))
        setMask(*region);

    for (int deck = 0; deck < 2; ++deck) {
        const QString side = kDeckNames[deck];
        for (int k = 0; k < KnobsPerDeck; ++k) {
            const bool trim = k == Trim;
            const QString name = QString("Knob%1%2").arg(side, trim ? "Trim" : QString(kBandNames[k]).toUpper());
            const QString hint =
                trim ? QString("%1 song's gain, -12 to +12 dB (double-click: 0 dB)").arg(side)
                     : QString("%1 song's %2: full cut to +6 dB (double-click: unity)").arg(side, kBandNames[k]);
            auto* knob = new TRotaryKnob(this, name.toLatin1().constData(),
                                         QRect(kKnobLeft[deck][k], kKnobTop, kKnobSize, kKnobSize),
                                         trim ? artwork::KnobTrim : artwork::KnobEq, hint.toUtf8().constData());
            knob->OnChange = [this, deck, k](double) { Apply(deck, k); };
            Knobs[deck][k] = knob;
        }
        for (int band = 0; band < 3; ++band) {
            auto* b = new TImgBtn(this);
            b->setObjectName(QString("BtnKill%1%2").arg(side, QString(kBandNames[band]).toUpper()));
            b->setGeometry(kKnobLeft[deck][band], kKillTop, kKnobSize, 8);
            b->SetStretch(true);
            b->SetTransparent(true);
            b->setToolTip(QString("Kill the %1 song's %2").arg(side.toLower(), kBandNames[band]));
            b->SetPicture(FKillOff);
            b->SetPic(FKillOff);
            b->SetPicUp(FKillOn);
            b->SetPicDown(Picture(artwork::KillDown));
            b->OnClick = [this, deck, band](QObject*) { ToggleKill(deck, band); };
            Kills[deck][band] = b;
        }
    }
    LimiterLight = new QLabel(this);
    LimiterLight->setObjectName("LimiterLight");
    LimiterLight->setGeometry(181, 11, 34, 12);
    LimiterLight->setScaledContents(true);
    LimiterLight->setPixmap(FLightOff);
    LimiterLight->setToolTip("Lit while the limiter keeps the mix from clipping");
}

float TMixerStrip::BandGain(double value)
{
    return static_cast<float>(value >= 0 ? std::pow(10.0, 6 * value / 20) : std::pow(1 + value, 3));
}

void TMixerStrip::Apply(int deck, int knob)
{
    engine::VoiceControls* voice = Voice(deck);
    if (!voice)
        return;
    const double value = Knobs[deck][knob]->Value();
    if (knob == Trim)
        voice->SetTrim(TrimDb(value));
    else
        voice->SetBand(static_cast<engine::VoiceControls::Band>(knob), BandGain(value));
}

void TMixerStrip::ToggleKill(int deck, int band)
{
    engine::VoiceControls* voice = Voice(deck);
    if (!voice)
        return;
    const bool on = FKilled[deck][band] = !FKilled[deck][band];
    voice->SetKill(static_cast<engine::VoiceControls::Band>(band), on);
    // Lit while on: the on look stays under the pointer too.
    const QPixmap& look = on ? FKillOn : FKillOff;
    Kills[deck][band]->SetPicture(look);
    Kills[deck][band]->SetPic(look);
}

void TMixerStrip::PollLimiter()
{
    const auto now = std::chrono::steady_clock::now();
    if (FLimiterOn && LimiterGain() < 1.0f)
        FWorked = now;
    const bool lit = FWorked != decltype(FWorked){} && now - FWorked < std::chrono::milliseconds(kLitMs);
    if (lit == FLit)
        return;
    FLit = lit;
    LimiterLight->setPixmap(lit ? FLightOn : FLightOff);
}

void TMixerStrip::mousePressEvent(QMouseEvent* event)
{
    if (OnSurfaceMouse)
        OnSurfaceMouse(event);
}

void TMixerStrip::mouseMoveEvent(QMouseEvent* event)
{
    if (OnSurfaceMouse)
        OnSurfaceMouse(event);
}

void TMixerStrip::mouseReleaseEvent(QMouseEvent* event)
{
    if (OnSurfaceMouse)
        OnSurfaceMouse(event);
}
