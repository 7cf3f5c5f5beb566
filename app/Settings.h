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

THeadphonesSettings LoadHeadphonesSettings(const QByteArray& file);
// False when the file cannot be written.
bool SaveHeadphonesSettings(const QByteArray& file, const THeadphonesSettings& settings);
