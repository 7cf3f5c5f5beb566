// One running copy of the program per user. The first copy holds an advisory lock on a file in the
// user's runtime folder (the kernel drops it when the process dies, so a crash leaves nothing stale)
// and listens on a local socket beside it; a later copy finds the lock taken and asks the first,
// through the socket, to show itself. UI thread only: requests arrive through its event loop.
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

class TSingleInstance : public QObject {
    Q_OBJECT
public:
    // `folder` empty: the user's runtime folder. Nothing is touched before Acquire.
    explicit TSingleInstance(const QString& name, const QString& folder = {}, QObject* parent = nullptr);
    // Stops listening and releases the lock.
    ~TSingleInstance() override;

    // True when this process is now the first copy: it holds the lock and listens for requests.
    // False when another copy holds it. When the lock file cannot be used at all (no writable
    // runtime folder) this copy runs unguarded: true, with a warning on stderr.
    bool Acquire();
    // For a later copy: asks the first to show itself. False when no copy answered within
    // `timeoutMs` (the first may be between taking the lock and listening, so this retries).
    bool RequestActivation(int timeoutMs = 3000);

    QString LockPath() const;
    QString SocketPath() const;

signals:
    // The first copy was asked, by a later one, to show itself.
    void ActivationRequested();

private:
    void AcceptConnections();

    QString FName;
    QString FFolder;
    int FLockFd = -1;
    QLocalServer* FServer = nullptr;
};
