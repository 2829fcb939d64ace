#include "ChaosWorld.h"

#include "support/ProcessLines.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>

#include <iostream>
#include <stdexcept>

namespace {

constexpr int kCliTimeoutMs = 300'000;

std::runtime_error failure(const std::string& what, const QString& seen = {})
{
    return std::runtime_error(what + ": " + seen.toStdString());
}

CliResult finish(QProcess& process, const QString& errors = {})
{
    return { process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
        QString::fromUtf8(process.readAllStandardOutput()),
        errors + QString::fromUtf8(process.readAllStandardError()) };
}

} // namespace

ChaosWorld::ChaosWorld()
{
    // The CLI children trust the proxy's certificate.
    qputenv("SSL_CERT_FILE", QByteArray::fromStdString(m_proxy.certificatePath()));
    m_speech = m_xdg.path() + QStringLiteral("/speech.wav");
    if (!run(QStringLiteral("flite"),
            { "-voice", "slt", "-t",
                "Good morning. Let us start with the plan for the new release this week.", "-o",
                m_speech })) {
        throw failure("flite failed");
    }
    // A null sink nobody plays into renders in bursts of up to two seconds,
    // so a kill would lose audio a real device had delivered: silence keeps
    // both sinks rendering in small blocks.
    for (const char* sink : { "speaker", "micfeed" }) {
        auto& silence = m_roomTone.emplace_back(std::make_unique<QProcess>());
        silence->setStandardInputFile(QStringLiteral("/dev/zero"));
        silence->start(QStringLiteral("pacat"), { "--playback", "--latency-msec=50", "-d", sink });
        if (!silence->waitForStarted(5000)) {
            throw failure("pacat did not start");
        }
    }

    QString seen;
    if (!startServer(m_server, m_serverData.path(), QStringLiteral("chaos@example.test"), m_proxy, seen)) {
        throw failure("tallisen-server did not start", seen);
    }

    const std::unique_ptr<QProcess> signIn
        = startCli({ "signin", "--server", QString::fromStdString(m_proxy.url()), "--no-browser" });
    seen.clear();
    const std::optional<QString> address = awaitLine(*signIn, seen, QStringLiteral("Sign in at: "));
    if (!address
        || !run(QStringLiteral("curl"),
            { "-sS", "--fail", "--cacert", QString::fromStdString(m_proxy.certificatePath()), "-o",
                "/dev/null", *address })
        || !signIn->waitForFinished(kCliTimeoutMs) || signIn->exitCode() != 0) {
        throw failure("sign-in failed", seen + signIn->readAll());
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

bool ChaosWorld::startServer(
    QProcess& server, const QString& dataDir, const QString& email, FaultProxy& proxy, QString& seen)
{
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(QStringLiteral(TALLISEN_SERVER_PATH),
        { "--listen", "127.0.0.1:0", "--self-signed", "--data-dir", dataDir, "--sign-in-as", email,
            "--public-url", QString::fromStdString(proxy.url()) });
    const std::optional<QString> bound = awaitLine(server, seen, QStringLiteral("Bound to "), 60'000);
    if (bound) {
        proxy.setUpstream(bound->section(u':', -1).toInt());
    }
    return bound.has_value();
}

std::optional<QString> ChaosWorld::run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60'000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        std::cerr << program.toStdString() << " failed: " << process.readAllStandardError().toStdString();
        return std::nullopt;
    }
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

CliResult ChaosWorld::cli(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral(TALLISEN_CLI_PATH), arguments);
    process.closeWriteChannel();
    if (!process.waitForFinished(kCliTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        ADD_FAILURE() << "tallisen-cli " << arguments.join(' ').toStdString() << " did not finish";
    }
    return finish(process);
}

std::unique_ptr<QProcess> ChaosWorld::startCli(const QStringList& arguments)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(QStringLiteral(TALLISEN_CLI_PATH), arguments);
    if (!process->waitForStarted(10'000)) {
        throw failure("tallisen-cli did not start");
    }
    return process;
}

CliResult ChaosWorld::recordMeeting(int seconds, bool speakers, const RoadTrigger& trigger) const
{
    QProcess road;
    road.start(QStringLiteral(TALLISEN_CLI_PATH),
        { "record", "--seconds", QString::number(seconds), speakers ? "--speakers" : "--no-speakers" });
    road.closeWriteChannel();
    if (road.waitForStarted(10'000) && trigger.started) {
        trigger.started(static_cast<pid_t>(road.processId()));
    }
    QElapsedTimer clock;
    clock.start();
    QString errors;
    std::optional<double> capturingAt;
    std::unique_ptr<QProcess> player;
    bool triggered = !trigger.action && !trigger.killAfter;
    while (!road.waitForFinished(5) && road.state() == QProcess::Running) {
        errors += QString::fromUtf8(road.readAllStandardError());
        if (!player && errors.contains(QStringLiteral("Press Enter"))) {
            capturingAt = clock.elapsed() / 1000.0;
            player = playSpeech();
        }
        if (!triggered
            && (trigger.after ? clock.elapsed() >= *trigger.after * 1000 : capturingAt.has_value())) {
            triggered = true;
            if (trigger.action) {
                trigger.action();
            }
            if (trigger.killAfter) {
                road.kill();
            }
        }
        if (clock.elapsed() > kCliTimeoutMs) {
            ADD_FAILURE() << "the meeting did not end: " << errors.toStdString();
            road.kill();
        }
    }
    if (player) {
        player->kill();
        player->waitForFinished();
    }
    CliResult result = finish(road, errors);
    result.capturingAt = capturingAt;
    return result;
}

void ChaosWorld::resumeAll()
{
    const CliResult listing = cli({ "jobs" });
    EXPECT_EQ(listing.exitCode, 0) << listing.errors.toStdString();
    for (const PendingRecording& job : PendingRecording::loadAll()) {
        const CliResult retry = cli({ "retry", job.id.toString(QUuid::WithoutBraces) });
        EXPECT_EQ(retry.exitCode, 0) << retry.errors.toStdString();
    }
    EXPECT_TRUE(PendingRecording::loadAll().empty()) << "a meeting was left unfinished";
}

void ChaosWorld::beginTrial()
{
    m_savedBefore = savedTranscripts();
    m_exchangesBefore = m_proxy.exchanges().size();
}

std::vector<FaultProxy::Exchange> ChaosWorld::newExchanges(
    const std::string& method, const std::string& prefix) const
{
    const std::vector<FaultProxy::Exchange> all = m_proxy.exchanges();
    std::vector<FaultProxy::Exchange> matching;
    std::copy_if(all.begin() + static_cast<std::ptrdiff_t>(m_exchangesBefore), all.end(),
        std::back_inserter(matching), [&](const FaultProxy::Exchange& exchange) {
            return exchange.method == method && exchange.path.starts_with(prefix);
        });
    return matching;
}

int ChaosWorld::savedTranscripts() const
{
    const std::optional<QString> count = run(QStringLiteral("sqlite3"),
        { "-readonly", "-cmd", ".timeout 10000", m_serverData.path() + "/tallisen.sqlite3",
            "SELECT count(*) FROM recordings;" });
    if (!count) {
        throw failure("sqlite3 failed");
    }
    return count->toInt();
}

void ChaosWorld::expectJobFilesReadable()
{
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
            ADD_FAILURE() << file.fileName().toStdString() << ": " << error.what();
        }
    }
}

double ChaosWorld::mediaSeconds(const QString& path)
{
    const std::optional<QString> seconds = run(QStringLiteral("ffprobe"),
        { "-v", "error", "-show_entries", "format=duration", "-of", "default=nw=1:nk=1", path });
    bool ok = false;
    const double value = seconds ? seconds->toDouble(&ok) : -1;
    return ok ? value : -1;
}

std::unique_ptr<QProcess> ChaosWorld::playSpeech() const
{
    auto player = std::make_unique<QProcess>();
    player->start(QStringLiteral("paplay"), { "--latency-msec=50", "-d", "speaker", m_speech });
    player->waitForStarted(5000);
    return player;
}
