#include "api/APIClient.h"

#include "ClientFixtures.h"
#include "api/KeychainStore.h"
#include "core/DecodingError.h"
#include "core/FileSystemError.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <optional>

// The request frame against a real HTTP server on loopback: what is sent,
// how answers become results or errors, and which failures are retried.
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const QString kToken = QStringLiteral("secret-token-8f3a");

const json kUser = { { "id", "0f8fad5b-d9cb-469f-a165-70867728950e" } };

} // namespace

TEST(APIClientFrame, AuthorizedRequestCarriesTheBearerTokenAndJoinsPathsWithOneSlash)
{
    FakeServer server;
    server.script("GET", "/api/v1/me", { ScriptedAnswer::json(200, kUser) });
    for (const QString& suffix : { QStringLiteral("/api"), QStringLiteral("/api/") }) {
        QUrl base = server.baseURL();
        base.setPath(suffix);
        FrameClient client(base, kToken);
        TestTasks::run(client.currentUserID());
    }
    const auto requests = server.requests("GET", "/api/v1/me");
    ASSERT_EQ(requests.size(), 2U);
    for (const ReceivedRequest& request : requests) {
        EXPECT_EQ(request.header("Authorization"), "Bearer " + kToken.toStdString());
        EXPECT_TRUE(request.body.empty());
    }
}

TEST(APIClientFrame, NoTokenFailsBeforeAnyRequestIsSent)
{
    FakeServer server;
    APIClient client(server.baseURL());
    const auto code = URLError::Code::userAuthenticationRequired;
    EXPECT_EQ(expectThrows<URLError>(client.listRecordings()).code(), code);
    EXPECT_EQ(expectThrows<URLError>(client.currentUserID()).code(), code);
    EXPECT_EQ(expectThrows<URLError>(client.deleteRecording(QUuid::createUuid())).code(), code);
    EXPECT_TRUE(server.requests().empty());
    EXPECT_STREQ(URLError(code).what(), "You are not signed in.");
}

TEST(APIClientFrame, TokenChangesApplyToTheNextRequest)
{
    FakeServer server;
    server.script("GET", "/v1/me", { ScriptedAnswer::json(200, kUser) });
    APIClient client(server.baseURL(), QStringLiteral("first"));
    TestTasks::run(client.currentUserID());
    client.setToken(QStringLiteral("second"));
    TestTasks::run(client.currentUserID());
    client.setToken(std::nullopt);
    EXPECT_THROW(TestTasks::run(client.currentUserID()), URLError);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer first");
    EXPECT_EQ(requests[1].header("Authorization"), "Bearer second");
}

TEST(APIClientFrame, ServerErrorTextIsShownUnchangedWithTheStatus)
{
    FakeServer server;
    FrameClient client(server.baseURL(), kToken);
    RecordedWaits waits(client);
    const std::pair<const char*, int> cases[] = {
        { "Recording not found", 404 },
        { "Recording not found.", 404 },
        { "  Odd spacing \u00e9 ", 409 },
    };
    for (const auto& [text, status] : cases) {
        server.script(
            "GET", "/v1/me", { ScriptedAnswer::json(status, { { "error", text }, { "code", 7 } }) });
        const auto error = expectThrows<APIClientError>(
            client.sendWithRetry<CurrentUser>(client.authorizedRequest(QStringLiteral("/v1/me"))));
        EXPECT_EQ(error.message(), QString::fromUtf8(text));
        EXPECT_EQ(error.statusCode(), status);
    }
    EXPECT_EQ(server.requests().size(), 3U) << "a 4xx answer is not retried";
    EXPECT_TRUE(waits.durations().empty());
}

TEST(APIClientFrame, AnyOtherErrorBodyGivesServerReturnedStatus)
{
    FakeServer server;
    FrameClient client(server.baseURL(), kToken);
    const ScriptedAnswer bodies[] = {
        ScriptedAnswer::text(502, "<html><body>Bad gateway</body></html>"),
        ScriptedAnswer::text(502, ""),
        ScriptedAnswer::json(502, { { "message", "not the error key" } }),
        ScriptedAnswer::json(502, { { "error", 502 } }),
        ScriptedAnswer::json(502, json::array({ "error" })),
    };
    for (const ScriptedAnswer& body : bodies) {
        server.script("GET", "/v1/me", { body });
        const auto error = expectThrows<APIClientError>(client.currentUserID());
        EXPECT_EQ(error.message(), QStringLiteral("Server returned 502."));
        EXPECT_EQ(error.statusCode(), 502);
    }
}

TEST(APIClientFrame, OnlyThe2xxRangeIsSuccess)
{
    FakeServer server;
    FrameClient client(server.baseURL(), kToken);
    server.script("GET", "/v1/me", { ScriptedAnswer::json(299, kUser) });
    EXPECT_FALSE(TestTasks::run(client.currentUserID()).isNull());
    server.script("GET", "/v1/me", { ScriptedAnswer::json(200, kUser) });
    EXPECT_FALSE(TestTasks::run(client.currentUserID()).isNull());
    for (int status : { 300, 304, 302, 400, 418 }) {
        server.script("GET", "/v1/me", { ScriptedAnswer::json(status, kUser) });
        EXPECT_EQ(expectThrows<APIClientError>(client.currentUserID()).statusCode(), status);
    }
    // A redirect is not followed: the token must not travel to another address.
    ScriptedAnswer redirect = ScriptedAnswer::json(302, kUser);
    redirect.headers.emplace("Location", "http://127.0.0.1:1/v1/me");
    server.script("GET", "/v1/me", { redirect });
    EXPECT_EQ(expectThrows<APIClientError>(client.currentUserID()).message(),
        QStringLiteral("Server returned 302."));
}

TEST(APIClientFrame, StatusBelow200IsAnError)
{
    RawAnswerServer server("HTTP/1.1 199 Odd\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
                           "Connection: close\r\n\r\n{}");
    APIClient client(server.baseURL(), kToken);
    const auto error = expectThrows<APIClientError>(client.currentUserID());
    EXPECT_EQ(error.message(), QStringLiteral("Server returned 199."));
    EXPECT_EQ(error.statusCode(), 199);
}

TEST(APIClientFrame, SuccessWithABodyThatDoesNotDecodeIsADecodingErrorAndNotRetried)
{
    FakeServer server;
    FrameClient client(server.baseURL(), kToken);
    RecordedWaits waits(client);
    for (const ScriptedAnswer& answer : { ScriptedAnswer::text(200, "", "application/json"),
             ScriptedAnswer::text(204, "", "application/json"), ScriptedAnswer::json(200, json::object()),
             ScriptedAnswer::text(200, "{\"id\":", "application/json") }) {
        server.script("GET", "/v1/me", { answer, ScriptedAnswer::json(200, kUser) });
        EXPECT_THROW(TestTasks::run(client.sendWithRetry<CurrentUser>(
                         client.authorizedRequest(QStringLiteral("/v1/me")))),
            DecodingError);
    }
    EXPECT_EQ(server.requests().size(), 4U);
    EXPECT_TRUE(waits.durations().empty());
}

TEST(APIClientRetry, ServerFailuresAreRetriedFourTimesWithDoublingWaits)
{
    FakeServer server;
    server.script("GET", "/v1/me", { ScriptedAnswer::text(500, "<html>Internal error</html>") });
    FrameClient client(server.baseURL(), kToken);
    RecordedWaits waits(client);
    const auto error = expectThrows<APIClientError>(
        client.sendWithRetry<CurrentUser>(client.authorizedRequest(QStringLiteral("/v1/me"))));
    EXPECT_EQ(error.message(), QStringLiteral("Server returned 500."));
    EXPECT_EQ(error.statusCode(), 500);
    EXPECT_EQ(server.requests().size(), 4U);
    EXPECT_EQ(waits.durations(), milliseconds({ 1000, 2000, 4000 }));
}

TEST(APIClientRetry, TheFourthAnswersErrorIsTheOneThrown)
{
    FakeServer server;
    server.script("GET", "/v1/me",
        { ScriptedAnswer::json(503, { { "error", "first" } }),
            ScriptedAnswer::json(429, { { "error", "2" } }), ScriptedAnswer::json(408, { { "error", "3" } }),
            ScriptedAnswer::json(425, { { "error", "4" } }) });
    FrameClient client(server.baseURL(), kToken);
    RecordedWaits waits(client);
    const auto error = expectThrows<APIClientError>(
        client.sendWithRetry<CurrentUser>(client.authorizedRequest(QStringLiteral("/v1/me"))));
    EXPECT_EQ(error.message(), QStringLiteral("4"));
    EXPECT_EQ(error.statusCode(), 425);
}

TEST(APIClientRetry, StopsAtTheFirstFailureThatIsNotRetryable)
{
    FakeServer server;
    server.script("GET", "/v1/me",
        { ScriptedAnswer::json(503, { { "error", "busy" } }),
            ScriptedAnswer::json(400, { { "error", "bad" } }), ScriptedAnswer::json(200, kUser) });
    FrameClient client(server.baseURL(), kToken);
    RecordedWaits waits(client);
    EXPECT_EQ(expectThrows<APIClientError>(
                  client.sendWithRetry<CurrentUser>(client.authorizedRequest(QStringLiteral("/v1/me"))))
                  .message(),
        QStringLiteral("bad"));
    EXPECT_EQ(server.requests().size(), 2U);
    EXPECT_EQ(waits.durations(), milliseconds({ 1000 }));
}

TEST(APIClientRetry, EveryAttemptSendsTheSameRequest)
{
    FakeServer server;
    server.script("POST", "/v1/echo", { ScriptedAnswer::text(503, ""), ScriptedAnswer::json(200, kUser) });
    FrameClient client(server.baseURL(), kToken);
    RecordedWaits waits(client);
    APIRequest request = client.authorizedRequest(QStringLiteral("/v1/echo"));
    request.method = QByteArrayLiteral("POST");
    request.request.setRawHeader("Content-Type", "application/json");
    request.request.setRawHeader("Idempotency-Key", "0F8FAD5B-D9CB-469F-A165-70867728950E");
    request.body = QByteArrayLiteral("{\"transcript\":\"Hello\"}");
    TestTasks::run(client.sendWithRetry<CurrentUser>(request));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2U);
    for (const ReceivedRequest& sent : requests) {
        EXPECT_EQ(sent.jsonBody(), json({ { "transcript", "Hello" } }));
        EXPECT_EQ(sent.header("Idempotency-Key"), "0F8FAD5B-D9CB-469F-A165-70867728950E");
        EXPECT_EQ(sent.header("Content-Type"), "application/json");
        EXPECT_EQ(sent.header("Authorization"), "Bearer " + kToken.toStdString());
    }
}

TEST(APIClientRetry, AFileBodyIsReadAfreshForEveryAttempt)
{
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("chunk.m4a"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    QByteArray audio(300'000, '\0');
    for (qsizetype i = 0; i < audio.size(); ++i) {
        audio[i] = static_cast<char>(i * 31 % 251);
    }
    file.write(audio);
    file.close();

    FakeServer server;
    server.script("POST", "/v1/upload", { ScriptedAnswer::text(502, ""), ScriptedAnswer::json(200, kUser) });
    FrameClient client(server.baseURL(), kToken);
    RecordedWaits waits(client);
    APIRequest request = client.authorizedRequest(QStringLiteral("/v1/upload"));
    request.method = QByteArrayLiteral("POST");
    request.request.setRawHeader("Content-Type", "audio/mp4");
    request.bodyFile = path;
    TestTasks::run(client.sendWithRetry<CurrentUser>(request));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2U);
    for (const ReceivedRequest& sent : requests) {
        EXPECT_EQ(sent.body.size(), static_cast<size_t>(audio.size()));
        EXPECT_TRUE(sent.body == audio.toStdString());
    }

    request.bodyFile = directory.filePath(QStringLiteral("missing.m4a"));
    const auto error = expectThrows<FileSystemError>(client.send<CurrentUser>(request));
    EXPECT_EQ(error.code(), ENOENT);
    EXPECT_EQ(server.requests().size(), 2U);
}

TEST(APIClientRetry, TooManyRequestsThenSuccessWaitsOneRealSecond)
{
    FakeServer server;
    server.script("GET", "/v1/me",
        { ScriptedAnswer::json(429, { { "error", "Slow down" } }), ScriptedAnswer::json(200, kUser) });
    FrameClient client(server.baseURL(), kToken);
    QElapsedTimer elapsed;
    elapsed.start();
    const CurrentUser user = TestTasks::run(
        client.sendWithRetry<CurrentUser>(client.authorizedRequest(QStringLiteral("/v1/me"))));
    EXPECT_FALSE(user.id.isNull());
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2U);
    const auto gap
        = std::chrono::duration_cast<std::chrono::milliseconds>(requests[1].arrival - requests[0].arrival);
    EXPECT_GE(gap, 1000ms);
    EXPECT_LT(gap, 1500ms);
    EXPECT_GE(elapsed.elapsed(), 1000);
}

TEST(APIClientTransport, RefusedConnectionsAreRetried)
{
    FrameClient client(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(closedLoopbackPort())), kToken);
    RecordedWaits waits(client);
    const auto error = expectThrows<URLError>(
        client.sendWithRetry<CurrentUser>(client.authorizedRequest(QStringLiteral("/v1/me"))));
    EXPECT_EQ(error.code(), URLError::Code::cannotConnectToHost);
    EXPECT_EQ(waits.durations(), milliseconds({ 1000, 2000, 4000 }));
}

TEST(APIClientTransport, UnknownHostsAreRetried)
{
    FrameClient client(QUrl(QStringLiteral("https://tallisen-test-host.invalid")), kToken);
    RecordedWaits waits(client);
    const auto error = expectThrows<URLError>(
        client.sendWithRetry<CurrentUser>(client.authorizedRequest(QStringLiteral("/v1/me"))));
    EXPECT_EQ(error.code(), URLError::Code::cannotFindHost);
    EXPECT_EQ(waits.durations().size(), 3U);
}

// Qt reads an answer that is not HTTP at all as a closed connection (and
// resends the request itself first); nothing tells it from a dropped line.
TEST(APIClientTransport, AnAnswerThatIsNotHttpAtAllReadsAsALostConnection)
{
    RawAnswerServer server("SSH-2.0-OpenSSH_9.2\r\n");
    APIClient client(server.baseURL(), kToken);
    EXPECT_EQ(expectThrows<URLError>(client.currentUserID()).code(), URLError::Code::networkConnectionLost);
}

TEST(APIClientTransport, AConnectionDroppedMidAnswerIsLostAndRetried)
{
    FakeServer server;
    ScriptedAnswer dropped = ScriptedAnswer::json(200, kUser);
    dropped.dropConnection = true;
    server.script("GET", "/v1/me", { dropped, ScriptedAnswer::json(200, kUser) });
    FrameClient client(server.baseURL(), kToken);
    RecordedWaits waits(client);
    TestTasks::run(client.sendWithRetry<CurrentUser>(client.authorizedRequest(QStringLiteral("/v1/me"))));
    EXPECT_EQ(server.requests().size(), 2U);
    EXPECT_EQ(waits.durations(), milliseconds({ 1000 }));

    server.script("GET", "/v1/me", { dropped });
    EXPECT_EQ(expectThrows<URLError>(client.currentUserID()).code(), URLError::Code::networkConnectionLost);
}

TEST(APIClientTransport, ASilentServerTimesOut)
{
    FakeServer server;
    ScriptedAnswer slow = ScriptedAnswer::json(200, kUser);
    slow.delay = 1500ms;
    server.script("GET", "/v1/me", { slow });
    FrameClient client(server.baseURL(), kToken);
    APIRequest request = client.authorizedRequest(QStringLiteral("/v1/me"));
    EXPECT_EQ(request.request.transferTimeout(), 60'000);
    request.request.setTransferTimeout(300);
    const auto error = expectThrows<URLError>(client.send<CurrentUser>(request));
    EXPECT_EQ(error.code(), URLError::Code::timedOut);
    EXPECT_STREQ(error.what(), "The request timed out.");
}

TEST(APIClientTransport, PlainHttpIsRefusedForHostsOtherThanThisComputer)
{
    for (const char* base : { "http://example.com", "http://10.0.0.1:8080", "ftp://127.0.0.1" }) {
        APIClient client(QUrl(QString::fromLatin1(base)), kToken);
        EXPECT_EQ(
            expectThrows<URLError>(client.currentUserID()).code(), URLError::Code::secureConnectionRequired)
            << base;
        EXPECT_EQ(
            expectThrows<URLError>(client.prepareSignIn()).code(), URLError::Code::secureConnectionRequired)
            << base;
    }
    FakeServer server;
    server.script("GET", "/v1/me", { ScriptedAnswer::json(200, kUser) });
    APIClient local(QUrl(QStringLiteral("http://localhost:%1").arg(server.port())), kToken);
    TestTasks::run(local.currentUserID());
}

// Restores the variable the tests change.
class APIClientHttps : public ::testing::Test
{
protected:
    void TearDown() override
    {
        if (m_saved) {
            qputenv("SSL_CERT_FILE", *m_saved);
        } else {
            qunsetenv("SSL_CERT_FILE");
        }
    }

private:
    std::optional<QByteArray> m_saved
        = qEnvironmentVariableIsSet("SSL_CERT_FILE") ? std::optional(qgetenv("SSL_CERT_FILE")) : std::nullopt;
};

TEST_F(APIClientHttps, TrustsTheCertificateAuthorityNamedBySslCertFile)
{
    FakeServer server(FakeServer::Scheme::https);
    server.script("GET", "/v1/me", { ScriptedAnswer::json(200, kUser) });
    qputenv("SSL_CERT_FILE", QByteArray::fromStdString(server.certificatePath()));
    APIClient client(server.baseURL(), kToken);
    EXPECT_FALSE(TestTasks::run(client.currentUserID()).isNull());
    EXPECT_EQ(server.requests().at(0).header("Authorization"), "Bearer " + kToken.toStdString());
}

TEST_F(APIClientHttps, RefusesAnUntrustedCertificateWithoutRetrying)
{
    FakeServer server(FakeServer::Scheme::https);
    server.script("GET", "/v1/me", { ScriptedAnswer::json(200, kUser) });
    qunsetenv("SSL_CERT_FILE");
    FrameClient client(server.baseURL(), kToken);
    RecordedWaits waits(client);
    const auto error = expectThrows<URLError>(
        client.sendWithRetry<CurrentUser>(client.authorizedRequest(QStringLiteral("/v1/me"))));
    EXPECT_EQ(error.code(), URLError::Code::other);
    EXPECT_FALSE(QString::fromUtf8(error.what()).isEmpty());
    EXPECT_EQ(QString::fromUtf8(error.what()).indexOf(kToken), -1);
    EXPECT_TRUE(server.requests().empty()) << "nothing may reach an unverified server";
    EXPECT_TRUE(waits.durations().empty());
}

TEST(APIClientRetry, RetryableClassification)
{
    const auto retryable
        = [](auto error) { return FrameClient::isRetryable(std::make_exception_ptr(error)); };
    for (int status : { 408, 425, 429, 500, 502, 503, 599, 600 }) {
        EXPECT_TRUE(retryable(APIClientError(QStringLiteral("x"), status))) << status;
    }
    for (int status : { 100, 199, 300, 400, 401, 404, 409, 410, 426, 499 }) {
        EXPECT_FALSE(retryable(APIClientError(QStringLiteral("x"), status))) << status;
    }
    EXPECT_FALSE(retryable(APIClientError(QStringLiteral("no status"))));
    using Code = URLError::Code;
    for (Code code : { Code::timedOut, Code::networkConnectionLost, Code::notConnectedToInternet,
             Code::cannotConnectToHost, Code::cannotFindHost, Code::dnsLookupFailed }) {
        EXPECT_TRUE(retryable(URLError(code))) << static_cast<int>(code);
    }
    for (Code code : { Code::badServerResponse, Code::userAuthenticationRequired, Code::cannotLoadFromNetwork,
             Code::secureConnectionRequired, Code::cancelled, Code::other }) {
        EXPECT_FALSE(retryable(URLError(code))) << static_cast<int>(code);
    }
    EXPECT_FALSE(retryable(DecodingError("bad")));
    EXPECT_FALSE(retryable(KeychainError(5)));
    EXPECT_FALSE(retryable(std::runtime_error("other")));
    EXPECT_FALSE(FrameClient::isRetryable(nullptr));
}
