#include "platform/ui/ErrorDisplay.h"

#include <cstdio>

namespace {
ErrorDisplay& Display()
{
    static ErrorDisplay display = [](const std::string& message) { std::fprintf(stderr, "%s\n", message.c_str()); };
    return display;
}
} // namespace

ErrorDisplay SetErrorDisplay(ErrorDisplay display)
{
    auto old = std::move(Display());
    Display() = std::move(display);
    return old;
}

void ReportError(const std::string& message)
{
    if (Display())
        Display()(message);
}
