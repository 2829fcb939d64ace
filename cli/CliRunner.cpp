#include "cli/CliRunner.h"

#include "api/URLError.h"
#include "cli/ProgressDisplay.h"
#include "cli/StopRequests.h"
#include "core/Uuids.h"
#include "model/AppModel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>

#include <QCoroSignal>

#include <algorithm>
#include <unistd.h>
#include <vector>

namespace {

const QString kSignInHint = QStringLiteral("Sign in first: tallisen-cli signin.");
constexpr URLError::Code kUnreachable[] = { URLError::Code::cannotConnectToHost, URLError::Code::timedOut,
    URLError::Code::cannotFindHost, URLError::Code::dnsLookupFailed, URLError::Code::networkConnectionLost,
    URLError::Code::notConnectedToInternet };

QString localTime(const Date& date)
{
    return date.toQDateTime().toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString onOff(bool value)
{
    return value ? QStringLiteral("on") : QStringLiteral("off");
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

// The one item whose id is id or begins with it (either case); throws a
// user-facing error when none or several do.
template <typename Item>
Item findById(const std::vector<Item>& items, const QString& id, const QString& what, const QString& lister)
{
    const QString wanted = id.toUpper();
    std::optional<Item> found;
    for (const Item& item : items) {
        if (!Uuids::text(item.id).startsWith(wanted)) {
            continue;
        }
        if (found) {
            throw std::runtime_error(QStringLiteral("\"%1\" names more than one %2; give more of the ID.")
                                         .arg(id, what)
                                         .toStdString());
        }
        found = item;
    }
    if (!found) {
        throw std::runtime_error(QStringLiteral("No %1 has the ID \"%2\"; 'tallisen-cli %3' lists them.")
                                     .arg(what, id, lister)
                                     .toStdString());
    }
    return *found;
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
    if (command.kind != Kind::help) {
        co_await untilCapturesAdopted();
    }
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
    case Kind::record:
        co_return co_await record(command);
    case Kind::autoRecord:
        co_return co_await autoRecord();
    case Kind::retry:
    case Kind::withoutSpeakers:
        co_return co_await retry(command);
    case Kind::discard:
        co_return discard(command.id);
    case Kind::deleteTranscript:
        co_return co_await deleteTranscript(command.id);
    case Kind::show:
        co_return co_await show(command);
    case Kind::renameSpeaker:
    case Kind::retitle:
        co_return co_await edit(command);
    case Kind::importFile:
        co_return co_await importRecording(command);
    }
    co_return ExitCode::usage;
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
    if (m_model.pendingRecordings().empty()) {
        printOutput(QStringLiteral("No pending recordings."));
    }
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
            array.append(recording.toJson());
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

QCoro::Task<ExitCode> CliRunner::record(const CliCommand& command)
{
    // Installed first, so a Ctrl+C while the capture starts stops it at once.
    StopRequests stop(true);
    followStatus();
    const std::vector<QUuid> earlier = jobIds();
    const bool savedSpeakers = m_model.diarizationEnabled();
    const QString savedEmail = m_model.emailTo();
    if (command.speakers) {
        m_model.setDiarizationEnabled(*command.speakers);
    }
    if (command.email) {
        m_model.setEmailTo(*command.email);
    }
    co_await m_model.startRecording({});
    // The model took this recording's settings at its start; the options
    // apply to it alone.
    if (command.speakers) {
        m_model.setDiarizationEnabled(savedSpeakers);
    }
    if (command.email) {
        m_model.setEmailTo(savedEmail);
    }
    if (!m_model.isRecording()) {
        co_return outcome();
    }

    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &stop, &StopRequests::request);
    if (command.seconds) {
        limit.start(std::chrono::seconds(*command.seconds));
    }
    // A capture that ends by itself is stopped and transcribed by the model.
    connect(&m_model, &AppModel::isRecordingChanged, &stop, [this, &stop]() {
        if (!m_model.isRecording()) {
            stop.request();
        }
    });
    m_progress.print(command.seconds
            ? QStringLiteral("Press Enter or Ctrl+C to stop and transcribe (or wait %1 s).")
                  .arg(*command.seconds)
            : QStringLiteral("Press Enter or Ctrl+C to stop and transcribe."));
    if (!stop.isRequested()) {
        co_await qCoro(&stop, &StopRequests::requested);
    }
    limit.stop();
    StopRequests interrupt(false);
    abandonOnInterrupt(interrupt);
    // Returns at once when the model is already stopping by itself.
    co_await m_model.stopAndTranscribe();
    co_await untilIdle();
    co_return transcriptOutcome(earlier);
}

QCoro::Task<ExitCode> CliRunner::autoRecord()
{
    if (!m_model.isSignedIn()) {
        printError(kSignInHint);
        co_return ExitCode::failure;
    }
    StopRequests stop(false);
    followStatus();
    bool failed = false;
    connect(&m_model, &AppModel::errorMessageChanged, &stop, [this, &failed]() {
        if (const std::optional<QString>& error = m_model.errorMessage()) {
            failed = true;
            printError(*error);
        }
    });
    connect(&m_model, &AppModel::automaticRecordingStarted, &stop, [this](const QString& name) {
        m_progress.print(QStringLiteral("%1 uses the microphone: recording.").arg(name));
    });
    connect(&m_model, &AppModel::automaticRecordingStopped, &stop,
        [this]() { m_progress.print(QStringLiteral("The microphone is free again: transcribing.")); });
    connect(&m_model, &AppModel::recordingsChanged, &stop, [this]() {
        if (!m_model.recordings().empty()) {
            printOutput(m_model.recordings().front().transcript);
        }
    });

    // Switched on for this run if it was off; the setting is put back after.
    const bool wasEnabled = m_model.autoRecordEnabled();
    m_model.setAutoRecordEnabled(true);
    m_progress.print(QStringLiteral("Press Ctrl+C to end; a recording in progress is transcribed first."));
    co_await qCoro(&stop, &StopRequests::requested);
    StopRequests interrupt(false);
    abandonOnInterrupt(interrupt);
    if (!wasEnabled) {
        m_model.setAutoRecordEnabled(false);
    }
    co_await untilIdle();
    if (m_model.isRecording()) {
        co_await m_model.stopAndTranscribe();
        co_await untilIdle();
    }
    m_progress.finish();
    co_return failed ? ExitCode::failure : ExitCode::success;
}

QCoro::Task<ExitCode> CliRunner::retry(const CliCommand& command)
{
    PendingRecording job;
    try {
        job = findById(m_model.pendingRecordings(), command.id, QStringLiteral("saved recording"),
            QStringLiteral("jobs"));
    } catch (const std::exception& error) {
        printError(QString::fromStdString(error.what()));
        co_return ExitCode::failure;
    }
    if (command.kind == CliCommand::Kind::withoutSpeakers && !job.canRetryWithoutSpeakers()) {
        printError(QStringLiteral("This recording cannot continue without speaker detection (it has none, or "
                                  "its transcript was already sent); use 'tallisen-cli retry'."));
        co_return ExitCode::failure;
    }
    followStatus();
    const std::vector<QUuid> earlier = jobIds();
    StopRequests interrupt(false);
    connect(&interrupt, &StopRequests::requested, this, [this, id = job.id] { abandon(id); });
    if (command.kind == CliCommand::Kind::withoutSpeakers) {
        co_await m_model.retryWithoutSpeakers(job);
    } else {
        co_await m_model.retryPending(job);
    }
    co_return transcriptOutcome(earlier);
}

QCoro::Task<ExitCode> CliRunner::importRecording(const CliCommand& command)
{
    followStatus();
    const std::vector<QUuid> earlier = jobIds();
    // Until the job exists nothing is kept; afterwards the job is on disk.
    StopRequests interrupt(false);
    connect(&interrupt, &StopRequests::requested, this, [this, earlier] {
        const std::optional<QUuid> added = jobAddedSince(earlier);
        if (added) {
            abandon(added);
        }
        printError(QStringLiteral("Stopped; nothing was imported."));
        ::_exit(kInterruptedExitCode);
    });
    co_await m_model.importRecording(command.file, command.speakers, command.email);
    co_return transcriptOutcome(earlier);
}

ExitCode CliRunner::discard(const QString& id)
{
    try {
        const PendingRecording job = findById(
            m_model.pendingRecordings(), id, QStringLiteral("saved recording"), QStringLiteral("jobs"));
        m_model.discardPending(job);
    } catch (const std::exception& error) {
        printError(QString::fromStdString(error.what()));
        return ExitCode::failure;
    }
    const ExitCode result = outcome();
    if (result == ExitCode::success) {
        printOutput(m_model.status());
    }
    return result;
}

QCoro::Task<std::optional<Recording>> CliRunner::listedTranscript(const QString& id)
{
    co_await m_model.refresh();
    if (outcome() != ExitCode::success) {
        co_return std::nullopt;
    }
    try {
        co_return findById(
            m_model.recordings(), id, QStringLiteral("transcript"), QStringLiteral("transcripts"));
    } catch (const std::exception& error) {
        printError(QString::fromStdString(error.what()));
    }
    co_return std::nullopt;
}

QCoro::Task<ExitCode> CliRunner::deleteTranscript(const QString& id)
{
    const std::optional<Recording> recording = co_await listedTranscript(id);
    if (!recording) {
        co_return ExitCode::failure;
    }
    co_await m_model.deleteRecording(*recording);
    const ExitCode result = outcome();
    if (result == ExitCode::success) {
        printOutput(m_model.status());
    }
    co_return result;
}

QCoro::Task<ExitCode> CliRunner::show(const CliCommand& command)
{
    co_await m_model.refresh();
    if (outcome() != ExitCode::success) {
        co_return ExitCode::failure;
    }
    try {
        const Recording recording = findById(
            m_model.recordings(), command.id, QStringLiteral("transcript"), QStringLiteral("transcripts"));
        if (command.output) {
            TranscriptExport::exportTo(recording, command.format, *command.output);
            co_return ExitCode::success;
        }
        const QString text = TranscriptExport::exported(recording, command.format);
        printOutput(text.endsWith(QLatin1Char('\n')) ? text.chopped(1) : text);
    } catch (const std::exception& error) {
        printError(QString::fromStdString(error.what()));
        co_return ExitCode::failure;
    }
    co_return ExitCode::success;
}

QCoro::Task<ExitCode> CliRunner::edit(const CliCommand& command)
{
    const std::optional<Recording> recording = co_await listedTranscript(command.id);
    if (!recording) {
        co_return ExitCode::failure;
    }
    if (command.kind == CliCommand::Kind::renameSpeaker) {
        co_await m_model.renameSpeaker(*recording, command.texts.at(0), command.texts.at(1));
    } else {
        co_await m_model.editRecording(*recording, command.texts.at(0), std::nullopt);
    }
    const ExitCode result = outcome();
    if (result == ExitCode::success) {
        printOutput(m_model.status());
    }
    co_return result;
}

// A meeting a crash interrupted becomes a job before any command looks at
// the jobs; a command that ended first would never list it.
QCoro::Task<void> CliRunner::untilCapturesAdopted()
{
    if (!m_model.isAdoptingCaptures()) {
        co_return;
    }
    m_progress.print(QStringLiteral("Recovering an interrupted recording…"));
    co_await qCoro(&m_model, &AppModel::captureAdoptionFinished);
    m_progress.finish();
    if (const std::optional<QString>& warning = m_model.captureWarning()) {
        printError(*warning);
    }
}

QCoro::Task<void> CliRunner::untilIdle()
{
    while (m_model.isBusy()) {
        co_await qCoro(&m_model, &AppModel::isBusyChanged);
    }
}

ExitCode CliRunner::transcriptOutcome(const std::vector<QUuid>& earlier)
{
    m_progress.finish();
    if (const std::optional<QString>& warning = m_model.captureWarning()) {
        printError(*warning);
    }
    if (const std::optional<QString>& error = m_model.errorMessage()) {
        printError(*error);
        if (const std::optional<QUuid> added = jobAddedSince(earlier)) {
            printError(keptAs(*added));
        }
        return ExitCode::failure;
    }
    if (!m_model.recordings().empty()) {
        printOutput(m_model.recordings().front().transcript);
    }
    return ExitCode::success;
}

QString CliRunner::keptAs(const QUuid& job)
{
    return QStringLiteral("The recording is kept as %1; 'tallisen-cli retry %1' continues.")
        .arg(Uuids::text(job));
}

void CliRunner::abandon(const std::optional<QUuid>& job)
{
    printError(QStringLiteral("Stopped."));
    printError(job ? keptAs(*job)
                   : QStringLiteral("The recording is kept and becomes a saved recording when Tallisen next "
                                    "starts; 'tallisen-cli jobs' lists it then."));
    // Every step of a job is on disk before the next begins, so ending here
    // loses nothing; the coroutines still waiting on the network are dropped.
    ::_exit(kInterruptedExitCode);
}

void CliRunner::abandonOnInterrupt(StopRequests& interrupt)
{
    connect(&interrupt, &StopRequests::requested, this,
        [this, earlier = jobIds()] { abandon(jobAddedSince(earlier)); });
}

std::vector<QUuid> CliRunner::jobIds() const
{
    std::vector<QUuid> ids;
    for (const PendingRecording& job : m_model.pendingRecordings()) {
        ids.push_back(job.id);
    }
    return ids;
}

// Jobs are listed by when they were recorded, so a new one (an import of an
// old file) can be anywhere in the list.
std::optional<QUuid> CliRunner::jobAddedSince(const std::vector<QUuid>& earlier) const
{
    for (const PendingRecording& job : m_model.pendingRecordings()) {
        if (std::find(earlier.begin(), earlier.end(), job.id) == earlier.end()) {
            return job.id;
        }
    }
    return std::nullopt;
}

void CliRunner::followStatus()
{
    connect(&m_model, &AppModel::statusChanged, this, [this]() { m_progress.show(m_model.status()); });
}

ExitCode CliRunner::outcome()
{
    m_progress.finish();
    const std::optional<QString>& error = m_model.errorMessage();
    if (!error) {
        return ExitCode::success;
    }
    printError(*error);
    // A refusal for want of a sign-in says what to run.
    if (!m_model.isSignedIn()
        && *error == QString::fromUtf8(URLError(URLError::Code::userAuthenticationRequired).what())) {
        printError(kSignInHint);
    }
    // A server out of reach is named, since the message alone does not say which.
    const auto isError
        = [&error](URLError::Code code) { return *error == QString::fromUtf8(URLError(code).what()); };
    if (std::ranges::any_of(kUnreachable, isError)) {
        printError(QStringLiteral("The server is %1; 'tallisen-cli signin --server URL' chooses another.")
                       .arg(m_model.server()));
    }
    return ExitCode::failure;
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
