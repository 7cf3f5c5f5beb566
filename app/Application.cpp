#include "app/Application.h"

#include "platform/kernel/Exceptions.h"
#include "platform/ui/ErrorDisplay.h"

#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <exception>

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName("DuoDeck");
}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ReportError(CurrentExceptionMessage());
        return false;
    }
}

std::string CurrentExceptionMessage()
{
    try {
        throw;
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

void InstallMessageBoxErrorDisplay()
{
    SetErrorDisplay([](const std::string& message) {
        const QString title = QApplication::applicationDisplayName();
        std::fprintf(stderr, "%s: %s\n", qPrintable(title), message.c_str());
        QMessageBox::critical(nullptr, title, QString::fromStdString(message));
    });
}

std::string MissingDisplayReason()
{
    const char* platformEnv = std::getenv("QT_QPA_PLATFORM");
    const std::string platform = platformEnv ? platformEnv : "";
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    // Platforms that need no window system (offscreen, minimal, vnc ...) always work.
    const bool wantsX = platform.empty() || platform.rfind("xcb", 0) == 0;
    const bool wantsWayland = platform.rfind("wayland", 0) == 0;
    if (wantsX && !set("DISPLAY") && !(platform.empty() && set("WAYLAND_DISPLAY")))
        return "DuoDeck needs a graphical display, and none was found (DISPLAY is not set). Start it from a "
               "desktop session, or under a virtual display: xvfb-run -a duodeck";
    if (wantsWayland && !set("WAYLAND_DISPLAY"))
        return "DuoDeck was asked for a Wayland display, and none was found (WAYLAND_DISPLAY is not set).";
    return {};
}
