// Starting the real duodeck binary from a test: each copy gets the test's own runtime folder, so
// that its single-instance guard meets only the copies of the same test.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace apptest {

// The environment of a copy: the test's runtime folder, the null sound backend and `platform`
// ("offscreen", or "xcb" under an X server), plus `extra` ("NAME=value" entries).
QProcessEnvironment CopyEnvironment(const QString& runtimeFolder, const QString& platform,
                                    const QStringList& extra = {});

// Starts the binary; the returned process is killed (if still running) when it is destroyed.
std::unique_ptr<QProcess, void (*)(QProcess*)> StartCopy(const QProcessEnvironment& environment);

// Polls `condition` every 20 ms, pumping events, until it holds or `timeoutMs` pass.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);

// Runs a program to its end; its standard output, or an empty string when it failed.
QString Run(const QString& program, const QStringList& arguments, int timeoutMs = 10000);

} // namespace apptest
