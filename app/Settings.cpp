#include "app/Settings.h"

#include <QFile>
#include <QSettings>

namespace {

int Percent(const QSettings& ini, const char* key, int fallback)
{
    bool ok = false;
    const int value = ini.value(key).toString().toInt(&ok);
    return ok && value >= 0 && value <= 100 ? value : fallback;
}

} // namespace

THeadphonesSettings LoadHeadphonesSettings(const QByteArray& file)
{
    THeadphonesSettings s;
    const QSettings ini(QFile::decodeName(file), QSettings::IniFormat);
    if (ini.status() != QSettings::NoError)
        return s;
    const QString output = ini.value("Headphones/Output").toString();
    if (output == "none" || output == "split" || (output.startsWith("sink:") && output.size() > 5) ||
        (output.startsWith("device:") && output.size() > 7))
        s.Output = output;
    s.Description = ini.value("Headphones/Description").toString();
    s.Blend = Percent(ini, "Headphones/Blend", s.Blend);
    s.Level = Percent(ini, "Headphones/Level", s.Level);
    return s;
}

bool SaveHeadphonesSettings(const QByteArray& file, const THeadphonesSettings& settings)
{
    QSettings ini(QFile::decodeName(file), QSettings::IniFormat);
    ini.setValue("Headphones/Output", settings.Output);
    ini.setValue("Headphones/Description", settings.Description);
    ini.setValue("Headphones/Blend", settings.Blend);
    ini.setValue("Headphones/Level", settings.Level);
    ini.sync();
    return ini.status() == QSettings::NoError;
}
