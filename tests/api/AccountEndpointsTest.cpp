#include "api/APIClient.h"

#include "ClientFixtures.h"
#include "core/DecodingError.h"
#include "core/Uuids.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

// The user lookup, the transcript list and deletion over real HTTP.
namespace {

using nlohmann::json;

json recording(const std::string& id, const std::string& title)
{
    return { { "id", id }, { "title", title }, { "transcript", "Text of " + title },
        { "languageCodes", json::array() }, { "recordedAt", "2026-03-01T09:30:00Z" },
        { "createdAt", "2026-03-01T09:31:00.5Z" }, { "category", nullptr } };
}

using AccountEndpoints = FakeServerClient;

} // namespace

TEST_F(AccountEndpoints, ListKeepsTheServersOrderAndFailsWholeOnOneMalformedRecording)
{
    server.script("GET", "/v1/recordings",
        { ScriptedAnswer::json(200,
            { { "recordings",
                { recording("22222222-2222-4222-8222-222222222222", "Later"),
                    recording("11111111-1111-4111-8111-111111111111", "Earlier"),
                    recording("33333333-3333-4333-8333-333333333333", "Middle") } } }) });
    const std::vector<Recording> recordings = TestTasks::run(client.listRecordings());
    ASSERT_EQ(recordings.size(), 3U);
    EXPECT_EQ(recordings[0].title, QStringLiteral("Later"));
    EXPECT_EQ(recordings[1].title, QStringLiteral("Earlier"));
    EXPECT_EQ(recordings[2].title, QStringLiteral("Middle"));
    EXPECT_FALSE(recordings[0].category);
    EXPECT_EQ(server.requests().at(0).method, "GET");

    server.script(
        "GET", "/v1/recordings", { ScriptedAnswer::json(200, { { "recordings", json::array() } }) });
    EXPECT_TRUE(TestTasks::run(client.listRecordings()).empty());

    json bad = recording("22222222-2222-4222-8222-222222222222", "Bad");
    bad["createdAt"] = "2026-03-01";
    server.script("GET", "/v1/recordings",
        { ScriptedAnswer::json(
            200, { { "recordings", { recording("11111111-1111-4111-8111-111111111111", "Good"), bad } } }) });
    EXPECT_EQ(expectThrows<DecodingError>(client.listRecordings()).detail(), "Invalid ISO 8601 date");
}

TEST_F(AccountEndpoints, NoneOfTheThreeIsRetried)
{
    const ScriptedAnswer unavailable = ScriptedAnswer::json(503, { { "error", "Down for maintenance." } });
    server.script("GET", "/v1/me", { unavailable });
    server.script("GET", "/v1/recordings", { unavailable });
    const QUuid id = QUuid::createUuid();
    server.script("DELETE", "/v1/recordings/" + Uuids::text(id).toStdString(), { unavailable });
    EXPECT_EQ(expectThrows<APIClientError>(client.currentUserID()).statusCode(), 503);
    EXPECT_EQ(expectThrows<APIClientError>(client.listRecordings()).message(),
        QStringLiteral("Down for maintenance."));
    EXPECT_EQ(expectThrows<APIClientError>(client.deleteRecording(id)).statusCode(), 503);
    EXPECT_EQ(server.requests().size(), 3U);
    EXPECT_TRUE(waits.durations().empty());
}

TEST_F(AccountEndpoints, DeleteRequestsTheUpperCaseIdWithoutABody)
{
    const QUuid id(QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e"));
    const std::string path = "/v1/recordings/0F8FAD5B-D9CB-469F-A165-70867728950E";
    server.script("DELETE", path, { ScriptedAnswer::json(200, { { "deleted", false } }) });
    TestTasks::run(client.deleteRecording(id));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].method, "DELETE");
    EXPECT_EQ(requests[0].path, path);
    EXPECT_TRUE(requests[0].body.empty());
    EXPECT_FALSE(requests[0].header("Content-Type"));
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer tok");

    server.script("DELETE", path, { ScriptedAnswer::json(200, json::object()) });
    EXPECT_THROW(TestTasks::run(client.deleteRecording(id)), DecodingError);
    server.script("DELETE", path, { ScriptedAnswer::json(404, { { "error", "Recording not found" } }) });
    const auto error = expectThrows<APIClientError>(client.deleteRecording(id));
    EXPECT_EQ(error.message(), QStringLiteral("Recording not found"));
    EXPECT_EQ(error.statusCode(), 404);
}
