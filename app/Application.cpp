#include "app/Application.h"

#include "platform/kernel/Exceptions.h"
#include "platform/ui/ErrorDisplay.h"

#include <QMessageBox>
#include <QSocketNotifier>
#include <QWidget>

#include <sys/socket.h>
#include <unistd.h>

#include <pthread.h>

#include <csignal>

#include <cstdio>
#include <cstdlib>
#include <exception>

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName("DuoDeck");
    // Ties the windows to the menu entry and its icon (on Wayland, their app id).
    setDesktopFileName("org.duodeck.DuoDeck");
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

std::string PlatformToChoose(const char* userPlatform, const char* waylandDisplay, const char* xDisplay)
{
    const auto set = [](const char* value) { return value && *value; };
    if (set(userPlatform) || !set(waylandDisplay) || !set(xDisplay))
        return {};
    return "xcb";
}

namespace {

int SignalPipe[2] = {-1, -1};
constexpr int ClosingSignals[] = {SIGTERM, SIGINT, SIGHUP};

void OnTerminationSignal(int)
{
    const char byte = 1;
    // Only async-signal-safe calls here; a full pipe means a close is already on its way.
    [[maybe_unused]] const ssize_t written = write(SignalPipe[1], &byte, 1);
}

} // namespace

void CloseOnTerminationSignals(QWidget* mainWindow)
{
    if (SignalPipe[0] >= 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, SignalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, mainWindow);
    QObject::connect(notifier, &QSocketNotifier::activated, mainWindow, [mainWindow] {
        char bytes[16];
        while (read(SignalPipe[0], bytes, sizeof bytes) > 0) {
        }
        mainWindow->close();
    });
    struct sigaction action {};
    action.sa_handler = &OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : ClosingSignals)
        sigaction(signal, &action, nullptr);
    sigset_t blocked = TerminationSignals();
    pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
}

sigset_t TerminationSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : ClosingSignals)
        sigaddset(&set, signal);
    return set;
}
