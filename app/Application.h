// The application object and its default error handler: an exception that escapes an event handler
// is reported through the error display (platform/ui/ErrorDisplay.h) and the program goes on.
// The program's display shows a message box titled with the application's title and writes the
// message to stderr. UI thread only.
#pragma once

#include <QApplication>

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
