#include "cli/CliRunner.h"

#include "api/Iso8601.h"
#include "cli/ProgressDisplay.h"
#include "core/Uuids.h"
#include "model/AppModel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString localTime(const Date& date)
{
    return date.toQDateTime().toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString onOff(bool value)
{
    return value ? QStringLiteral("on") : QStringLiteral("off");
}

QJsonObject recordingJson(const Recording& recording)
{
    QJsonObject object {
        { "id", Uuids::text(recording.id) },
        { "title", recording.title },
        { "transcript", recording.transcript },
        { "languageCodes", QJsonArray::fromStringList(recording.languageCodes) },
        { "recordedAt", Iso8601::formatWholeSeconds(recording.recordedAt) },
        { "createdAt", Iso8601::formatWholeSeconds(recording.createdAt) },
    };
    const auto addOptional = [&](const char* key, const std::optional<QString>& value) {
        if (value) {
            object.insert(QLatin1String(key), *value);
        }
    };
    addOptional("category", recording.category);
    addOptional("cleanupStatus", recording.cleanupStatus);
    addOptional("emailStatus", recording.emailStatus);
    return object;
}

QString jobState(const PendingRecording& job)
{
    QStringList parts;
    parts << (job.diarizationEnabled.value_or(false) ? QStringLiteral("with speakers")
                                                     : QStringLiteral("without speakers"));
    if (job.chunks.empty()) {
        parts << QStringLiteral("not split yet");
    } else {
        const auto done = std::count_if(job.chunks.begin(), job.chunks.end(),
            [](const AudioChunk& chunk) { return chunk.text.has_value(); });
        parts << QStringLiteral("%1 of %2 parts transcribed").arg(done).arg(job.chunks.size());
    }
    if (job.submissionStarted.value_or(false)) {
        parts << QStringLiteral("sent to the server");
    }
    return parts.join(QStringLiteral(", "));
}

} // namespace

CliRunner::CliRunner(AppModel& model, ProgressDisplay& progress, QIODevice& output)
    : m_model(model)
    , m_progress(progress)
    , m_output(output)
{ }

QCoro::Task<ExitCode> CliRunner::run(CliCommand command)
{
    using Kind = CliCommand::Kind;
    switch (command.kind) {
    case Kind::help:
        printOutput(CliArguments::usage(command.helpTopic.value_or(Kind::help)).chopped(1));
        co_return ExitCode::success;
    case Kind::signIn:
        co_return co_await signIn(command);
    case Kind::signOut:
        co_return signOut();
    case Kind::status:
        co_return status();
    case Kind::jobs:
        co_return jobs();
    case Kind::transcripts:
        co_return co_await transcripts(command.json);
    default:
        printError(QStringLiteral("This subcommand is not available yet."));
        co_return ExitCode::failure;
    }
}

QCoro::Task<ExitCode> CliRunner::signIn(const CliCommand& command)
{
    if (command.server) {
        m_model.setServer(*command.server);
    }
    followStatus();
    co_await m_model.signIn();
    co_return outcome();
}

ExitCode CliRunner::signOut()
{
    m_model.signOut();
    printOutput(m_model.status());
    return ExitCode::success;
}

ExitCode CliRunner::status()
{
    printOutput(QStringLiteral("Server: %1").arg(m_model.server()));
    printOutput(QStringLiteral("Signed in: %1").arg(m_model.isSignedIn() ? "yes" : "no"));
    printOutput(QStringLiteral("Transcripts e-mailed to: %1")
                    .arg(m_model.emailTo().isEmpty() ? QStringLiteral("nobody") : m_model.emailTo()));
    printOutput(QStringLiteral("Speaker detection: %1").arg(onOff(m_model.diarizationEnabled())));
    printOutput(QStringLiteral("Automatic recording: %1").arg(onOff(m_model.autoRecordEnabled())));
    printOutput(QStringLiteral("Saved recordings waiting: %1").arg(m_model.pendingRecordings().size()));
    return ExitCode::success;
}

ExitCode CliRunner::jobs()
{
    for (const PendingRecording& job : m_model.pendingRecordings()) {
        printOutput(
            QStringLiteral("%1  %2  %3").arg(Uuids::text(job.id), localTime(job.recordedAt), jobState(job)));
        printOutput(QStringLiteral("    %1").arg(job.folder()));
    }
    return ExitCode::success;
}

QCoro::Task<ExitCode> CliRunner::transcripts(bool json)
{
    co_await m_model.refresh();
    const ExitCode result = outcome();
    if (result != ExitCode::success) {
        co_return result;
    }
    if (json) {
        QJsonArray array;
        for (const Recording& recording : m_model.recordings()) {
            array.append(recordingJson(recording));
        }
        m_output.write(QJsonDocument(array).toJson(QJsonDocument::Indented));
        co_return ExitCode::success;
    }
    for (const Recording& recording : m_model.recordings()) {
        QString line = QStringLiteral("%1  %2  %3")
                           .arg(Uuids::text(recording.id), localTime(recording.createdAt), recording.title);
        if (recording.category) {
            line += QStringLiteral("  [%1]").arg(*recording.category);
        }
        printOutput(line);
    }
    m_progress.print(m_model.status());
    co_return ExitCode::success;
}

void CliRunner::followStatus()
{
    connect(&m_model, &AppModel::statusChanged, this, [this]() { m_progress.show(m_model.status()); });
}

ExitCode CliRunner::outcome()
{
    m_progress.finish();
    if (const std::optional<QString>& error = m_model.errorMessage()) {
        printError(*error);
        return ExitCode::failure;
    }
    return ExitCode::success;
}

void CliRunner::printOutput(const QString& line)
{
    m_progress.finish();
    m_output.write((line + QLatin1Char('\n')).toUtf8());
}

void CliRunner::printError(const QString& line)
{
    m_progress.print(line);
}
