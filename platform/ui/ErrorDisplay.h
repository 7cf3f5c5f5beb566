// The application's error display: where a failure that no caller can catch is shown (a message
// box in the program, stderr by default). Call ReportError on the UI thread only.
#pragma once

#include <functional>
#include <string>

using ErrorDisplay = std::function<void(const std::string& message)>;

// Installs the display; returns the previous one (tests restore it).
ErrorDisplay SetErrorDisplay(ErrorDisplay display);
void ReportError(const std::string& message);
