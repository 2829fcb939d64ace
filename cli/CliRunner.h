#pragma once

// Runs one parsed subcommand against the application model. Every subcommand
// is a model operation plus printing: results go to standard output, status
// lines and errors to standard error, so output can be piped while progress
// stays visible. Lives on the main thread with the model.

#include "api/WireRecords.h"
#include "cli/CliArguments.h"

#include <QIODevice>
#include <QObject>
#include <QUuid>

#include <QCoroTask>

#include <optional>
#include <vector>

class AppModel;
class StopRequests;
class ProgressDisplay;

class CliRunner : public QObject
{
public:
    // The shell's code for a program ended by Ctrl+C.
    static constexpr int kInterruptedExitCode = 130;

    // progress writes status lines and errors to the error stream; results
    // are written to output.
    CliRunner(AppModel& model, ProgressDisplay& progress, QIODevice& output);

    QCoro::Task<ExitCode> run(CliCommand command);

private:
    QCoro::Task<ExitCode> signIn(const CliCommand& command);
    ExitCode signOut();
    ExitCode status();
    ExitCode jobs();
    QCoro::Task<ExitCode> transcripts(bool json);
    QCoro::Task<ExitCode> record(const CliCommand& command);
    QCoro::Task<ExitCode> autoRecord();
    QCoro::Task<ExitCode> retry(const CliCommand& command);
    QCoro::Task<ExitCode> importRecording(const CliCommand& command);
    ExitCode discard(const QString& id);
    QCoro::Task<ExitCode> deleteTranscript(const QString& id);
    // The transcript the server lists under id (or its beginning); absent,
    // the reason printed, when the list failed or names none.
    QCoro::Task<std::optional<Recording>> listedTranscript(const QString& id);
    QCoro::Task<ExitCode> show(const CliCommand& command);
    // rename and retitle: the transcript as just listed, edited on the server.
    QCoro::Task<ExitCode> edit(const CliCommand& command);

    // Waits until no model operation runs (the model may be stopping a
    // recording on its own).
    QCoro::Task<void> untilCapturesAdopted();
    QCoro::Task<void> untilIdle();
    // After a recording or a retry: the new transcript on standard output, or
    // the error and where the recording was kept.
    ExitCode transcriptOutcome(const std::vector<QUuid>& earlier);
    std::vector<QUuid> jobIds() const;
    // The first job listed now that was not among earlier.
    std::optional<QUuid> jobAddedSince(const std::vector<QUuid>& earlier) const;

    static QString keptAs(const QUuid& job);
    // A Ctrl+C while a recording is saved or transcribed: says where it is
    // kept (job, once it exists) and how to go on, then ends the process.
    [[noreturn]] void abandon(const std::optional<QUuid>& job);
    // From now on a Ctrl+C abandons; a job that appears after this call is the
    // one it names.
    void abandonOnInterrupt(StopRequests& interrupt);

    // Shows each status change while the operations of a subcommand run.
    void followStatus();
    // The outcome of the last model operation: its error on stderr and failure, or success.
    ExitCode outcome();
    void printOutput(const QString& line);
    void printError(const QString& line);

    AppModel& m_model;
    ProgressDisplay& m_progress;
    QIODevice& m_output;
};
