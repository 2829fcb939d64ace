#include "cli/CliProcess.h"
#include "support/FakeServer.h"
#include "support/ProcessLines.h"
#include "support/TemporaryXdg.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

namespace {

// A real tallisen-server on a free loopback port that approves every sign-in
// page as soon as it is opened, as on a machine without a browser.
class CliSignInTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_server.setProcessChannelMode(QProcess::MergedChannels);
        m_server.start(QStringLiteral(TALLISEN_SERVER_PATH),
            { "--listen", "127.0.0.1:0", "--data-dir", m_serverData.path(), "--sign-in-as",
                "cli@example.test" });
        QString seen;
        const std::optional<QString> url = awaitLine(m_server, seen, "Listening on ");
        ASSERT_TRUE(url) << seen.toStdString();
        m_url = *url;
    }

    void TearDown() override
    {
        m_server.terminate();
        m_server.waitForFinished(10'000);
    }

    // Signs in at the server as a browser would; returns the command's output
    // and sets address to the page it printed.
    QString signInThroughPage(QString& address)
    {
        QProcess signIn;
        signIn.setProcessChannelMode(QProcess::MergedChannels);
        signIn.start(QStringLiteral(TALLISEN_CLI_PATH), { "signin", "--server", m_url, "--no-browser" });
        QString seen;
        const std::optional<QString> printed = awaitLine(signIn, seen, "Sign in at: ");
        EXPECT_TRUE(printed) << seen.toStdString();
        address = printed.value_or(QString());
        EXPECT_TRUE(address.startsWith(m_url + "/auth/sign-in?code=")) << address.toStdString();

        QProcess browser;
        browser.start("curl", { "-sS", "--fail", "-o", "/dev/null", address });
        EXPECT_TRUE(browser.waitForFinished(30'000));
        EXPECT_EQ(browser.exitCode(), 0) << browser.readAllStandardError().toStdString();

        EXPECT_TRUE(signIn.waitForFinished(120'000));
        seen += QString::fromUtf8(signIn.readAll());
        EXPECT_EQ(signIn.exitCode(), 0) << seen.toStdString();
        return seen;
    }

    TemporaryXdg m_xdg;
    QTemporaryDir m_serverData;
    QProcess m_server;
    QString m_url;
};

TEST_F(CliSignInTest, SignInThroughTheBrowserPageImportARecordingThenSignOut)
{
    QString address;
    const QString seen = signInThroughPage(address);
    EXPECT_EQ(seen,
        "Opening the sign-in at " + QUrl(m_url).authority() + "…\nSign in at: " + address
            + "\nWaiting for the sign-in at " + QUrl(m_url).authority() + "…\nSigned in\n0 transcripts\n")
        << seen.toStdString();

    const CliRun status = runCli({ "status" });
    EXPECT_TRUE(status.output.startsWith("Server: " + m_url + "\nSigned in: yes\n"))
        << status.output.toStdString();
    const CliRun list = runCli({ "transcripts", "--json" });
    EXPECT_EQ(list.exitCode, 0) << list.errors.toStdString();
    EXPECT_EQ(list.output, "[\n]\n");

    // A recording made elsewhere travels the whole road on the real server:
    // converted (flite speaks at 8 kHz), transcribed and saved, no job left.
    const QString speech = m_xdg.path() + "/interview.wav";
    QProcess flite;
    flite.start("flite", { "-t", "Good morning everyone. The budget meeting starts now.", "-o", speech });
    ASSERT_TRUE(flite.waitForFinished(30'000));
    ASSERT_EQ(flite.exitCode(), 0);

    const CliRun imported = runCli({ "import", speech, "--no-speakers", "--email", "" });
    EXPECT_EQ(imported.exitCode, 0) << imported.errors.toStdString();
    EXPECT_TRUE(imported.errors.startsWith("Importing recording…\n")) << imported.errors.toStdString();
    EXPECT_TRUE(imported.output.contains("budget", Qt::CaseInsensitive)) << imported.output.toStdString();
    EXPECT_EQ(runCli({ "jobs" }).output, "No pending recordings.\n");
    const CliRun listed = runCli({ "transcripts" });
    EXPECT_EQ(listed.output.count('\n'), 1) << listed.output.toStdString();

    const CliRun signOut = runCli({ "signout" });
    EXPECT_EQ(signOut.exitCode, 0);
    EXPECT_EQ(signOut.output, "Signed out\n");
    EXPECT_TRUE(runCli({ "status" }).output.contains("Signed in: no\n"));
    EXPECT_EQ(runCli({ "transcripts" }).exitCode, 1);
}

TEST_F(CliSignInTest, AFailedSignInElsewhereNeverSendsTheTokenThere)
{
    QString address;
    signInThroughPage(address);
    FakeServer other(FakeServer::Scheme::http);
    other.script(
        "POST", "/auth/google/prepare", { ScriptedAnswer::json(401, { { "error", "unauthorized" } }) });
    other.script("GET", "/v1/recordings",
        { ScriptedAnswer::json(200, { { "recordings", nlohmann::json::array() } }) });
    const QString otherURL = other.baseURL().toString();

    const CliRun signIn = runCli({ "signin", "--server", otherURL, "--no-browser" });
    EXPECT_EQ(signIn.exitCode, 1);
    EXPECT_TRUE(signIn.errors.endsWith("unauthorized\n")) << signIn.errors.toStdString();
    EXPECT_TRUE(runCli({ "status" }).output.startsWith("Server: " + otherURL + "\nSigned in: no\n"));
    EXPECT_EQ(runCli({ "transcripts" }).exitCode, 1);
    for (const ReceivedRequest& request : other.requests()) {
        EXPECT_FALSE(request.header("Authorization")) << request.path;
    }
}

} // namespace
