// The application object and its default error handler: an exception that escapes an event handler
// is reported through the error display (platform/ui/ErrorDisplay.h) and the program goes on.
// The program's display shows a message box titled with the application's title and writes the
// message to stderr. UI thread only.
#pragma once

#include <QApplication>

#include <csignal>

class TApplication : public QApplication {
    Q_OBJECT
public:
    TApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;
};

// The message text of the exception being handled (call inside a catch block).
std::string CurrentExceptionMessage();

// Installs the program's error display: stderr, then a modal message box.
void InstallMessageBoxErrorDisplay();

// Empty when the window system Qt will use is reachable; otherwise the sentence that says why not.
// Checked before the application object exists, which would abort without a display.
std::string MissingDisplayReason();

// The Qt platform start-up asks for, given QT_QPA_PLATFORM, WAYLAND_DISPLAY and DISPLAY (null or
// empty: unset): "xcb" on a Wayland session that offers XWayland, so that both windows are placed
// and dragged together by position, which a Wayland client cannot do; empty where the user's
// choice or Qt's own stands.
std::string PlatformToChoose(const char* userPlatform, const char* waylandDisplay, const char* xDisplay);

// Closes the main window, as its Close button does, when the process receives SIGTERM, SIGINT or
// SIGHUP (a session that ends, Ctrl-C, kill), so that the playlists are kept. Call once, after the
// application object exists.
void CloseOnTerminationSignals(QWidget* mainWindow);

// SIGTERM, SIGINT and SIGHUP. Blocked from the first line of main() (and so in every thread started
// before) until CloseOnTerminationSignals takes them: one that comes during start-up waits, then
// closes the program as the others do.
sigset_t TerminationSignals();
