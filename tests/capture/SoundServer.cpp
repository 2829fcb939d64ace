#include "SoundServer.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QThread>

#include <csignal>
#include <stdexcept>

namespace SoundServer {
namespace {

const char* const kConfiguration = R"(load-module module-native-protocol-unix
load-module module-null-sink sink_name=speaker
load-module module-null-sink sink_name=micfeed
load-module module-remap-source source_name=fakemic master=micfeed.monitor
set-default-sink speaker
set-default-source fakemic
)";

QStringList serverArguments(const QString& server)
{
    return server.isEmpty() ? QStringList {} : QStringList { QStringLiteral("-s"), server };
}

std::unique_ptr<QProcess> startPaplay(const QStringList& arguments)
{
    auto process = std::make_unique<QProcess>();
    process->start(QStringLiteral("paplay"), arguments);
    if (!process->waitForStarted(5000)) {
        throw std::runtime_error("paplay did not start");
    }
    return process;
}

} // namespace

QString pactl(const QStringList& arguments, const QString& server)
{
    QProcess process;
    process.start(QStringLiteral("pactl"), serverArguments(server) + arguments);
    if (!process.waitForFinished(10000) || process.exitCode() != 0) {
        throw std::runtime_error("pactl failed: " + process.readAllStandardError().toStdString());
    }
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

std::unique_ptr<QProcess> play(const QString& wav, const QString& sink, const QString& server)
{
    return startPaplay(serverArguments(server) + QStringList { "-d", sink, wav });
}

std::unique_ptr<QProcess> playInSmallBlocks(const QString& wav, const QString& sink)
{
    return startPaplay({ "--latency-msec=250", "-d", sink, wav });
}

Private::Private()
{
    start();
}

void Private::restart()
{
    kill();
    start();
}

void Private::start()
{
    const QString root = m_directory.path();
    QDir().mkpath(root + "/run");
    QFile::setPermissions(root + "/run", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile config(root + "/pa.pa");
    config.open(QIODevice::WriteOnly | QIODevice::Truncate);
    config.write(kConfiguration);
    config.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", root + "/run");
    environment.insert("HOME", root);
    // Off the session bus: the shared server already owns the PulseAudio name there.
    environment.remove("DBUS_SESSION_BUS_ADDRESS");
    m_process.setProcessEnvironment(environment);
    m_process.start(QStringLiteral("pulseaudio"),
        { "--daemonize=no", "--exit-idle-time=-1", "--realtime=no", "-n", "-F", root + "/pa.pa",
            "--log-target=file:" + root + "/log" });
    if (!m_process.waitForStarted(5000)) {
        throw std::runtime_error("pulseaudio did not start");
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        QProcess probe;
        probe.start(QStringLiteral("pactl"), { "-s", address(), "info" });
        if (probe.waitForFinished(2000) && probe.exitCode() == 0) {
            return;
        }
        QThread::msleep(50);
    }
    throw std::runtime_error("the private pulseaudio did not come up");
}

Private::~Private()
{
    thaw();
    kill();
}

QString Private::address() const
{
    return QStringLiteral("unix:") + m_directory.path() + QStringLiteral("/run/pulse/native");
}

void Private::freeze()
{
    ::kill(static_cast<pid_t>(m_process.processId()), SIGSTOP);
}

void Private::thaw()
{
    if (m_process.state() == QProcess::Running) {
        ::kill(static_cast<pid_t>(m_process.processId()), SIGCONT);
    }
}

void Private::kill()
{
    if (m_process.state() == QProcess::Running) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

} // namespace SoundServer
