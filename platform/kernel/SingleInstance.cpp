#include "platform/kernel/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

Q_LOGGING_CATEGORY(lcInstance, "duodeck.instance", QtWarningMsg)

// The only message a later copy sends; anything else on the socket is ignored.
constexpr char ActivateMessage[] = "activate\n";
constexpr qint64 MaxMessage = 64;

} // namespace

TSingleInstance::TSingleInstance(const QString& name, const QString& folder, QObject* parent)
    : QObject(parent), FName(name), FFolder(folder)
{
    if (FFolder.isEmpty())
        FFolder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (FFolder.isEmpty())
        FFolder = QDir::tempPath();
}

TSingleInstance::~TSingleInstance()
{
    if (FServer) {
        FServer->close(); // removes the socket file
        delete FServer;
    }
    if (FLockFd >= 0) {
        ::flock(FLockFd, LOCK_UN);
        ::close(FLockFd);
    }
}

QString TSingleInstance::LockPath() const
{
    return FFolder + "/" + FName + ".lock";
}

QString TSingleInstance::SocketPath() const
{
    return FFolder + "/" + FName + ".socket";
}

bool TSingleInstance::Acquire()
{
    if (FLockFd >= 0)
        return true;
    const QByteArray lockPath = QFile::encodeName(LockPath());
    const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "DuoDeck: cannot open the single-instance lock %s (%s); running unguarded.\n",
                     lockPath.constData(), std::strerror(errno));
        return true;
    }
    int rc;
    do
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return false;
        std::fprintf(stderr, "DuoDeck: cannot lock %s (%s); running unguarded.\n", lockPath.constData(),
                     std::strerror(error));
        return true;
    }
    FLockFd = fd;

    // Holding the lock makes any socket file left by a dead copy ours to remove.
    QLocalServer::removeServer(SocketPath());
    FServer = new QLocalServer(this);
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    connect(FServer, &QLocalServer::newConnection, this, &TSingleInstance::AcceptConnections);
    if (!FServer->listen(SocketPath()))
        std::fprintf(stderr, "DuoDeck: cannot listen on %s (%s); a second copy will not reach this one.\n",
                     qPrintable(SocketPath()), qPrintable(FServer->errorString()));
    return true;
}

void TSingleInstance::AcceptConnections()
{
    while (QLocalSocket* socket = FServer->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > MaxMessage)
                    socket->abort();
                return;
            }
            const QByteArray line = socket->readLine(MaxMessage);
            socket->disconnectFromServer();
            if (line == ActivateMessage) {
                qCDebug(lcInstance) << "activation requested by another copy";
                emit ActivationRequested();
            }
        });
    }
}

bool TSingleInstance::RequestActivation(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(SocketPath());
        if (socket.waitForConnected(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1))))
            break;
        socket.abort();
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    socket.write(ActivateMessage);
    while (socket.bytesToWrite() > 0 && !deadline.hasExpired())
        socket.waitForBytesWritten(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)));
    const bool written = socket.bytesToWrite() == 0;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)));
    return written;
}
