#pragma once

#include <QString>

#include <stdexcept>

// The sound server could not be reached or could not list its recording
// streams. The status is the sound server's own error code (PA_ERR_*).
class SoundServerMonitorError : public std::runtime_error
{
public:
    explicit SoundServerMonitorError(qint32 status)
        : std::runtime_error(
            QStringLiteral("Sound server microphone monitoring failed (%1).").arg(status).toStdString())
        , m_status(status)
    { }

    qint32 status() const { return m_status; }

private:
    qint32 m_status;
};
