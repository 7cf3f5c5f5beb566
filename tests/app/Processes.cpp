#include "tests/app/Processes.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

namespace apptest {

QProcessEnvironment CopyEnvironment(const QString& runtimeFolder, const QString& platform, const QStringList& extra)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", runtimeFolder);
    environment.insert("QT_QPA_PLATFORM", platform);
    environment.insert("DUODECK_AUDIO_BACKEND", "null");
    for (const QString& entry : extra)
        environment.insert(entry.section('=', 0, 0), entry.section('=', 1));
    return environment;
}

std::unique_ptr<QProcess, void (*)(QProcess*)> StartCopy(const QProcessEnvironment& environment)
{
    std::unique_ptr<QProcess, void (*)(QProcess*)> process(new QProcess, [](QProcess* p) {
        if (p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(5000);
        }
        delete p;
    });
    process->setProcessEnvironment(environment);
    process->start(DUODECK_EXE, {});
    process->waitForStarted(10000);
    return process;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    return true;
}

QString Run(const QString& program, const QStringList& arguments, int timeoutMs)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return {};
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

} // namespace apptest
