#include "ChaosWorld.h"

#include "support/ProcessLines.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

#include <gtest/gtest.h>

#include <iostream>
#include <stdexcept>

namespace {

constexpr int kCliTimeoutMs = 300'000;

void runOrThrow(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60'000) || process.exitCode() != 0) {
        throw std::runtime_error(
            (program + " failed: ").toStdString() + process.readAllStandardError().toStdString());
    }
}

} // namespace

ChaosWorld::ChaosWorld()
{
    // The CLI children trust the proxy's certificate.
    qputenv("SSL_CERT_FILE", QByteArray::fromStdString(m_proxy.certificatePath()));
    m_speech = m_xdg.path() + QStringLiteral("/speech.wav");
    runOrThrow(QStringLiteral("flite"),
        { "-voice", "slt", "-t", "Good morning. Let us start with the plan for the new release this week.",
            "-o", m_speech });
    keepDevicesRunning();
    startServer();
    signIn();
}

// A null sink nobody plays into renders in bursts of up to two seconds, so
// its monitor (and the fake microphone made from one) delivers late, which a
// real device does not; a kill would then lose audio the recorder never got.
// Silence streamed into both sinks keeps them rendering in small blocks.
void ChaosWorld::keepDevicesRunning()
{
    for (const char* sink : { "speaker", "micfeed" }) {
        auto silence = std::make_unique<QProcess>();
        silence->setStandardInputFile(QStringLiteral("/dev/zero"));
        silence->start(QStringLiteral("pacat"), { "--playback", "--latency-msec=50", "-d", sink });
        if (!silence->waitForStarted(5000)) {
            throw std::runtime_error("pacat did not start");
        }
        m_roomTone.push_back(std::move(silence));
    }
}

ChaosWorld::~ChaosWorld()
{
    qunsetenv("SSL_CERT_FILE");
    for (const std::unique_ptr<QProcess>& silence : m_roomTone) {
        silence->kill();
        silence->waitForFinished();
    }
    m_server.terminate();
    m_server.waitForFinished(10'000);
    if (::testing::Test::HasFailure()) {
        std::cerr << "tallisen-server said:\n" << m_server.readAll().toStdString() << "Requests:\n";
        for (const FaultProxy::Exchange& exchange : m_proxy.exchanges()) {
            std::cerr << "  " << exchange.method << ' ' << exchange.path << ' ' << exchange.status
                      << (exchange.fault ? " (fault)" : "") << '\n';
        }
    }
}

void ChaosWorld::startServer()
{
    m_server.setProcessChannelMode(QProcess::MergedChannels);
    m_server.start(QStringLiteral(TALLISEN_SERVER_PATH),
        { "--listen", "127.0.0.1:0", "--self-signed", "--data-dir", m_serverData.path(), "--sign-in-as",
            "chaos@example.test", "--public-url", QString::fromStdString(m_proxy.url()) });
    QString seen;
    const std::optional<QString> bound = awaitLine(m_server, seen, QStringLiteral("Bound to "), 60'000);
    if (!bound) {
        throw std::runtime_error("tallisen-server did not start: " + seen.toStdString());
    }
    m_proxy.setUpstream(bound->section(u':', -1).toInt());
}

void ChaosWorld::signIn()
{
    const std::unique_ptr<QProcess> signIn
        = startCli({ "signin", "--server", QString::fromStdString(m_proxy.url()), "--no-browser" });
    QString seen;
    const std::optional<QString> address = awaitLine(*signIn, seen, QStringLiteral("Sign in at: "));
    if (!address) {
        throw std::runtime_error("no sign-in address: " + seen.toStdString());
    }
    runOrThrow(QStringLiteral("curl"),
        { "-sS", "--fail", "--cacert", QString::fromStdString(m_proxy.certificatePath()), "-o", "/dev/null",
            *address });
    if (!signIn->waitForFinished(kCliTimeoutMs) || signIn->exitCode() != 0) {
        throw std::runtime_error("sign-in failed: " + (seen + signIn->readAll()).toStdString());
    }
}

CliResult ChaosWorld::cli(const QStringList& arguments, const QProcessEnvironment& environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(TALLISEN_CLI_PATH), arguments);
    process.closeWriteChannel();
    if (!process.waitForFinished(kCliTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        ADD_FAILURE() << "tallisen-cli " << arguments.join(' ').toStdString() << " did not finish";
    }
    return { process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
        QString::fromUtf8(process.readAllStandardOutput()),
        QString::fromUtf8(process.readAllStandardError()) };
}

std::unique_ptr<QProcess> ChaosWorld::startCli(
    const QStringList& arguments, const QProcessEnvironment& environment)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(QStringLiteral(TALLISEN_CLI_PATH), arguments);
    if (!process->waitForStarted(10'000)) {
        throw std::runtime_error("tallisen-cli did not start");
    }
    return process;
}

CliResult ChaosWorld::recordMeeting(
    int seconds, bool speakers, const RoadTrigger& trigger, const QProcessEnvironment& environment) const
{
    QProcess road;
    road.setProcessEnvironment(environment);
    road.start(QStringLiteral(TALLISEN_CLI_PATH),
        { "record", "--seconds", QString::number(seconds), speakers ? "--speakers" : "--no-speakers" });
    road.closeWriteChannel();
    QString errors;
    std::unique_ptr<QProcess> player;
    bool triggered = false;
    while (!road.waitForFinished(5)) {
        errors += QString::fromUtf8(road.readAllStandardError());
        if (!player && errors.contains(QStringLiteral("Press Enter"))) {
            player = playSpeech();
        }
        if (!triggered && trigger.action && errors.contains(u'\n' + trigger.when)) {
            triggered = true;
            trigger.action();
            if (trigger.killAfter) {
                road.kill();
            }
        }
        if (road.state() != QProcess::Running) {
            break;
        }
    }
    if (player) {
        player->kill();
        player->waitForFinished();
    }
    errors += QString::fromUtf8(road.readAllStandardError());
    return { road.exitStatus() == QProcess::NormalExit ? road.exitCode() : -1,
        QString::fromUtf8(road.readAllStandardOutput()), errors };
}

std::vector<CliResult> ChaosWorld::resumeAll()
{
    std::vector<CliResult> results;
    const CliResult listing = cli({ "jobs" });
    EXPECT_EQ(listing.exitCode, 0) << listing.errors.toStdString();
    for (const PendingRecording& job : PendingRecording::loadAll()) {
        results.push_back(cli({ "retry", job.id.toString(QUuid::WithoutBraces) }));
    }
    return results;
}

QString ChaosWorld::query(const QString& sql) const
{
    QProcess sqlite;
    sqlite.start(QStringLiteral("sqlite3"),
        { "-readonly", "-cmd", ".timeout 10000", m_serverData.path() + "/tallisen.sqlite3", sql });
    if (!sqlite.waitForFinished(30'000) || sqlite.exitCode() != 0) {
        throw std::runtime_error("sqlite3 failed: " + sqlite.readAllStandardError().toStdString());
    }
    return QString::fromUtf8(sqlite.readAllStandardOutput()).trimmed();
}

int ChaosWorld::savedTranscripts() const
{
    return query(QStringLiteral("SELECT count(*) FROM recordings;")).toInt();
}

int ChaosWorld::acceptedUploads() const
{
    return query(QStringLiteral("SELECT count(*) FROM diarizations WHERE status != 'upload';")).toInt();
}

QStringList ChaosWorld::undecodableJobFiles()
{
    QStringList broken;
    QDirIterator files(PendingRecording::root(), { PendingRecording::kJobFileName }, QDir::Files,
        QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        try {
            if (!file.open(QIODevice::ReadOnly)) {
                throw std::runtime_error("unreadable");
            }
            PendingRecording::decode(file.readAll());
        } catch (const std::exception& error) {
            broken << file.fileName() + QStringLiteral(": ") + QString::fromUtf8(error.what());
        }
    }
    return broken;
}

double ChaosWorld::mediaSeconds(const QString& path)
{
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"),
        { "-v", "error", "-show_entries", "format=duration", "-of", "default=nw=1:nk=1", path });
    if (!probe.waitForFinished(30'000) || probe.exitCode() != 0) {
        return -1;
    }
    bool ok = false;
    const double seconds = QString::fromUtf8(probe.readAllStandardOutput()).trimmed().toDouble(&ok);
    return ok ? seconds : -1;
}

std::unique_ptr<QProcess> ChaosWorld::playSpeech() const
{
    auto player = std::make_unique<QProcess>();
    player->start(QStringLiteral("paplay"), { "--latency-msec=50", "-d", "speaker", m_speech });
    player->waitForStarted(5000);
    return player;
}
