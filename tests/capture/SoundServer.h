#pragma once

// Drives real PulseAudio servers from tests: the shared one the test command
// started (default sink "speaker", fake microphone fed through "micfeed"),
// and private ones a test may freeze or kill without harming the others.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace SoundServer {

// Runs pactl against `server` (empty: the shared one); returns its output.
QString pactl(const QStringList& arguments, const QString& server = {});

// Starts paplay of `wav` into `sink`; the caller waits for it.
std::unique_ptr<QProcess> play(const QString& wav, const QString& sink, const QString& server = {});

// Like play(), with a quarter-second latency, so the null sink renders in
// small blocks as a real card does. With the default latency its monitor
// delivers in bursts of up to two seconds, which a killed recorder loses.
std::unique_ptr<QProcess> playInSmallBlocks(const QString& wav, const QString& sink);

class Private
{
public:
    // A server with a "speaker" sink and a "fakemic" fed by "micfeed".
    Private();
    Private(const Private&) = delete;
    Private& operator=(const Private&) = delete;
    ~Private();

    QString address() const;
    void freeze();
    void thaw();
    void kill();
    // Killed and started again at the same address, as after a crash of the
    // sound server or a user restarting it.
    void restart();

private:
    void start();

    QTemporaryDir m_directory;
    QProcess m_process;
};

} // namespace SoundServer
