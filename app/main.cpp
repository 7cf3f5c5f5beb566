// Program entry: refuses a second copy (which hands over to the first), then creates the main
// window and the playlist window under it and runs the event loop.
#include "app/Application.h"
#include "app/Unit1.h"
#include "mixer/MxDSMixer.h"
#include "platform/kernel/SingleInstance.h"
#include "platform/ui/ErrorDisplay.h"
#include "playlist/UnitList.h"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
// Qt's session-bus connection leaves a buffer of the D-Bus library behind at exit: not ours to free.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libdbus-1.so\n";
}
#endif

int main(int argc, char* argv[])
{
    const sigset_t terminationSignals = TerminationSignals();
    pthread_sigmask(SIG_BLOCK, &terminationSignals, nullptr);
    // On a Wayland session with XWayland the windows go through X11, where they can be placed and
    // dragged together; the user's own choice of platform stands.
    const std::string platform =
        PlatformToChoose(std::getenv("QT_QPA_PLATFORM"), std::getenv("WAYLAND_DISPLAY"), std::getenv("DISPLAY"));
    if (!platform.empty())
        qputenv("QT_QPA_PLATFORM", platform.c_str());
    // Without a display the application object would abort; say why instead.
    if (const std::string reason = MissingDisplayReason(); !reason.empty()) {
        std::fprintf(stderr, "%s\n", reason.c_str());
        return 1;
    }
    TApplication app(argc, argv);
    InstallMessageBoxErrorDisplay();
    if (QGuiApplication::platformName().startsWith("wayland"))
        std::fprintf(stderr, "DuoDeck: this Wayland session has no X11 (XWayland), so the two windows cannot be "
                             "kept together: each one moves on its own\n");

    TSingleInstance instance("RunOnlyOnce_MyProject");
    if (!instance.Acquire()) {
        // Another copy runs: it is asked to show itself, and this one ends without a window.
        instance.RequestActivation();
        return 0;
    }

    try {
        MxDSMixerInitialize();
    } catch (...) {
        ReportError(CurrentExceptionMessage());
    }

    int result = 1;
    try {
        TFormMain formMain;
        TFormList formList;
        QObject::connect(&instance, &TSingleInstance::ActivationRequested, &formMain, &TFormMain::RestoreApplication);
        CloseOnTerminationSignals(&formMain);
        formList.show();
        formMain.show();
        result = app.exec();
    } catch (...) {
        // A failure while building the windows leaves nothing to run.
        ReportError(CurrentExceptionMessage());
    }
    return result;
}
