#include "api/KeychainStore.h"
#include "cli/CliArguments.h"
#include "cli/CliProcess.h"
#include "core/Uuids.h"
#include "model/AppModel.h"
#include "model/SettingsStore.h"
#include "store/PendingRecording.h"
#include "support/AppFixtures.h"
#include "support/FakeServer.h"
#include "support/TemporaryXdg.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

#include <signal.h>

namespace {

const QString kJob = QStringLiteral("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");
const QString kSignInFirst = QStringLiteral("Sign in first: tallisen-cli signin.\n");
QString freshStatus()
{
    return "Server: " + AppModel::kDefaultServer
        + "\nSigned in: no\nTranscripts e-mailed to: nobody\nSpeaker detection: off\n"
          "Automatic recording: on\nSaved recordings waiting: 0\n";
}

class CliProgramTest : public ::testing::Test
{
protected:
    // A job on disk as the recording session leaves it after a stop.
    PendingRecording saveJob(
        const QString& id, bool speakers, const QUrl& server = QUrl("https://example.test"))
    {
        PendingRecording job;
        job.id = *Uuids::parse(id);
        job.userID = QUuid::createUuid();
        job.server = server;
        job.recordedAt = Date::fromUnixSeconds(1'765'000'000);
        job.diarizationEnabled = speakers;
        EXPECT_TRUE(QDir().mkpath(job.folder()));
        job.save();
        return job;
    }

    // Signs in to server for the programs this test starts.
    void signInTo(const QUrl& server)
    {
        SettingsStore().setString(SettingsStore::kServer, server.toString());
        KeychainStore::saveToken(QStringLiteral("cli-test-token"), server);
    }
    void TearDown() override { KeychainStore::clearToken(); }

    TemporaryXdg m_xdg;
};

// Signed out and without jobs: what each command prints, where, and its status.
TEST_F(CliProgramTest, EachCommandOfAFreshUserAnswersOnTheRightStream)
{
    const struct
    {
        QStringList arguments;
        int exitCode;
        QString output;
        QString errors; // a prefix of standard error
    } cases[] = {
        { { "--help" }, 0, CliArguments::usage(), "" },
        { { "record", "--seconds", "nonsense", "--help" }, 0, CliArguments::usage(CliCommand::Kind::record),
            "" },
        { {}, 2, "", "Name a subcommand.\n\n" + CliArguments::usage() },
        { { "record", "--seconds", "0" }, 2, "",
            "--seconds needs a whole number from 1 to 86400, not \"0\".\n\nUsage: tallisen-cli record" },
        { { "import" }, 2, "",
            "import needs the audio or video file to import.\n\nUsage: tallisen-cli import" },
        { { "signin", "--server", "HTTPS://example.test", "--no-browser" }, 2, "",
            "--server needs an http or https address such as https://tallisen.example.com, not "
            "\"HTTPS://example.test\"." },
        { { "status" }, 0, freshStatus(), "" },
        { { "jobs" }, 0, "No pending recordings.\n", "" },
        // Nothing on standard output that a JSON reader could take for a list.
        { { "transcripts", "--json" }, 1, "", "You are not signed in.\n" + kSignInFirst },
        { { "auto" }, 1, "", kSignInFirst },
        { { "delete", "0F1E2D3C" }, 1, "", "You are not signed in.\n" + kSignInFirst },
        { { "record", "--seconds", "5", "--speakers", "--email", "x@example.test" }, 1, "",
            "Starting capture…\nFailed\nYou are not signed in.\n" + kSignInFirst },
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.arguments.join(' ').toStdString());
        const CliRun run = runCli(test.arguments);
        EXPECT_EQ(run.exitCode, test.exitCode);
        EXPECT_EQ(run.output, test.output);
        if (test.errors.isEmpty()) {
            EXPECT_EQ(run.errors, "");
        } else {
            EXPECT_TRUE(run.errors.startsWith(test.errors)) << run.errors.toStdString();
        }
    }
    // None of them made a job or a setting: the failed sign-in kept the
    // server and the recording's options stayed its own.
    EXPECT_EQ(runCli({ "status" }).output, freshStatus());
}

TEST_F(CliProgramTest, AServerOutOfReachIsNamed)
{
    // Nothing listens on the discard port.
    signInTo(QUrl("http://127.0.0.1:9"));
    const CliRun list = runCli({ "transcripts" });
    EXPECT_EQ(list.exitCode, 1);
    EXPECT_TRUE(list.errors.endsWith("Could not connect to the server.\nThe server is http://127.0.0.1:9; "
                                     "'tallisen-cli signin --server URL' chooses another.\n"))
        << list.errors.toStdString();
}

TEST_F(CliProgramTest, SavedJobsAreListedNamedByShortIdsAndDiscardedToTheTrash)
{
    const PendingRecording first = saveJob(kJob, true);
    saveJob("0F1E9999-4B5A-6978-8796-A5B4C3D2E1F0", false);
    const CliRun jobs = runCli({ "jobs" });
    EXPECT_EQ(jobs.exitCode, 0);
    const QStringList lines = jobs.output.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << jobs.output.toStdString();
    const qsizetype line = lines.indexOf(QRegularExpression(kJob + "  .*"));
    ASSERT_GE(line, 0) << jobs.output.toStdString();
    EXPECT_TRUE(lines[line].endsWith("  with speakers, not split yet")) << lines[line].toStdString();
    EXPECT_EQ(lines[line + 1], "    " + first.folder());
    EXPECT_TRUE(runCli({ "status" }).output.contains("Saved recordings waiting: 2\n"));

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

    const CliRun discard = runCli({ "discard", kJob.toLower() });
    EXPECT_EQ(discard.exitCode, 0) << discard.errors.toStdString();
    EXPECT_EQ(discard.output, "Saved recording moved to Trash; recoverable until Trash is emptied\n");
    EXPECT_FALSE(QFile::exists(first.folder()));
    EXPECT_TRUE(QFile::exists(m_xdg.dataHome() + "/Trash/files/" + kJob + "/job.json"));
    EXPECT_FALSE(runCli({ "jobs" }).output.contains(kJob));
}

// Ctrl+C while a saved recording is on its way to the server ends the program
// at once with the shell's status for it, and says how to go on; the job is
// left as it was.
TEST_F(CliProgramTest, CtrlCDuringRetryExitsWith130AndSaysWhereTheJobIsKept)
{
    FakeServer server;
    signInTo(server.baseURL());
    ScriptedAnswer slow = ScriptedAnswer::json(500, { { "error", "too late" } });
    slow.delay = std::chrono::seconds(5);
    server.script("POST", "/v1/transcriptions", { slow });
    const PendingRecording job = saveJob(kJob, false, server.baseURL());
    server.script(
        "GET", "/v1/me", { ScriptedAnswer::json(200, { { "id", Uuids::text(job.userID).toStdString() } }) });
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg",
        { "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i", "sine=f=220:r=48000:d=5", "-c:a",
            "aac", job.audio() });
    ASSERT_TRUE(ffmpeg.waitForFinished(30'000));

    QProcess cli;
    cli.start(QStringLiteral(TALLISEN_CLI_PATH), { "retry", "0F1E2D3C" });
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !server.requests("POST", "/v1/transcriptions").empty(); }, 60'000))
        << cli.readAllStandardError().toStdString();
    ::kill(static_cast<pid_t>(cli.processId()), SIGINT);
    ASSERT_TRUE(cli.waitForFinished(10'000)) << "Ctrl+C did not stop the retry";
    EXPECT_EQ(cli.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(cli.exitCode(), 130);
    const QString errors = QString::fromUtf8(cli.readAllStandardError());
    EXPECT_TRUE(errors.endsWith(
        "Stopped.\nThe recording is kept as " + kJob + "; 'tallisen-cli retry " + kJob + "' continues.\n"))
        << errors.toStdString();
    EXPECT_TRUE(QFile::exists(job.audio()));
    EXPECT_TRUE(runCli({ "jobs" }).output.startsWith(kJob + "  ")) << "the job was not left to continue";
}

// A server without the speaker detection: each import stays a job, and
// importing the same file again warns and still makes a second one.
TEST_F(CliProgramTest, ImportsThatFailStayJobsAndASecondImportOfAFileWarns)
{
    FakeServer server;
    signInTo(server.baseURL());
    server.script("GET", "/v1/me",
        { ScriptedAnswer::json(200, { { "id", Uuids::text(QUuid::createUuid()).toStdString() } }) });
    const QString call = m_xdg.path() + "/call.mp3";
    AppFixtures::runFfmpeg(
        { "-f", "lavfi", "-i", "sine=f=300:d=4", "-metadata", "creation_time=2025-02-03T04:05:06Z", call });

    const QRegularExpression kept("The recording is kept as ([0-9A-F-]{36}); ");
    QStringList ids;
    for (int attempt = 0; attempt < 2; ++attempt) {
        SCOPED_TRACE(attempt);
        const CliRun run = runCli({ "import", call, "--speakers" });
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.errors.contains("\"call.mp3\" was imported before"), attempt == 1)
            << run.errors.toStdString();
        const QRegularExpressionMatch match = kept.match(run.errors);
        ASSERT_TRUE(match.hasMatch()) << run.errors.toStdString();
        ids << match.captured(1);
    }
    EXPECT_NE(ids[0], ids[1]);
    const std::vector<PendingRecording> jobs = PendingRecording::loadAll();
    ASSERT_EQ(jobs.size(), 2u);
    for (const PendingRecording& job : jobs) {
        EXPECT_TRUE(ids.contains(Uuids::text(job.id)));
        EXPECT_EQ(job.importedFrom, call);
        EXPECT_EQ(job.diarizationEnabled, true);
        EXPECT_EQ(job.recordedAt, Date::fromUnixSeconds(1'738'555'506));
    }

    EXPECT_EQ(QDir(m_xdg.path() + "/cache/Tallisen/Imports").entryList(QDir::Files), QStringList {});
}

} // namespace
