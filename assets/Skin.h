// The window skins and the pictures of the knobs and buttons, compiled in as Qt resources, and
// the operation that turns a skin into a window shape. Any thread may load pictures (QImage);
// the region is built on the UI thread by the window it shapes.
#pragma once

#include <QImage>
#include <QRect>
#include <QRegion>

#include <optional>
#include <vector>

namespace artwork {

// Resource paths. Skins are 396 x 238, 24 bits per pixel, white where the window is not.
inline constexpr const char* SkinMain = ":/pictures/skin_main.png";
inline constexpr const char* SkinList = ":/pictures/skin_list.png";
// The mixer strip docked on top of the main window: 396 x 46, white where the strip is not.
inline constexpr const char* SkinMixer = ":/pictures/skin_mixer.png";

inline constexpr const char* KnobVolume = ":/pictures/knob_volume.png";
inline constexpr const char* KnobFrequency = ":/pictures/knob_frequency.png";
inline constexpr const char* KnobPosition = ":/pictures/knob_position.png";
inline constexpr const char* KnobCrossfader = ":/pictures/knob_crossfader.png";
// Rotary knobs: film strips of square frames side by side, turned from -135 to +135 degrees.
inline constexpr const char* KnobEq = ":/pictures/knob_eq.png";
inline constexpr const char* KnobTrim = ":/pictures/knob_trim.png";

// The three looks of a button: pointer away, pointer over, left button held.
struct TButtonLooks {
    const char* Normal;
    const char* Hover;
    const char* Down;
};
inline constexpr TButtonLooks BtnPlay{":/pictures/btn_play_normal.png", ":/pictures/btn_play_hover.png",
                                      ":/pictures/btn_play_down.png"};
inline constexpr TButtonLooks BtnPause{":/pictures/btn_pause_normal.png", ":/pictures/btn_pause_hover.png",
                                       ":/pictures/btn_pause_down.png"};
inline constexpr TButtonLooks BtnStop{":/pictures/btn_stop_normal.png", ":/pictures/btn_stop_hover.png",
                                      ":/pictures/btn_stop_down.png"};
inline constexpr TButtonLooks BtnAdd{":/pictures/btn_add_normal.png", ":/pictures/btn_add_hover.png",
                                     ":/pictures/btn_add_down.png"};
inline constexpr TButtonLooks BtnMin{":/pictures/btn_min_normal.png", ":/pictures/btn_min_hover.png",
                                     ":/pictures/btn_min_down.png"};
inline constexpr TButtonLooks BtnClose{":/pictures/btn_close_normal.png", ":/pictures/btn_close_hover.png",
                                       ":/pictures/btn_close_down.png"};
inline constexpr TButtonLooks BtnSave{":/pictures/btn_save_normal.png", ":/pictures/btn_save_hover.png",
                                      ":/pictures/btn_save_down.png"};
inline constexpr TButtonLooks BtnSync{":/pictures/btn_sync_normal.png", ":/pictures/btn_sync_hover.png",
                                      ":/pictures/btn_sync_down.png"};
inline constexpr TButtonLooks BtnHelp{":/pictures/btn_help_normal.png", ":/pictures/btn_help_hover.png",
                                      ":/pictures/btn_help_down.png"};

// Looks that the handlers swap in as state changes.
inline constexpr const char* LoopOff = ":/pictures/btn_loop_off.png";
inline constexpr const char* LoopOn = ":/pictures/btn_loop_on.png";
inline constexpr const char* LoopDown = ":/pictures/btn_loop_down.png";
inline constexpr const char* KeylockOff = ":/pictures/btn_keylock_off.png";
inline constexpr const char* KeylockOn = ":/pictures/btn_keylock_on.png";
inline constexpr const char* KeylockDown = ":/pictures/btn_keylock_down.png";
inline constexpr const char* CueOff = ":/pictures/btn_cue_off.png";
inline constexpr const char* CueOn = ":/pictures/btn_cue_on.png";
inline constexpr const char* CueDown = ":/pictures/btn_cue_down.png";
inline constexpr const char* KillOff = ":/pictures/btn_kill_off.png";
inline constexpr const char* KillOn = ":/pictures/btn_kill_on.png";
inline constexpr const char* KillDown = ":/pictures/btn_kill_down.png";
inline constexpr const char* LimiterOff = ":/pictures/light_limit_off.png";
inline constexpr const char* LimiterOn = ":/pictures/light_limit_on.png";
inline constexpr const char* RecordIdle = ":/pictures/btn_record_idle.png";
inline constexpr const char* RecordActive = ":/pictures/btn_record_active.png";
inline constexpr const char* RecPauseRunning = ":/pictures/btn_recpause_running.png";
inline constexpr const char* RecPausePaused = ":/pictures/btn_recpause_paused.png";

// Loads a compiled-in picture; raises Exception when it is missing (a build fault).
QImage Load(const char* path);

// The picture to show: on a screen of device pixel ratio above 1 its "@2x" drawing (ratio 2, the
// same logical size), else the picture itself. Shapes are taken from Load's picture, never this one.
QImage LoadForScreen(const char* path);

} // namespace artwork

// The opaque runs of a skin, row by row from the top, each left to right: a pixel is opaque when
// its colour (alpha included) differs from that of pixel (0, 0). Each run is one row high.
std::vector<QRect> SkinRuns(const QImage& skin);

// The window shape of a skin: the union of its runs; no region when it has none (an empty or
// zero-height picture, or one of a single colour), which leaves the window rectangular.
std::optional<QRegion> CreateSkinRegion(const QImage& skin);
