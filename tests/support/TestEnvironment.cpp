#include "tests/support/TestEnvironment.h"

#include <cstdlib>

extern "C" {
// Read by the sanitizer runtimes at start-up when the test is built with them (stop at the first
// report); unused otherwise.
__attribute__((used, visibility("default"))) const char* __tsan_default_options()
{
    return "halt_on_error=1 second_deadlock_stack=1";
}
// The sound server's client library is not built with the sanitizer: its own locking is invisible
// to it (ALSA's pulse plugin loads it too, under PortAudio).
__attribute__((used, visibility("default"))) const char* __tsan_default_suppressions()
{
    return "race:libpulsecommon\nrace:libpulse.so\nmutex:libpulse\ncalled_from_lib:libpulsecommon-16.1.so\n";
}
__attribute__((used, visibility("default"))) const char* __ubsan_default_options()
{
    return "print_stacktrace=1";
}
}

void SetTestEnvironment()
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("DUODECK_AUDIO_BACKEND", "null", 0);
}
