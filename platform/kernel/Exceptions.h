// The exception base of the program: every failure the user may see carries one message text.
// Any thread may raise these; nothing here locks.
#pragma once

#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    const std::string& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FMessage.c_str(); }

private:
    std::string FMessage;
};

// Raised by internal consistency checks; the text names the check that failed.
class EAssertionFailed : public Exception {
public:
    using Exception::Exception;
};

// Raises EAssertionFailed with `text` when `condition` is false.
inline void Assert(bool condition, const char* text)
{
    if (!condition)
        throw EAssertionFailed(text);
}
