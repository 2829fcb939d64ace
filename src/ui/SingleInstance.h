#pragma once

// One window per user session. The first launch holds a lock file and
// listens on a local socket in the runtime folder (owner-only); a later
// launch finds the lock held, asks the first over the socket to show its
// window, and ends without building a model of its own (which would adopt
// the first one's captures and watch the microphone a second time).

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(
        const QString& name = QStringLiteral("tallisen-window"), QObject* parent = nullptr);

    // True for the first launch, which listens from now on. False for a later
    // one, which has already asked the first to show itself.
    bool isPrimary() const { return m_primary; }
    // Why a later launch could not reach the first; empty when it did.
    const QString& failure() const { return m_failure; }

signals:
    // A later launch asked for the window.
    void activationRequested();

private:
    void listen();
    void askPrimary();

    QString m_socketPath;
    QLockFile m_lock;
    QLocalServer m_server;
    bool m_primary = false;
    QString m_failure;
};
