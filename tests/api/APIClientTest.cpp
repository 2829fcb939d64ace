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

QCoro::Task<CurrentUser> sendMe(FrameClient& client)
{
    return client.sendWithRetry<CurrentUser>(client.authorizedRequest(QStringLiteral("/v1/me")));
}

} // namespace

TEST(APIClientFrame, AuthorizedRequestCarriesTheCurrentTokenAndJoinsPathsWithOneSlash)
{
    FakeServer server;
    server.script("GET", "/api/v1/me", { ScriptedAnswer::json(200, kUser) });
    server.script("GET", "/v1/me", { ScriptedAnswer::json(200, kUser) });
    for (const QString& suffix : { QStringLiteral("/api"), QStringLiteral("/api/") }) {
        QUrl base = server.baseURL();
        base.setPath(suffix);
        TestTasks::run(FrameClient(base, kToken).currentUserID());
    }
    for (const ReceivedRequest& request : server.requests()) {
        EXPECT_EQ(request.path, "/api/v1/me");
        EXPECT_EQ(request.header("Authorization"), "Bearer " + kToken.toStdString());
        EXPECT_TRUE(request.body.empty());
    }
    EXPECT_EQ(server.requests().size(), 2U);

    APIClient client(server.baseURL(), QStringLiteral("first"));
    TestTasks::run(client.currentUserID());
    client.setToken(QStringLiteral("second"));
    TestTasks::run(client.currentUserID());
    const auto requests = server.requests("GET", "/v1/me");
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer first");
    EXPECT_EQ(requests[1].header("Authorization"), "Bearer second");

    // Without a token nothing is sent.
    client.setToken(std::nullopt);
    const auto code = URLError::Code::userAuthenticationRequired;
    EXPECT_EQ(expectThrows<URLError>(client.listRecordings()).code(), code);
    EXPECT_EQ(expectThrows<URLError>(client.currentUserID()).code(), code);
    EXPECT_EQ(expectThrows<URLError>(client.deleteRecording(QUuid::createUuid())).code(), code);
    EXPECT_EQ(server.requests().size(), 4U);
    EXPECT_STREQ(URLError(code).what(), "You are not signed in.");
}

// Only 2xx is success; an error's text is the server's "error" string as
// sent, else "Server returned N."; a redirect is not followed, so the token
// never travels to another address.
TEST(APIClientFrame, AnswersBecomeResultsOrErrorsWithTheirStatus)
{
    ScriptedAnswer redirect = ScriptedAnswer::json(302, kUser);
    redirect.headers.emplace("Location", "http://127.0.0.1:1/v1/me");
    const struct
    {
        ScriptedAnswer answer;
        QString message; // empty: success
    } cases[] = {
        { ScriptedAnswer::json(200, kUser), "" },
        { ScriptedAnswer::json(299, kUser), "" },
        { ScriptedAnswer::json(404, { { "error", "Recording not found" }, { "code", 7 } }),
            "Recording not found" },
        { ScriptedAnswer::json(404, { { "error", "Recording not found." } }), "Recording not found." },
        { ScriptedAnswer::json(409, { { "error", "  Odd spacing \u00e9 " } }), "  Odd spacing \u00e9 " },
        { ScriptedAnswer::text(502, "<html><body>Bad gateway</body></html>"), "Server returned 502." },
        { ScriptedAnswer::text(502, ""), "Server returned 502." },
        { ScriptedAnswer::json(502, { { "message", "not the error key" } }), "Server returned 502." },
        { ScriptedAnswer::json(502, { { "error", 502 } }), "Server returned 502." },
        { ScriptedAnswer::json(502, json::array({ "error" })), "Server returned 502." },
        { ScriptedAnswer::json(300, kUser), "Server returned 300." },
        { ScriptedAnswer::json(304, kUser), "Server returned 304." },
        { ScriptedAnswer::json(400, kUser), "Server returned 400." },
        { ScriptedAnswer::json(418, kUser), "Server returned 418." },
        { redirect, "Server returned 302." },
    };
    FakeServer server;
    APIClient client(server.baseURL(), kToken);
    for (const auto& test : cases) {
        SCOPED_TRACE(test.answer.status);
        server.script("GET", "/v1/me", { test.answer });
        if (test.message.isEmpty()) {
            EXPECT_FALSE(TestTasks::run(client.currentUserID()).isNull());
            continue;
        }
        const auto error = expectThrows<APIClientError>(client.currentUserID());
        EXPECT_EQ(error.message(), test.message);
        EXPECT_EQ(error.statusCode(), test.answer.status);
    }

    RawAnswerServer odd("HTTP/1.1 199 Odd\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
                        "Connection: close\r\n\r\n{}");
    const auto error = expectThrows<APIClientError>(APIClient(odd.baseURL(), kToken).currentUserID());
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
        EXPECT_THROW(TestTasks::run(sendMe(client)), DecodingError);
    }
    EXPECT_EQ(server.requests().size(), 4U);
    EXPECT_TRUE(waits.durations().empty());
}

// Retryable failures are tried four times in all, waiting 1, 2 and 4 s;
// the last answer's error is the one thrown.
TEST(APIClientRetry, ServerFailuresAreRetriedFourTimesWithDoublingWaits)
{
    const struct
    {
        std::vector<ScriptedAnswer> answers;
        size_t requests;
        std::vector<std::chrono::milliseconds> waits;
        QString message;
        int status;
    } cases[] = {
        { { ScriptedAnswer::text(500, "<html>Internal error</html>") }, 4, milliseconds({ 1000, 2000, 4000 }),
            "Server returned 500.", 500 },
        { { ScriptedAnswer::json(503, { { "error", "first" } }),
              ScriptedAnswer::json(429, { { "error", "2" } }),
              ScriptedAnswer::json(408, { { "error", "3" } }),
              ScriptedAnswer::json(425, { { "error", "4" } }) },
            4, milliseconds({ 1000, 2000, 4000 }), "4", 425 },
        // Stops at the first failure that is not retryable.
        { { ScriptedAnswer::json(503, { { "error", "busy" } }),
              ScriptedAnswer::json(400, { { "error", "bad" } }), ScriptedAnswer::json(200, kUser) },
            2, milliseconds({ 1000 }), "bad", 400 },
        { { ScriptedAnswer::json(404, { { "error", "gone" } }) }, 1, {}, "gone", 404 },
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.message.toStdString());
        FakeServer server;
        server.script("GET", "/v1/me", test.answers);
        FrameClient client(server.baseURL(), kToken);
        RecordedWaits waits(client);
        const auto error = expectThrows<APIClientError>(sendMe(client));
        EXPECT_EQ(error.message(), test.message);
        EXPECT_EQ(error.statusCode(), test.status);
        EXPECT_EQ(server.requests().size(), test.requests);
        EXPECT_EQ(waits.durations(), test.waits);
    }
}

TEST(APIClientRetry, EveryAttemptSendsTheSameRequestAndReadsAFileBodyAfresh)
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
    server.script("POST", "/v1/echo", { ScriptedAnswer::text(503, ""), ScriptedAnswer::json(200, kUser) });
    server.script("POST", "/v1/upload", { ScriptedAnswer::text(502, ""), ScriptedAnswer::json(200, kUser) });
    FrameClient client(server.baseURL(), kToken);
    RecordedWaits waits(client);
    APIRequest request = client.authorizedRequest(QStringLiteral("/v1/echo"));
    request.method = QByteArrayLiteral("POST");
    request.request.setRawHeader("Content-Type", "application/json");
    request.request.setRawHeader("Idempotency-Key", "0F8FAD5B-D9CB-469F-A165-70867728950E");
    request.body = QByteArrayLiteral("{\"transcript\":\"Hello\"}");
    TestTasks::run(client.sendWithRetry<CurrentUser>(request));
    const auto echoes = server.requests("POST", "/v1/echo");
    ASSERT_EQ(echoes.size(), 2U);
    for (const ReceivedRequest& sent : echoes) {
        EXPECT_EQ(sent.jsonBody(), json({ { "transcript", "Hello" } }));
        EXPECT_EQ(sent.header("Idempotency-Key"), "0F8FAD5B-D9CB-469F-A165-70867728950E");
        EXPECT_EQ(sent.header("Content-Type"), "application/json");
        EXPECT_EQ(sent.header("Authorization"), "Bearer " + kToken.toStdString());
    }

    APIRequest upload = client.authorizedRequest(QStringLiteral("/v1/upload"));
    upload.method = QByteArrayLiteral("POST");
    upload.bodyFile = path;
    TestTasks::run(client.sendWithRetry<CurrentUser>(upload));
    const auto uploads = server.requests("POST", "/v1/upload");
    ASSERT_EQ(uploads.size(), 2U);
    for (const ReceivedRequest& sent : uploads) {
        EXPECT_TRUE(sent.body == audio.toStdString()) << sent.body.size();
    }
    upload.bodyFile = directory.filePath(QStringLiteral("missing.m4a"));
    EXPECT_EQ(expectThrows<FileSystemError>(client.send<CurrentUser>(upload)).code(), ENOENT);
    EXPECT_EQ(server.requests().size(), 4U);
}

TEST(APIClientRetry, TooManyRequestsThenSuccessWaitsOneRealSecond)
{
    FakeServer server;
    server.script("GET", "/v1/me",
        { ScriptedAnswer::json(429, { { "error", "Slow down" } }), ScriptedAnswer::json(200, kUser) });
    FrameClient client(server.baseURL(), kToken);
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_FALSE(TestTasks::run(sendMe(client)).id.isNull());
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2U);
    const auto gap
        = std::chrono::duration_cast<std::chrono::milliseconds>(requests[1].arrival - requests[0].arrival);
    EXPECT_GE(gap, 1000ms);
    EXPECT_LT(gap, 1500ms);
    EXPECT_GE(elapsed.elapsed(), 1000);
}

// A non-HTTP answer, which Qt also reads as a lost connection, is in
// SignIn.ANetworkFailureStopsPollingAtOnce.
TEST(APIClientTransport, RefusedConnectionsUnknownHostsAndDroppedAnswersAreRetried)
{
    FakeServer dropping;
    ScriptedAnswer dropped = ScriptedAnswer::json(200, kUser);
    dropped.dropConnection = true;
    dropping.script("GET", "/v1/me", { dropped });
    const std::pair<QString, URLError::Code> cases[] = {
        { QStringLiteral("http://127.0.0.1:%1").arg(closedLoopbackPort()),
            URLError::Code::cannotConnectToHost },
        { QStringLiteral("https://tallisen-test-host.invalid"), URLError::Code::cannotFindHost },
        { dropping.baseURL().toString(), URLError::Code::networkConnectionLost },
    };
    for (const auto& [base, code] : cases) {
        FrameClient client(QUrl(base), kToken);
        RecordedWaits waits(client);
        EXPECT_EQ(expectThrows<URLError>(sendMe(client)).code(), code) << base.toStdString();
        EXPECT_EQ(waits.durations(), milliseconds({ 1000, 2000, 4000 }));
    }
    EXPECT_EQ(dropping.requests().size(), 4U);
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
    TestTasks::run(
        APIClient(QUrl(QStringLiteral("http://localhost:%1").arg(server.port())), kToken).currentUserID());
}

// Trusts the authority SSL_CERT_FILE names, and without it refuses the
// certificate before anything is sent, without retrying.
TEST(APIClientHttps, TrustsOnlyTheCertificateAuthorityNamedBySslCertFile)
{
    const std::optional<QByteArray> saved
        = qEnvironmentVariableIsSet("SSL_CERT_FILE") ? std::optional(qgetenv("SSL_CERT_FILE")) : std::nullopt;
    FakeServer server(FakeServer::Scheme::https);
    server.script("GET", "/v1/me", { ScriptedAnswer::json(200, kUser) });
    qunsetenv("SSL_CERT_FILE");
    FrameClient untrusting(server.baseURL(), kToken);
    RecordedWaits waits(untrusting);
    const auto error = expectThrows<URLError>(sendMe(untrusting));
    EXPECT_EQ(error.code(), URLError::Code::other);
    EXPECT_FALSE(QString::fromUtf8(error.what()).isEmpty());
    EXPECT_FALSE(QString::fromUtf8(error.what()).contains(kToken));
    EXPECT_TRUE(server.requests().empty()) << "nothing may reach an unverified server";
    EXPECT_TRUE(waits.durations().empty());

    qputenv("SSL_CERT_FILE", QByteArray::fromStdString(server.certificatePath()));
    EXPECT_FALSE(TestTasks::run(APIClient(server.baseURL(), kToken).currentUserID()).isNull());
    EXPECT_EQ(server.requests().at(0).header("Authorization"), "Bearer " + kToken.toStdString());
    saved ? qputenv("SSL_CERT_FILE", *saved) : qunsetenv("SSL_CERT_FILE");
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
