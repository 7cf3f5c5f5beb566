#include "app/Settings.h"

#include "platform/kernel/Exceptions.h"
#include "platform/kernel/KeptFile.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdio>
#include <optional>

namespace {

int Percent(const QSettings& ini, const char* key, int fallback)
{
    bool ok = false;
    const int value = ini.value(key).toString().toInt(&ok);
    return ok && value >= 0 && value <= 100 ? value : fallback;
}

// QSettings opens files by name only, following any link, so it works on a private copy in a fresh
// temporary folder; the settings file itself is only read and replaced through KeptFile.h. A fresh
// folder each time, because QSettings caches what it read by file name within the process.
class TPrivateCopy {
public:
    bool Valid() const { return FDir.isValid(); }
    QString Name() const { return FDir.filePath(SettingsFile); }
    bool Write(const std::string& text) const
    {
        QFile file(Name());
        return file.open(QIODevice::WriteOnly) && file.write(text.data(), qint64(text.size())) == qint64(text.size());
    }
    std::optional<std::string> Read() const
    {
        QFile file(Name());
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        return file.readAll().toStdString();
    }

private:
    QTemporaryDir FDir; // 0700
};

// Reads the settings file into `read`; a missing, damaged or refused file leaves the defaults.
template <class Read> void ReadSettings(const QByteArray& file, Read&& read)
{
    std::string problem;
    const std::optional<std::string> text = ReadKeptFile(file.toStdString(), problem);
    if (!problem.empty())
        std::fprintf(stderr, "DuoDeck: %s is not read (%s); the settings are the defaults.\n", file.constData(),
                     problem.c_str());
    TPrivateCopy copy;
    if (!text || !copy.Valid() || !copy.Write(*text))
        return;
    const QSettings ini(copy.Name(), QSettings::IniFormat);
    if (ini.status() == QSettings::NoError)
        read(ini);
}

// Writes what `write` sets into the settings file, keeping the keys it does not set (and those this
// version does not know); a file that may not be read is not merged. False when it cannot be written.
template <class Write> bool WriteSettings(const QByteArray& file, Write&& write)
{
    std::string problem;
    const std::optional<std::string> old = ReadKeptFile(file.toStdString(), problem);
    TPrivateCopy copy;
    if (!copy.Valid() || (old && !copy.Write(*old)))
        return false;
    {
        QSettings ini(copy.Name(), QSettings::IniFormat);
        write(ini);
        ini.sync();
        if (ini.status() != QSettings::NoError)
            return false;
    }
    const std::optional<std::string> text = copy.Read();
    if (!text)
        return false;
    try {
        ReplaceKeptFile(file.toStdString(), *text);
    } catch (const Exception&) {
        return false;
    }
    return true;
}

bool Flag(const QSettings& ini, const char* key, bool fallback)
{
    const QString v = ini.value(key).toString();
    return v == "true" ? true : v == "false" ? false : fallback;
}

} // namespace

TSettings LoadSettings(const QByteArray& file)
{
    TSettings all;
    ReadSettings(file, [&](const QSettings& ini) {
        THeadphonesSettings& s = all.Headphones;
        const QString output = ini.value("Headphones/Output").toString();
        if (output == "none" || output == "split" || (output.startsWith("sink:") && output.size() > 5) ||
            (output.startsWith("device:") && output.size() > 7))
            s.Output = output;
        s.Description = ini.value("Headphones/Description").toString();
        s.Blend = Percent(ini, "Headphones/Blend", s.Blend);
        s.Level = Percent(ini, "Headphones/Level", s.Level);
        TMixSettings& m = all.Mix;
        const QString curve = ini.value("Mixer/Crossfader").toString();
        if (curve == "power" || curve == "cut" || curve == "original")
            m.Crossfader = curve;
        m.AutoGain = Flag(ini, "Mixer/AutoGain", m.AutoGain);
        m.Limiter = Flag(ini, "Mixer/Limiter", m.Limiter);
    });
    return all;
}

bool SaveHeadphonesSettings(const QByteArray& file, const THeadphonesSettings& settings)
{
    return WriteSettings(file, [&](QSettings& ini) {
        ini.setValue("Headphones/Output", settings.Output);
        ini.setValue("Headphones/Description", settings.Description);
        ini.setValue("Headphones/Blend", settings.Blend);
        ini.setValue("Headphones/Level", settings.Level);
    });
}

bool SaveMixSettings(const QByteArray& file, const TMixSettings& settings)
{
    return WriteSettings(file, [&](QSettings& ini) {
        ini.setValue("Mixer/Crossfader", settings.Crossfader);
        ini.setValue("Mixer/AutoGain", settings.AutoGain ? "true" : "false");
        ini.setValue("Mixer/Limiter", settings.Limiter ? "true" : "false");
    });
}
