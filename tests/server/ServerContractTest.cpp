#include "ServerFixture.h"

#include "Outbox.h"
#include "Secrets.h"
#include "SpeechFiles.h"

#include <set>
#include <sstream>
#include <sys/stat.h>

namespace {

constexpr const char* kKey = "0D7C3A5E-1111-4222-8333-123456789ABC";

using SignIn = ServerFixture;

// One sign-in walked from prepare to token, with the wrong turns on the way and
// what is left on disk afterwards.
TEST_F(SignIn, ExchangeIsPendingUntilTheFormIsCompletedThenIssuesOneTokenStoredAsAHash)
{
    addUser("ann@example.com");
    const auto prepared = json(client()->Post("/auth/google/prepare", "", "application/json"));
    const std::string code = prepared.at("code");
    const std::string url = prepared.at("url");
    EXPECT_TRUE(url.starts_with(m_server->publicUrl() + "/auth/sign-in?code=")) << url;
    const auto pending = exchange(code);
    EXPECT_EQ(pending->status, 400);
    EXPECT_FALSE(errorOf(pending).empty());

    const auto page = client()->Get(pathOf(url));
    ASSERT_EQ(page->status, 200);
    for (const std::string& field :
        { "value=\"" + code + "\"", std::string("name=\"email\""), std::string("type=\"password\"") }) {
        EXPECT_NE(page->body.find(field), std::string::npos) << field;
    }
    EXPECT_EQ(page->body.find("/auth/oidc"), std::string::npos) << "no provider is configured";
    EXPECT_EQ(client()->Get("/auth/oidc?code=" + code)->status, 404);
    EXPECT_EQ(client()->Get("/auth/oidc/callback?state=x&code=y")->status, 404);
    EXPECT_EQ(
        client()->Get("/auth/sign-in?code=%22%3E%3Cscript%3E")->body.find("<script>"), std::string::npos);

    EXPECT_EQ(approve(code, "ann@example.com")->status, 200);
    const auto issued = exchange(code);
    ASSERT_EQ(issued->status, 200);
    const std::string token = json(issued).at("token");
    EXPECT_GE(token.size(), 43u);
    const auto again = exchange(code);
    EXPECT_EQ(again->status, 410);
    EXPECT_FALSE(errorOf(again).empty());

    stopServer();
    std::string everything;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_dataDir)) {
        if (entry.is_regular_file()) {
            everything += SpeechFiles::read(entry.path());
        }
    }
    for (const std::string& secret : { token, code, std::string(kPassword) }) {
        EXPECT_EQ(everything.find(secret), std::string::npos);
    }
    EXPECT_NE(everything.find(server::Secrets::sha256Hex(token)), std::string::npos);
}

TEST_F(SignIn, TheSameEmailIsTheSameAccountAndAnotherEmailIsNot)
{
    const auto id = [&](const std::string& email) {
        return json(client()->Get("/v1/me", bearer(signIn(email)))).at("id").get<std::string>();
    };
    const std::string first = id("ann@example.com");
    EXPECT_EQ(id("ANN@example.com"), first);
    EXPECT_NE(id("bob@example.com"), first);
    EXPECT_TRUE(server::WireFormat::canonicalUuid(first).has_value());
}

TEST_F(SignIn, UnknownExpiredAndMalformedExchangesAreNotMistakenForPending)
{
    EXPECT_EQ(exchange("no-such-code")->status, 404);
    addUser("ann@example.com");
    const std::string code = prepareCode();
    age("signIns", "createdAt", 11 * 60 * 1000, "codeHash = '" + server::Secrets::sha256Hex(code) + "'");
    EXPECT_EQ(approve(code, "ann@example.com")->status, 410);
    const auto expired = exchange(code);
    EXPECT_EQ(expired->status, 410);
    EXPECT_FALSE(errorOf(expired).empty());
    // 400 means "keep polling" to the app, so broken bodies must answer otherwise.
    for (const std::string body : { "not json", "[]", "{\"code\": 5}", "{}" }) {
        const auto answer = client()->Post("/auth/exchange", body, "application/json");
        EXPECT_EQ(answer->status, 422) << body;
        EXPECT_FALSE(errorOf(answer).empty());
    }
}

class HeadlessSignIn : public ServerFixture
{
protected:
    void SetUp() override
    {
        start(nullptr, [](auto& options) { options.signInAs = "Demo@Example.com"; });
    }
};

TEST_F(HeadlessSignIn, OpeningTheSignInAddressIsEnough)
{
    const std::string code = prepareCode();
    EXPECT_EQ(exchange(code)->status, 400);
    const auto page = client()->Get("/auth/sign-in?code=" + code);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("demo@example.com"), std::string::npos);
    EXPECT_EQ(exchange(code)->status, 200);
}

using Recordings = ServerFixture;

TEST_F(Recordings, AreListedNewestFirstAndARepeatedKeyGivesTheSameTranscriptAndCreatesOne)
{
    const std::string token = signIn();
    const auto first = saveTranscript(token, kKey, "The plan for the quarter.");
    ASSERT_EQ(saveTranscript(token, "00000000-0000-4000-8000-000000000002", "Second meeting.")->status, 200);
    const auto repeat
        = saveTranscript(token, "0d7c3a5e-1111-4222-8333-123456789abc", "The plan for the quarter.");
    ASSERT_EQ(first->status, 200);
    ASSERT_EQ(repeat->status, 200);
    EXPECT_EQ(json(first).at("id"), json(repeat).at("id"));
    auto list = recordings(token);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].at("transcript"), "Second meeting.");
    const auto& oldest = list[1];
    EXPECT_EQ(oldest.at("transcript"), "The plan for the quarter.");
    for (const char* key : { "id", "title", "transcript", "recordedAt", "createdAt" }) {
        EXPECT_TRUE(oldest.at(key).is_string()) << key;
    }
    EXPECT_TRUE(oldest.at("languageCodes").is_array());
    EXPECT_EQ(oldest.at("recordedAt"), "2026-03-01T09:30:00.000Z");
    EXPECT_TRUE(server::WireFormat::parseDate(oldest.at("createdAt").get<std::string>()).has_value());

    // Concurrent repeats still make one transcript.
    const std::string raced = "11111111-2222-4333-8444-555555555555";
    std::vector<std::thread> racers;
    std::vector<std::string> ids(6);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        racers.emplace_back([&, i] { ids[i] = json(saveTranscript(token, raced, "Race.")).at("id"); });
    }
    for (auto& racer : racers) {
        racer.join();
    }
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 1u);
    EXPECT_EQ(recordings(token).size(), 3u);

    // A repeat after the transcript was deleted gives the first answer and does not bring it back.
    ASSERT_EQ(client()->Delete("/v1/recordings/" + ids[0], bearer(token))->status, 200);
    const auto late = json(saveTranscript(token, raced, "Race."));
    EXPECT_EQ(late.at("id"), ids[0]);
    EXPECT_EQ(late.at("transcript"), "Race.");
    EXPECT_EQ(recordings(token).size(), 2u);
}

// Mail goes only to the account's own address or to whom its owner allowed.
TEST_F(Recordings, AreNamedFiledAndMailedInTheBackground)
{
    const std::string token = signIn();
    m_server->store().allowRecipient("ann@example.com", "team@example.com", true);
    const auto saved = json(saveTranscript(token, kKey,
        "[00:00:01] Speaker 1: We need to fix the bug before the release. The build and deploy are next.",
        "team@example.com"));
    EXPECT_EQ(saved.at("cleanupStatus"), "pending");
    EXPECT_EQ(saved.at("emailStatus"), "pending");
    nlohmann::json current;
    ASSERT_TRUE(eventually([&] {
        current = recordings(token).at(0);
        return current.at("cleanupStatus") != "pending" && current.at("emailStatus") != "pending";
    }));
    EXPECT_EQ(current.at("cleanupStatus"), "completed");
    EXPECT_EQ(current.at("title"), "We need to fix the bug before the release");
    EXPECT_EQ(current.at("category"), "Engineering");
    EXPECT_EQ(current.at("emailStatus"), "sent");
    struct stat mail
    {
    };
    ASSERT_EQ(
        ::stat((m_dataDir + "/outbox/" + current.at("id").get<std::string>() + ".eml").c_str(), &mail), 0);
    EXPECT_EQ(mail.st_mode & 0777, 0600u);

    const std::vector<std::tuple<const char*, const char*, const char*>> others {
        { "ANN@example.com", "00000000-0000-4000-8000-000000000007", "sent" },
        { "victim@example.com", "00000000-0000-4000-8000-000000000008", "failed" },
        { "", "00000000-0000-4000-8000-000000000009", "disabled" },
    };
    for (const auto& [to, key, expected] : others) {
        SCOPED_TRACE(to);
        const std::string id = json(saveTranscript(token, key, "Hello there.", to)).at("id");
        ASSERT_TRUE(eventually([&] {
            current = recordings(token).at(0);
            return current.at("cleanupStatus") == "completed" && current.at("emailStatus") != "pending";
        }));
        EXPECT_EQ(current.at("emailStatus"), expected);
        EXPECT_EQ(
            std::filesystem::exists(m_dataDir + "/outbox/" + id + ".eml"), expected == std::string("sent"));
        EXPECT_FALSE(current.contains("category"));
    }
}

// The outbox turns stored text into mail; nothing stored may forge a header or
// end the message early.
std::string mailFor(const std::string& title, const std::string& transcript)
{
    const SpeechFiles::TemporaryDirectory outbox;
    server::Recording recording;
    recording.id = "0D7C3A5E-1111-4222-8333-123456789ABC";
    recording.title = title;
    recording.emailTo = "ann@example.com";
    recording.transcript = transcript;
    return SpeechFiles::read(server::Outbox::deliver(outbox.file("outbox"), recording));
}

TEST(Outbox, StoredTextNeverForgesAHeaderOrEndsTheMessage)
{
    for (const std::string& title : { std::string("Plan\0Bcc: eve@example.com", 25),
             std::string("Plan\vBcc: x"), std::string("Plan\fBcc: x"), std::string("Plan\xC2\x85") + "Bcc: x",
             std::string("Plan\xE2\x80\xA8") + "Bcc: x", std::string("Plan\x1B[2J"),
             std::string("Plan\r\nBcc: x"), std::string(5000, 'a') }) {
        SCOPED_TRACE(testing::PrintToString(title.substr(0, 40)));
        const std::string mail
            = mailFor(title, "First line.\n.\n..two dots\n" + std::string(3000, 'x') + "\nlast =\n");
        const std::string head = mail.substr(0, mail.find("\r\n\r\n") + 2);
        EXPECT_EQ(head.find("\nBcc"), std::string::npos);
        EXPECT_EQ(head.find("Subject:"), head.rfind("Subject:"));
        for (const std::string& forbidden : { std::string(1, '\0'), std::string("\v"), std::string("\f"),
                 std::string("\x1B"), std::string("\xC2\x85"), std::string("\xE2\x80\xA8") }) {
            EXPECT_EQ(mail.find(forbidden), std::string::npos);
        }
        std::istringstream lines(mail);
        for (std::string line; std::getline(lines, line);) {
            EXPECT_LE(line.size(), 998u);
            EXPECT_NE(line, ".\r") << "a lone dot ends an SMTP message";
        }
        for (const char* escaped : { "\r\n=2E\r\n", "\r\n=2E.two dots", "last =3D" }) {
            EXPECT_NE(mail.find(escaped), std::string::npos) << escaped;
        }
    }
    EXPECT_NE(
        mailFor("Caf\xC3\xA9 plans", "").find("Subject: =?utf-8?B?VHJhbnNjcmlwdDogQ2Fmw6kgcGxhbnM=?=\r\n"),
        std::string::npos)
        << "a title beyond ASCII is an encoded word";
}

class QuotaAttack : public ServerFixture
{
protected:
    void SetUp() override
    {
        start(nullptr, [](auto& options) { options.quotaMegabytes = 1; });
    }
};

TEST_F(QuotaAttack, AnAccountCannotFillTheDiskButARepeatedSaveStillAnswers)
{
    const std::string ann = signIn("ann@example.com");
    const std::string bob = signIn("bob@example.com");
    const std::string half(600'000, 'a');
    ASSERT_EQ(saveTranscript(ann, "00000000-0000-4000-8000-000000000001", half)->status, 200);
    const auto full = saveTranscript(ann, "00000000-0000-4000-8000-000000000002", half);
    EXPECT_EQ(full->status, 507);
    EXPECT_NE(errorOf(full).find("1 MB"), std::string::npos);
    EXPECT_EQ(saveTranscript(ann, "00000000-0000-4000-8000-000000000001", half)->status, 200);
    EXPECT_EQ(saveTranscript(bob, "00000000-0000-4000-8000-000000000002", half)->status, 200);
    EXPECT_EQ(recordings(ann).size(), 1u);
}

TEST_F(Recordings, DeleteRemovesOnlyTheOwnersTranscript)
{
    const std::string ann = signIn("ann@example.com");
    const std::string bob = signIn("bob@example.com");
    const std::string id = json(saveTranscript(ann, kKey, "Ann's meeting.")).at("id");
    const auto stolen = client()->Delete("/v1/recordings/" + id, bearer(bob));
    EXPECT_EQ(stolen->status, 404);
    EXPECT_EQ(errorOf(stolen), "Recording not found");
    EXPECT_TRUE(recordings(bob).empty());
    // Bob's use of the same key is his own transcript, not Ann's.
    EXPECT_NE(json(saveTranscript(bob, kKey, "Bob's meeting.")).at("id"), id);

    const auto deleted = client()->Delete("/v1/recordings/" + server::WireFormat::lowerCase(id), bearer(ann));
    ASSERT_EQ(deleted->status, 200);
    EXPECT_EQ(json(deleted), (nlohmann::json { { "deleted", true } }));
    EXPECT_TRUE(recordings(ann).empty());
    EXPECT_EQ(client()->Delete("/v1/recordings/" + id, bearer(ann))->status, 404);
    EXPECT_EQ(client()->Delete("/v1/recordings/not-a-uuid", bearer(ann))->status, 400);
}

TEST_F(Recordings, InvalidSubmissionsUnknownRoutesAndMissingTokensAnswerWithAnErrorBody)
{
    const std::string token = signIn();
    const nlohmann::json valid { { "transcript", "Text" }, { "recordedAt", "2026-03-01T09:30:00Z" },
        { "emailTo", "" }, { "source", "linux" } };
    const auto with = [&](const char* key, nlohmann::json value) {
        auto body = valid;
        body[key] = value;
        return body.dump();
    };
    const std::vector<std::pair<std::string, std::string>> cases {
        { valid.dump(), "" },
        { "{not json", kKey },
        { with("transcript", 5), kKey },
        { with("transcript", "  \n "), kKey },
        { with("recordedAt", "2026-03-01 09:30:00"), kKey },
        { with("recordedAt", "2026-02-30T09:30:00Z"), kKey },
        { with("emailTo", "a@b\r\nBcc: x@y"), kKey },
        { with("source", nullptr), kKey },
        { valid.dump(), "not-a-uuid" },
    };
    for (const auto& [body, key] : cases) {
        SCOPED_TRACE(body + " / " + key);
        auto headers = bearer(token);
        if (!key.empty()) {
            headers.emplace("Idempotency-Key", key);
        }
        const auto answer = client()->Post("/v1/recordings/text", headers, body, "application/json");
        EXPECT_EQ(answer->status, 400);
        EXPECT_FALSE(errorOf(answer).empty());
    }
    EXPECT_TRUE(recordings(token).empty());

    for (const auto& headers :
        { httplib::Headers {}, bearer("forged"), httplib::Headers { { "Authorization", "Basic x" } } }) {
        for (const char* path : { "/v1/me", "/v1/recordings" }) {
            const auto answer = client()->Get(path, headers);
            EXPECT_EQ(answer->status, 401) << path;
            EXPECT_FALSE(errorOf(answer).empty());
        }
    }
    const auto missing = client()->Get("/v1/nothing");
    EXPECT_EQ(missing->status, 404);
    EXPECT_FALSE(errorOf(missing).empty());
    EXPECT_EQ(client()->Get("/health")->status, 200);
}

} // namespace
