#include "api/APIClient.h"

#include "ClientFixtures.h"
#include "core/JsonFields.h"
#include "core/Uuids.h"
#include "support/AppFixtures.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

// APIClient::updateRecording over real HTTP against the fake server.
namespace {

using nlohmann::json;

const std::string kId = "5E1C2B3A-4D5E-4F60-8172-93A4B5C6D7E8";
const std::string kPath = "/v1/recordings/" + kId;

Recording recordingAt(std::optional<qint64> version)
{
    json object = AppFixtures::recordingJson(kId, "Standup");
    if (version) {
        object["version"] = *version;
    }
    return Recording::fromJson(JsonFields::parseObject(QByteArray::fromStdString(object.dump())));
}

using TranscriptEdits = FakeServerClient;

} // namespace

TEST_F(TranscriptEdits, SendsTheVersionInIfMatchAndOnlyTheFieldsGiven)
{
    server.script("PATCH", kPath,
        { ScriptedAnswer::json(200, AppFixtures::recordingJson(kId, "Budget", { { "version", 4 } })) });
    const Recording edited
        = TestTasks::run(client.updateRecording(recordingAt(3), QStringLiteral("Budget"), {}));
    EXPECT_EQ(edited.title, QStringLiteral("Budget"));
    EXPECT_EQ(edited.version, 4);
    TestTasks::run(client.updateRecording(recordingAt(4), QStringLiteral("Q1"), QStringLiteral("Dana: Hi.")));

    const auto sent = server.requests("PATCH", kPath);
    ASSERT_EQ(sent.size(), 2U);
    EXPECT_EQ(sent[0].header("If-Match"), "3");
    EXPECT_EQ(sent[0].header("Authorization"), "Bearer tok");
    EXPECT_EQ(sent[0].header("Content-Type"), "application/json");
    EXPECT_EQ(sent[0].jsonBody(), (json { { "title", "Budget" } }));
    EXPECT_EQ(sent[1].header("If-Match"), "4");
    EXPECT_EQ(sent[1].jsonBody(), (json { { "title", "Q1" }, { "transcript", "Dana: Hi." } }));
}

TEST_F(TranscriptEdits, RefusalsAreSentencesAndNoneIsSentTwice)
{
    const QString cannotEdit
        = QStringLiteral("This server cannot save edits to transcripts. Nothing was changed.");
    const json stale { { "error", "This transcript was changed elsewhere. Refresh and try again." } };
    struct Case
    {
        const char* name;
        ScriptedAnswer answer;
        // What the list says afterwards, for a 404.
        std::vector<json> listed;
        QString message;
    };
    const std::vector<Case> cases {
        { "a server without the route refuses the method",
            ScriptedAnswer::json(405, { { "error", "Method not allowed." } }), {}, cannotEdit },
        { "a server that does not implement PATCH", ScriptedAnswer::text(501, "no", "text/plain"), {},
            cannotEdit },
        { "404 for a recording the server still lists",
            ScriptedAnswer::json(404, { { "error", "Not found." } }),
            { AppFixtures::recordingJson(kId, "Standup") }, cannotEdit },
        { "404 for a recording deleted meanwhile",
            ScriptedAnswer::json(404, { { "error", "Recording not found" } }), {},
            QStringLiteral("Recording not found") },
        { "changed elsewhere", ScriptedAnswer::json(412, stale), {},
            QString::fromStdString(stale.at("error")) },
        { "a busy server", ScriptedAnswer::json(503, { { "error", "Down for maintenance." } }), {},
            QStringLiteral("Down for maintenance.") },
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        FakeServer fresh;
        APIClient editing(fresh.baseURL(), QStringLiteral("tok"));
        RecordedWaits noWaits(editing);
        fresh.script("PATCH", kPath, { test.answer });
        AppFixtures::scriptList(fresh, test.listed);
        const auto error = expectThrows<APIClientError>(
            editing.updateRecording(recordingAt(1), QStringLiteral("New title"), {}));
        EXPECT_EQ(error.message(), test.message);
        EXPECT_EQ(fresh.requests("PATCH", kPath).size(), 1U);
        EXPECT_TRUE(noWaits.durations().empty());
    }
    // A record from a server without versions is refused before any request.
    EXPECT_EQ(expectThrows<APIClientError>(client.updateRecording(recordingAt(std::nullopt), "Title", {}))
                  .message(),
        cannotEdit);
    EXPECT_TRUE(server.requests().empty());
}
