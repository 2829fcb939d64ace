#include "api/KeychainStore.h"
#include "cli/CliProcess.h"
#include "model/SettingsStore.h"
#include "support/AppFixtures.h"
#include "support/FakeServer.h"
#include "support/TemporaryXdg.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const std::string kMeeting = "6BA7B810-9DAD-11D1-80B4-00C04FD430C8";
const std::string kOther = "6BA7B811-9DAD-11D1-80B4-00C04FD430C8";
const QString kTranscript = "[00:00:02] Speaker 1: Hello there.\n\n[00:00:05] Speaker 2: Hi & welcome.";

class CliShowTest : public ::testing::Test
{
protected:
    CliShowTest()
    {
        SettingsStore().setString(SettingsStore::kServer, m_server.baseURL().toString());
        KeychainStore::saveToken(QStringLiteral("cli-test-token"), m_server.baseURL());
        AppFixtures::scriptList(m_server,
            { AppFixtures::recordingJson(
                  kMeeting, "Planning", { { "transcript", kTranscript.toStdString() } }),
                AppFixtures::recordingJson(kOther, "Standup") });
    }
    ~CliShowTest() override { KeychainStore::clearToken(); }

    TemporaryXdg m_xdg;
    FakeServer m_server;
};

// What show prints for an ID or its beginning, and what it refuses.
TEST_F(CliShowTest, PrintsTheTranscriptInTheFormatAskedForOrSaysWhyNot)
{
    const struct
    {
        QStringList arguments;
        int exitCode;
        QString output;
        QString errors; // a prefix of standard error
    } cases[] = {
        { { "show", "6ba7b810" }, 0, kTranscript + "\n", "" },
        { { "show", "--format=vtt", "6BA7B810-9DAD-11D1-80B4-00C04FD430C8" }, 0,
            "WEBVTT\n\n00:00:02.000 --> 00:00:05.000\n<v Speaker 1>Hello there.\n\n"
            "00:00:05.000 --> 00:00:06.200\n<v Speaker 2>Hi &amp; welcome.\n\n",
            "" },
        { { "show", "6BA7B811", "--format", "srt" }, 0, "1\n00:00:00,000 --> 00:00:01,000\nHello there.\n\n",
            "" },
        { { "show", "6BA7B81" }, 1, "", "\"6BA7B81\" names more than one transcript; give more of the ID." },
        { { "show", "FFFF" }, 1, "",
            "No transcript has the ID \"FFFF\"; 'tallisen-cli transcripts' lists them." },
        { { "show", "6BA7B810", "--format", "pdf" }, 2, "",
            "“pdf” is not an export format; choose one of text, markdown, srt, vtt, json.\n\nUsage: "
            "tallisen-cli show" },
        { { "show" }, 2, "", "show needs the ID of a transcript." },
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.arguments.join(' ').toStdString());
        const CliRun run = runCli(test.arguments);
        EXPECT_EQ(run.exitCode, test.exitCode) << run.errors.toStdString();
        EXPECT_EQ(run.output.toStdString(), test.output.toStdString());
        if (test.errors.isEmpty()) {
            EXPECT_EQ(run.errors, "");
        } else {
            EXPECT_TRUE(run.errors.startsWith(test.errors)) << run.errors.toStdString();
        }
    }
}

TEST_F(CliShowTest, OutputWritesTheFileAndNothingToStandardOutput)
{
    QTemporaryDir folder;
    const QString path = folder.filePath("planning.json");
    const CliRun run = runCli({ "show", "6BA7B810", "--format", "json", "--output", path });
    ASSERT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_EQ(run.output, "");

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonObject written = QJsonDocument::fromJson(file.readAll()).object();
    EXPECT_EQ(written["title"].toString(), "Planning");
    // The file's content and its owner-only mode: TranscriptExportTest.
    EXPECT_EQ(written["turns"].toArray().size(), 2);

    const CliRun refused = runCli({ "show", "6BA7B810", "--output", folder.filePath("missing/x.txt") });
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.errors.contains(folder.filePath("missing/x.txt"))) << refused.errors.toStdString();
}

} // namespace
