#include "api/KeychainStore.h"
#include "cli/CliArguments.h"
#include "cli/CliProcess.h"
#include "cli/CliRunner.h"
#include "core/Uuids.h"
#include "model/AppModel.h"
#include "model/SettingsStore.h"
#include "store/PendingRecording.h"
#include "support/FakeServer.h"
#include "support/TemporaryXdg.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <signal.h>

namespace {

class CliProgramTest : public ::testing::Test
{
protected:
    // A job on disk as the recording session leaves it after a stop.
    PendingRecording saveJob(const QString& id, bool speakers)
    {
        PendingRecording job;
        job.id = *Uuids::parse(id);
        job.userID = QUuid::createUuid();
        job.server = QUrl("https://example.test");
        job.recordedAt = Date::fromUnixSeconds(1'765'000'000);
        job.diarizationEnabled = speakers;
        EXPECT_TRUE(QDir().mkpath(job.folder()));
        job.save();
        return job;
    }

    TemporaryXdg m_xdg;
};

TEST_F(CliProgramTest, HelpGoesToStandardOutputAndSucceeds)
{
    const CliRun general = runCli({ "--help" });
    EXPECT_EQ(general.exitCode, 0);
    EXPECT_EQ(general.output, CliArguments::usage());
    EXPECT_EQ(general.errors, "");

    const CliRun record = runCli({ "record", "--seconds", "nonsense", "--help" });
    EXPECT_EQ(record.exitCode, 0);
    EXPECT_EQ(record.output, CliArguments::usage(CliCommand::Kind::record));
}

TEST_F(CliProgramTest, UsageMistakesExitWithTwoAndExplainOnStandardError)
{
    const CliRun none = runCli({});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_EQ(none.output, "");
    EXPECT_EQ(none.errors, "Name a subcommand.\n\n" + CliArguments::usage());

    const CliRun seconds = runCli({ "record", "--seconds", "0" });
    EXPECT_EQ(seconds.exitCode, 2);
    EXPECT_TRUE(seconds.errors.startsWith("--seconds needs a whole number from 1 to 86400, not \"0\".\n\n"
                                          "Usage: tallisen-cli record"))
        << seconds.errors.toStdString();

    EXPECT_EQ(runCli({ "retry" }).exitCode, 2);
    EXPECT_EQ(runCli({ "status", "now" }).exitCode, 2);
    // A usage mistake touches nothing: no settings file is created.
    EXPECT_FALSE(QFile::exists(m_xdg.configHome() + "/Tallisen/Tallisen.json"));
}

TEST_F(CliProgramTest, StatusOfAFreshUser)
{
    const CliRun status = runCli({ "status" });
    EXPECT_EQ(status.exitCode, 0);
    EXPECT_EQ(status.output,
        "Server: " + AppModel::kDefaultServer
            + "\nSigned in: no\nTranscripts e-mailed to: nobody\nSpeaker detection: off\n"
              "Automatic recording: on\nSaved recordings waiting: 0\n");
}

TEST_F(CliProgramTest, TranscriptsWhileSignedOutFailWithTheReason)
{
    const CliRun plain = runCli({ "transcripts" });
    EXPECT_EQ(plain.exitCode, 1);
    EXPECT_EQ(plain.output, "");
    EXPECT_EQ(plain.errors, "You are not signed in.\nSign in first: tallisen-cli signin.\n");

    // Nothing on standard output that a JSON reader could mistake for a list.
    const CliRun json = runCli({ "transcripts", "--json" });
    EXPECT_EQ(json.exitCode, 1);
    EXPECT_EQ(json.output, "");
}

TEST_F(CliProgramTest, AServerOutOfReachIsNamed)
{
    // Nothing listens on the discard port.
    const QUrl closed("http://127.0.0.1:9");
    SettingsStore().setString(SettingsStore::kServer, closed.toString());
    KeychainStore::saveToken(QStringLiteral("cli-unreachable-token"), closed);
    const CliRun list = runCli({ "transcripts" });
    EXPECT_EQ(list.exitCode, 1);
    EXPECT_TRUE(list.errors.endsWith("Could not connect to the server.\nThe server is http://127.0.0.1:9; "
                                     "'tallisen-cli signin --server URL' chooses another.\n"))
        << list.errors.toStdString();
    KeychainStore::clearToken();
}

TEST_F(CliProgramTest, SignInWithAnInvalidServerIsAUsageErrorAndKeepsTheOldOne)
{
    const CliRun signIn = runCli({ "signin", "--server", "HTTPS://example.test", "--no-browser" });
    EXPECT_EQ(signIn.exitCode, 2);
    EXPECT_EQ(signIn.output, "");
    EXPECT_TRUE(signIn.errors.contains("--server needs an http or https address such as "
                                       "https://tallisen.example.com, not \"HTTPS://example.test\"."))
        << signIn.errors.toStdString();

    EXPECT_TRUE(runCli({ "status" }).output.startsWith("Server: " + AppModel::kDefaultServer + "\n"));
}

TEST_F(CliProgramTest, JobsListsSavedRecordingsWithTheirFolders)
{
    EXPECT_EQ(runCli({ "jobs" }).output, "No pending recordings.\n");

    const PendingRecording first = saveJob("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0", true);
    const CliRun jobs = runCli({ "jobs" });
    EXPECT_EQ(jobs.exitCode, 0);
    const QStringList lines = jobs.output.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << jobs.output.toStdString();
    EXPECT_TRUE(lines[0].startsWith("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0  "));
    EXPECT_TRUE(lines[0].endsWith("  with speakers, not split yet")) << lines[0].toStdString();
    EXPECT_EQ(lines[1], "    " + first.folder());
    EXPECT_TRUE(runCli({ "status" }).output.contains("Saved recordings waiting: 1\n"));
}

TEST_F(CliProgramTest, JobIdsMayBeShortenedWhileTheyNameOneJob)
{
    saveJob("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0", true);
    saveJob("0F1E9999-4B5A-6978-8796-A5B4C3D2E1F0", false);

    const CliRun ambiguous = runCli({ "discard", "0f1e" });
    EXPECT_EQ(ambiguous.exitCode, 1);
    EXPECT_EQ(ambiguous.errors, "\"0f1e\" names more than one saved recording; give more of the ID.\n");

    const CliRun unknown = runCli({ "retry", "ABC" });
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.errors, "No saved recording has the ID \"ABC\"; 'tallisen-cli jobs' lists them.\n");

    // A job recorded without speakers has nothing to drop.
    const CliRun withoutSpeakers = runCli({ "without-speakers", "0F1E9999" });
    EXPECT_EQ(withoutSpeakers.exitCode, 1);
    EXPECT_TRUE(
        withoutSpeakers.errors.startsWith("This recording cannot continue without speaker detection"));
    EXPECT_TRUE(runCli({ "status" }).output.contains("Saved recordings waiting: 2\n"));
}

TEST_F(CliProgramTest, DiscardMovesTheJobToTheTrash)
{
    const PendingRecording job = saveJob("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0", true);
    const CliRun discard = runCli({ "discard", "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0" });
    EXPECT_EQ(discard.exitCode, 0) << discard.errors.toStdString();
    EXPECT_EQ(discard.output, "Saved recording moved to Trash; recoverable until Trash is emptied\n");
    EXPECT_FALSE(QFile::exists(job.folder()));
    EXPECT_TRUE(
        QFile::exists(m_xdg.dataHome() + "/Trash/files/0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0/job.json"));
    EXPECT_EQ(runCli({ "jobs" }).output, "No pending recordings.\n");
}

TEST_F(CliProgramTest, RecordingWhileSignedOutFailsBeforeCapturing)
{
    const CliRun record = runCli({ "record", "--seconds", "5", "--speakers", "--email", "x@example.test" });
    EXPECT_EQ(record.exitCode, 1);
    EXPECT_EQ(record.output, "");
    EXPECT_EQ(record.errors,
        "Starting capture…\nFailed\nYou are not signed in.\nSign in first: tallisen-cli signin.\n");
    // No job, and the options of that one recording did not become settings.
    EXPECT_EQ(runCli({ "status" }).output,
        "Server: " + AppModel::kDefaultServer
            + "\nSigned in: no\nTranscripts e-mailed to: nobody\nSpeaker detection: off\n"
              "Automatic recording: on\nSaved recordings waiting: 0\n");
}

TEST_F(CliProgramTest, AutoAndDeleteNeedASignIn)
{
    const CliRun automatic = runCli({ "auto" });
    EXPECT_EQ(automatic.exitCode, 1);
    EXPECT_EQ(automatic.errors, "Sign in first: tallisen-cli signin.\n");

    const CliRun remove = runCli({ "delete", "0F1E2D3C" });
    EXPECT_EQ(remove.exitCode, 1);
    EXPECT_EQ(remove.errors, "You are not signed in.\nSign in first: tallisen-cli signin.\n");
}

} // namespace

// Ctrl+C while a saved recording is on its way to the server ends the program
// at once and says how to go on; the job is left as it was.
TEST_F(CliProgramTest, CtrlCDuringRetryStopsAndSaysHowToGoOn)
{
    FakeServer server;
    SettingsStore().setString(SettingsStore::kServer, server.baseURL().toString());
    KeychainStore::saveToken(QStringLiteral("cli-interrupt-token"), server.baseURL());
    ScriptedAnswer slow = ScriptedAnswer::json(500, { { "error", "too late" } });
    slow.delay = std::chrono::seconds(5);
    server.script("POST", "/v1/transcriptions", { slow });

    PendingRecording job = saveJob("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0", false);
    job.server = server.baseURL();
    job.save();
    server.script(
        "GET", "/v1/me", { ScriptedAnswer::json(200, { { "id", Uuids::text(job.userID).toStdString() } }) });
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg",
        { "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i", "sine=f=220:r=48000:d=5", "-c:a",
            "aac", job.audio() });
    ASSERT_TRUE(ffmpeg.waitForFinished(30'000));
    QProcess cli;
    cli.start(QStringLiteral(TALLISEN_CLI_PATH), { "retry", "0F1E2D3C" });
    QElapsedTimer clock;
    clock.start();
    while (server.requests("POST", "/v1/transcriptions").empty() && clock.elapsed() < 60'000) {
        QThread::msleep(50);
    }
    ASSERT_FALSE(server.requests("POST", "/v1/transcriptions").empty())
        << cli.readAllStandardError().toStdString();
    ::kill(static_cast<pid_t>(cli.processId()), SIGINT);
    ASSERT_TRUE(cli.waitForFinished(10'000)) << "Ctrl+C did not stop the retry";
    EXPECT_EQ(cli.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(cli.exitCode(), CliRunner::kInterruptedExitCode);
    const QString errors = QString::fromUtf8(cli.readAllStandardError());
    EXPECT_TRUE(errors.endsWith("Stopped.\nThe recording is kept as 0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0; "
                                "'tallisen-cli retry 0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0' continues.\n"))
        << errors.toStdString();
    EXPECT_TRUE(QFile::exists(job.audio()));
    EXPECT_TRUE(runCli({ "jobs" }).output.startsWith("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0  "))
        << "the job was not left to continue";
    KeychainStore::clearToken();
}
