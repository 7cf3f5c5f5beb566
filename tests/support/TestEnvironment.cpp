#include "tests/support/TestEnvironment.h"

#include <cstdlib>

extern "C" {
// Read by the sanitizer runtimes at start-up when the test is built with them (stop at the first
// report); unused otherwise.
__attribute__((used, visibility("default"))) const char* __tsan_default_options()
{
    return "halt_on_error=1 second_deadlock_stack=1";
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
