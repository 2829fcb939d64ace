#include "ServerFixture.h"

#include "Secrets.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// PATCH /v1/recordings/{id}: the owner's edits, guarded by the recording's version.
namespace {

constexpr const char* kStale = "This transcript was changed elsewhere. Refresh and try again.";
constexpr const char* kTurns = "[00:00:01] Speaker 1: Hello.\n\n[00:00:04] Speaker 2: Hi.";

class RecordingEdits : public ServerFixture
{
protected:
    // A fresh transcript of the account; returns its id.
    std::string saved(const std::string& token)
    {
        const std::string key = server::Secrets::newUuid();
        const auto answer = saveTranscript(token, key, kTurns);
        EXPECT_EQ(json(answer).at("version"), 1);
        return json(answer).at("id");
    }

    httplib::Result patch(const std::string& token, const std::string& id,
        const std::optional<std::string>& ifMatch, const std::string& body)
    {
        auto headers = bearer(token);
        if (ifMatch) {
            headers.emplace("If-Match", *ifMatch);
        }
        return client()->Patch("/v1/recordings/" + id, headers, body, "application/json");
    }

    nlohmann::json listed(const std::string& token, const std::string& id)
    {
        for (const auto& recording : recordings(token)) {
            if (recording.at("id") == id) {
                return recording;
            }
        }
        return nullptr;
    }
};

} // namespace

TEST_F(RecordingEdits, EditsLandOnlyForTheOwnerAtTheCurrentVersion)
{
    struct Case
    {
        const char* name;
        bool byOwner;
        std::optional<std::string> ifMatch;
        std::string body;
        int status;
        // For 200: the fields the list shows afterwards.
        std::string title;
        std::string transcript;
    };
    const std::string longer(100'000, 'x');
    const std::vector<Case> cases {
        { "title", true, "1", R"({"title":"Budget review"})", 200, "Budget review", kTurns },
        { "transcript as an entity tag", true, "\"1\"", R"({"transcript":"[00:00:01] Dana: Hello."})", 200,
            "", "[00:00:01] Dana: Hello." },
        { "both, past the small-body limit", true, "1",
            nlohmann::json { { "title", "Long" }, { "transcript", longer } }.dump(), 200, "Long", longer },
        { "wrong version", true, "2", R"({"title":"Late"})", 412 },
        { "no If-Match", true, std::nullopt, R"({"title":"Blind"})", 428 },
        { "If-Match not a version", true, "*", R"({"title":"Any"})", 400 },
        { "another user's recording", false, "1", R"({"title":"Stolen"})", 404 },
        { "malformed body", true, "1", "{not json", 400 },
        { "empty title", true, "1", R"({"title":"  "})", 400 },
        { "title not a string", true, "1", R"({"title":5})", 400 },
        { "empty transcript", true, "1", R"({"transcript":""})", 400 },
        { "nothing to change", true, "1", R"({"category":"Sales"})", 400 },
    };
    const std::string ann = signIn("ann@example.com");
    const std::string bob = signIn("bob@example.com");
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const std::string id = saved(ann);
        const auto answer = patch(test.byOwner ? ann : bob, id, test.ifMatch, test.body);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, test.status) << answer->body;
        const auto after = listed(ann, id);
        if (test.status != 200) {
            EXPECT_FALSE(errorOf(answer).empty());
            EXPECT_EQ(after.at("version"), 1);
            EXPECT_EQ(after.at("transcript"), kTurns);
            continue;
        }
        for (const auto& shown : { json(answer), after }) {
            EXPECT_EQ(shown.at("version"), 2);
            EXPECT_EQ(shown.at("transcript"), test.transcript);
            if (!test.title.empty()) {
                EXPECT_EQ(shown.at("title"), test.title);
            }
        }
    }
    const std::string id = saved(ann);
    ASSERT_EQ(patch(ann, id, "1", R"({"title":"First"})")->status, 200);
    EXPECT_EQ(errorOf(patch(ann, id, "1", R"({"title":"Second"})")), kStale);
    EXPECT_EQ(json(patch(ann, id, "2", R"({"title":"Second"})")).at("version"), 3);
    EXPECT_EQ(patch(ann, "not-a-uuid", "1", R"({"title":"X"})")->status, 400);
    EXPECT_EQ(patch(ann, server::Secrets::newUuid(), "1", R"({"title":"X"})")->status, 404);
}

TEST_F(RecordingEdits, OfEditsFromOneVersionExactlyOneWinsAndKeepsItsTitle)
{
    const std::string token = signIn();
    const std::string id = saved(token);
    constexpr int kEditors = 8;
    std::vector<int> statuses(kEditors);
    std::vector<std::thread> editors;
    std::atomic<bool> go = false;
    for (int i = 0; i < kEditors; ++i) {
        editors.emplace_back([&, i] {
            while (!go) {
                std::this_thread::yield();
            }
            const auto answer
                = patch(token, id, "1", nlohmann::json { { "title", "Editor " + std::to_string(i) } }.dump());
            statuses[i] = answer ? answer->status : 0;
        });
    }
    go = true;
    for (auto& editor : editors) {
        editor.join();
    }
    const auto winner = std::find(statuses.begin(), statuses.end(), 200);
    ASSERT_NE(winner, statuses.end());
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 412), kEditors - 1);
    // The background naming keeps the title the owner gave.
    ASSERT_TRUE(eventually([&] { return listed(token, id).at("cleanupStatus") == "completed"; }));
    const auto after = listed(token, id);
    EXPECT_EQ(after.at("title"), "Editor " + std::to_string(winner - statuses.begin()));
    EXPECT_EQ(after.at("version"), 2);
}
