#include "tests/support/TestEnvironment.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

extern "C" {
// Read by the sanitizer runtimes at start-up when the test is built with them (stop at the first
// report); unused otherwise.
__attribute__((used, visibility("default"))) const char* __tsan_default_options()
{
    return "halt_on_error=1 second_deadlock_stack=1";
}
// The sound server's client library and the bus library (RealtimeKit's client) are not built with
// the sanitizer: their own locking is invisible to it (ALSA's pulse plugin loads libpulse too, under
// PortAudio).
__attribute__((used, visibility("default"))) const char* __tsan_default_suppressions()
{
    return "race:libpulsecommon\nrace:libpulse.so\nmutex:libpulse\ncalled_from_lib:libpulsecommon-16.1.so\n"
           "race:libdbus-1.so\nmutex:libdbus-1.so\ndeadlock:libdbus-1.so\n";
}
// ALSA's plugins, which PortAudio's device scan loads, leak a little at each load and are unloaded
// before the leak check, which then cannot name them; kept loaded (below) they are named and passed
// over.
__attribute__((used, visibility("default"))) const char* __lsan_default_suppressions()
{
    return "leak:libasound_module_\n";
}
__attribute__((used, visibility("default"))) const char* __ubsan_default_options()
{
    return "print_stacktrace=1";
}
}

void SetTestEnvironment()
{
#if defined(__SANITIZE_ADDRESS__)
    // By the name ALSA itself opens them with.
    std::error_code error;
    for (const auto& plugin : std::filesystem::directory_iterator("/lib/x86_64-linux-gnu/alsa-lib", error))
        dlopen(plugin.path().c_str(), RTLD_NOW | RTLD_NODELETE);
#endif
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("DUODECK_AUDIO_BACKEND", "null", 0);
}
