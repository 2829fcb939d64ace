#include "api/APIClient.h"

#include "ClientFixtures.h"
#include "api/KeychainStore.h"
#include "core/DecodingError.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

// Browser sign-in against the fake server, storing into the real Secret Service.
namespace {

using nlohmann::json;

class SignIn : public ::testing::Test
{
protected:
    void SetUp() override { KeychainStore::clearToken(); }
    void TearDown() override { KeychainStore::clearToken(); }

    FakeServer server;
    APIClient client { server.baseURL() };
    RecordedWaits waits { client };
};

const ScriptedAnswer kPending = ScriptedAnswer::json(400, { { "error", "Sign-in not finished" } });

} // namespace

TEST_F(SignIn, PrepareIsAnEmptyPostWithoutCredentialsAndIsNotRetried)
{
    client.setToken(QStringLiteral("old-token"));
    server.script("POST", "/auth/google/prepare",
        { ScriptedAnswer::json(
            200, { { "url", "https://accounts.example.com/o?x=1" }, { "code", "c-42" } }) });
    const SignInStart start = TestTasks::run(client.prepareSignIn());
    EXPECT_EQ(start.url, QUrl(QStringLiteral("https://accounts.example.com/o?x=1")));
    EXPECT_EQ(start.code, QStringLiteral("c-42"));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_TRUE(requests[0].body.empty());
    EXPECT_FALSE(requests[0].header("Authorization"));
    EXPECT_FALSE(requests[0].header("Content-Type"));

    // A failure carries the status and is not retried.
    server.script("POST", "/auth/google/prepare", { ScriptedAnswer::text(503, "") });
    const auto error = expectThrows<APIClientError>(client.prepareSignIn());
    EXPECT_EQ(error.message(), QStringLiteral("Server returned 503."));
    EXPECT_EQ(error.statusCode(), 503);
    EXPECT_EQ(server.requests().size(), 2U);
}

TEST_F(SignIn, PendingTwiceThenTokenTakesThreeRequestsAndStoresTheToken)
{
    server.script("POST", "/auth/exchange",
        { kPending, kPending, ScriptedAnswer::json(200, { { "token", "fresh-token" }, { "extra", 1 } }) });
    EXPECT_EQ(
        TestTasks::run(client.waitForSignIn(QStringLiteral("c \"42\""))), QStringLiteral("fresh-token"));
    EXPECT_EQ(client.token(), QStringLiteral("fresh-token"));
    EXPECT_EQ(KeychainStore::loadToken(server.baseURL()), QStringLiteral("fresh-token"));
    EXPECT_EQ(waits.durations(), milliseconds({ 1000, 1000 }));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3U);
    for (const ReceivedRequest& request : requests) {
        EXPECT_EQ(request.path, "/auth/exchange");
        EXPECT_EQ(request.body, R"({"code":"c \"42\""})");
        EXPECT_EQ(request.jsonBody(), json({ { "code", "c \"42\"" } }));
        EXPECT_EQ(request.header("Content-Type"), "application/json");
        EXPECT_FALSE(request.header("Authorization"));
    }
}

TEST_F(SignIn, GivesUpAfterThreeHundredPendingAnswers)
{
    server.script("POST", "/auth/exchange", { kPending });
    const auto error = expectThrows<APIClientError>(client.waitForSignIn(QStringLiteral("code")));
    EXPECT_EQ(error.message(), "The sign-in at " + server.baseURL().authority() + " timed out.");
    EXPECT_FALSE(error.statusCode());
    EXPECT_EQ(server.requests().size(), 300U);
    EXPECT_EQ(waits.durations().size(), 300U);
    EXPECT_FALSE(client.token());
    EXPECT_FALSE(KeychainStore::loadToken(server.baseURL()));
}

TEST_F(SignIn, OtherStatusesStopPollingAtOnceWithoutAStatusCode)
{
    server.script("POST", "/auth/exchange",
        { kPending, ScriptedAnswer::json(410, { { "error", "This sign-in expired" } }) });
    auto error = expectThrows<APIClientError>(client.waitForSignIn(QStringLiteral("code")));
    EXPECT_EQ(error.message(), QStringLiteral("This sign-in expired"));
    EXPECT_FALSE(error.statusCode());
    EXPECT_EQ(server.requests().size(), 2U);

    server.script("POST", "/auth/exchange", { ScriptedAnswer::text(500, "") });
    error = expectThrows<APIClientError>(client.waitForSignIn(QStringLiteral("code")));
    EXPECT_EQ(error.message(), QStringLiteral("Server returned 500."));
    EXPECT_FALSE(error.statusCode());
    EXPECT_EQ(server.requests().size(), 3U);
    EXPECT_EQ(waits.durations().size(), 1U);
}

TEST_F(SignIn, SuccessWithoutAUsableTokenLeavesTheTokenUnchanged)
{
    client.setToken(QStringLiteral("previous"));
    KeychainStore::saveToken(QStringLiteral("previous"), server.baseURL());
    const json bodies[] = {
        { { "token", 5 } },
        json::object(),
        { { "token", nullptr } },
        // Neither an empty token nor one that would add a header is taken.
        { { "token", "" } },
        { { "token", "abc\r\nX-Injected: 1" } },
        { { "token", "with space" } },
    };
    for (const json& body : bodies) {
        server.script("POST", "/auth/exchange", { ScriptedAnswer::json(200, body) });
        EXPECT_THROW(TestTasks::run(client.waitForSignIn(QStringLiteral("code"))), DecodingError)
            << body.dump();
    }
    EXPECT_EQ(client.token(), QStringLiteral("previous"));
    EXPECT_EQ(KeychainStore::loadToken(server.baseURL()), QStringLiteral("previous"));
}

TEST_F(SignIn, ANetworkFailureStopsPollingAtOnce)
{
    RawAnswerServer garbage("garbage\r\n");
    const std::pair<QUrl, URLError::Code> cases[] = {
        { QUrl(QStringLiteral("http://127.0.0.1:%1").arg(closedLoopbackPort())),
            URLError::Code::cannotConnectToHost },
        { garbage.baseURL(), URLError::Code::networkConnectionLost },
    };
    for (const auto& [base, code] : cases) {
        APIClient offline(base);
        RecordedWaits offlineWaits(offline);
        EXPECT_EQ(expectThrows<URLError>(offline.waitForSignIn(QStringLiteral("code"))).code(), code);
        EXPECT_TRUE(offlineWaits.durations().empty());
    }
}
