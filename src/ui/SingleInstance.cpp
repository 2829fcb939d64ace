#include "ui/SingleInstance.h"

#include <QFile>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

namespace {

constexpr int kConnectTimeoutMs = 2'000;
// The first launch takes the lock before it listens; a later one started in
// between waits for the socket this many times.
constexpr int kConnectAttempts = 10;
constexpr int kRetryPauseMs = 200;

QString runtimePath(const QString& fileName)
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + u'/' + fileName;
}

} // namespace

SingleInstance::SingleInstance(const QString& name, QObject* parent)
    : QObject(parent)
    , m_socketPath(runtimePath(name))
    , m_lock(runtimePath(name + QStringLiteral(".lock")))
{
    // A lock whose holder has died is taken over; its age says nothing.
    m_lock.setStaleLockTime(0);
    m_primary = m_lock.tryLock(0);
    if (m_primary) {
        QFile::setPermissions(
            runtimePath(name + QStringLiteral(".lock")), QFile::ReadOwner | QFile::WriteOwner);
        listen();
    } else {
        askPrimary();
    }
}

void SingleInstance::listen()
{
    // The holder of the lock owns the name: a socket left by a crash goes.
    QLocalServer::removeServer(m_socketPath);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(m_socketPath)) {
        m_failure = m_server.errorString();
        return;
    }
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server.nextPendingConnection()) {
            socket->disconnectFromServer();
            socket->deleteLater();
            emit activationRequested();
        }
    });
}

void SingleInstance::askPrimary()
{
    QLocalSocket socket;
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        socket.connectToServer(m_socketPath);
        if (socket.waitForConnected(kConnectTimeoutMs)) {
            socket.disconnectFromServer();
            return;
        }
        QThread::msleep(kRetryPauseMs);
    }
    qint64 pid = 0;
    QString host;
    QString application;
    m_lock.getLockInfo(&pid, &host, &application);
    m_failure = QStringLiteral("Tallisen is already running (process %1) but does not answer: %2.")
                    .arg(pid)
                    .arg(socket.errorString());
}
