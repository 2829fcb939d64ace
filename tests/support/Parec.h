#pragma once

#include <QProcess>
#include <QString>

// A real parec recording from a source of the test sound server (the fake
// microphone unless told otherwise), its audio thrown away: another program
// using the microphone.
class Parec
{
public:
    explicit Parec(const QString& clientName, const QString& device = QStringLiteral("fakemic"))
    {
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.start(QStringLiteral("parec"),
            { QStringLiteral("--device=") + device, QStringLiteral("--client-name=") + clientName });
        m_process.waitForStarted(5000);
    }
    Parec(const Parec&) = delete;
    Parec& operator=(const Parec&) = delete;
    ~Parec() { stop(); }

    qint32 processID() const { return static_cast<qint32>(m_process.processId()); }

    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

private:
    QProcess m_process;
};
