// Program entry: refuses a second copy (which hands over to the first), then creates the main
// window and the playlist window under it and runs the event loop.
#include "app/Application.h"
#include "app/Unit1.h"
#include "mixer/MxDSMixer.h"
#include "platform/kernel/SingleInstance.h"
#include "platform/ui/ErrorDisplay.h"
#include "playlist/UnitList.h"

#include <cstdio>

#if defined(__SANITIZE_ADDRESS__)
// Qt's session-bus connection leaves a buffer of the D-Bus library behind at exit: not ours to free.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libdbus-1.so\n";
}
#endif

int main(int argc, char* argv[])
{
    // Without a display the application object would abort; say why instead.
    if (const std::string reason = MissingDisplayReason(); !reason.empty()) {
        std::fprintf(stderr, "%s\n", reason.c_str());
        return 1;
    }
    // The windows are small and repaint small patches twenty times a second. X shared-memory images
    // cost a round trip to the server before each paint, more than sending those pixels; a user's
    // own setting stands.
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM"))
        qputenv("QT_XCB_NO_MITSHM", "1");
    TApplication app(argc, argv);
    InstallMessageBoxErrorDisplay();

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
        formList.show();
        formMain.show();
        result = app.exec();
    } catch (...) {
        // A failure while building the windows leaves nothing to run.
        ReportError(CurrentExceptionMessage());
    }
    return result;
}
