// The headphones settings, kept in Settings.ini in the data folder beside the playlists. A missing
// or damaged file, a link that may not be followed (KeptFile.h), or a value out of range, gives the
// defaults. UI thread.
#pragma once

#include <QByteArray>
#include <QString>

inline constexpr const char* SettingsFile = "Settings.ini";

struct THeadphonesSettings {
    // "none", "split", "sink:<server's sink name>" or "device:<GUID of a PortAudio device>".
    QString Output = "none";
    QString Description; // the device's name as the user chose it
    int Blend = 0;       // 0 = the cue only .. 100 = the room only
    int Level = 100;     // percent

    bool operator==(const THeadphonesSettings&) const = default;
};

// The mixer's choices beyond the Parts.
struct TMixSettings {
    // "power": both decks at -3 dB in the middle, each silent at the far end; "cut": both at full
    // volume but for a sharp cut at the far end (for scratching); "original": the crossfader moves
    // the two volume knobs and never silences a deck.
    QString Crossfader = "power";
    bool AutoGain = true; // songs at one loudness
    bool Limiter = true;  // no clip in the room or the recording

    bool operator==(const TMixSettings&) const = default;
};

struct TSettings {
    THeadphonesSettings Headphones;
    TMixSettings Mix;
};

// A missing or damaged file, or damaged values, mean the defaults.
TSettings LoadSettings(const QByteArray& file);
// Each keeps the other's keys, and those this version does not know. False when the file cannot be
// written.
bool SaveHeadphonesSettings(const QByteArray& file, const THeadphonesSettings& settings);
bool SaveMixSettings(const QByteArray& file, const TMixSettings& settings);
