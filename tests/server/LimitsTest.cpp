#include "ServerFixture.h"

#include "ServerOptions.h"

#include <cstdio>

namespace {

// A plain-HTTP server, so the tests can write raw requests on a socket.
class Limits : public ServerFixture
{
protected:
    void SetUp() override { start(nullptr, false); }

    // Sends only the head of a request and reads whatever answer comes within `timeoutMs`.
    std::string answerToHead(const std::string& head, int timeoutMs = 5000) const
    {
        const int fd = connectRaw();
        EXPECT_EQ(::send(fd, head.data(), head.size(), MSG_NOSIGNAL), static_cast<ssize_t>(head.size()));
        const std::string answer = readUntilQuiet(fd, timeoutMs, [](const std::string& seen) {
            return seen.find("\r\n\r\n") != std::string::npos && seen.find('}') != std::string::npos;
        });
        ::close(fd);
        return answer;
    }

    httplib::Client plainClient() const { return httplib::Client("127.0.0.1", m_port); }
};

TEST_F(Limits, OversizedBodiesAreRefusedBeforeTheyAreSent)
{
    const std::string token = signIn();
    const std::string auth = "Authorization: Bearer " + token + "\r\n";
    const auto transcription = answerToHead("POST /v1/transcriptions HTTP/1.1\r\nHost: x\r\n" + auth
        + "Content-Type: audio/x-m4a\r\nContent-Length: 20000001\r\n\r\n");
    EXPECT_EQ(transcription.rfind("HTTP/1.1 413", 0), 0u) << transcription;
    EXPECT_NE(transcription.find("{\"error\":"), std::string::npos);

    const auto upload
        = answerToHead("PUT /v1/uploads/abc HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000001\r\n\r\n");
    EXPECT_EQ(upload.rfind("HTTP/1.1 413", 0), 0u) << upload;

    const auto transcript = answerToHead(
        "POST /v1/recordings/text HTTP/1.1\r\nHost: x\r\n" + auth + "Content-Length: 8000001\r\n\r\n");
    EXPECT_EQ(transcript.rfind("HTTP/1.1 413", 0), 0u) << transcript;

    const auto chunked = answerToHead(
        "POST /v1/recordings/text HTTP/1.1\r\nHost: x\r\n" + auth + "Transfer-Encoding: chunked\r\n\r\n");
    EXPECT_EQ(chunked.rfind("HTTP/1.1 411", 0), 0u) << chunked;
}

TEST_F(Limits, BodylessPostsNeedNoContentLength)
{
    // Some clients send a POST without a body and without a Content-Length.
    const auto answer
        = answerToHead("POST /auth/google/prepare HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    EXPECT_NE(answer.find("\"code\""), std::string::npos);
}

TEST_F(Limits, TranscriptionRefusesWhatIsNotAudio)
{
    const std::string token = signIn();
    auto cli = plainClient();
    const auto wrongType = cli.Post("/v1/transcriptions", bearer(token), "x", "application/json");
    EXPECT_EQ(wrongType->status, 415);
    EXPECT_FALSE(errorOf(wrongType).empty());
    const auto garbage
        = cli.Post("/v1/transcriptions", bearer(token), "definitely not an m4a", "audio/x-m4a");
    EXPECT_EQ(garbage->status, 422);
    EXPECT_FALSE(errorOf(garbage).empty());
    auto headers = bearer(token);
    headers.emplace("X-Tallisen-Prompt", "broken%2");
    EXPECT_EQ(cli.Post("/v1/transcriptions", headers, "x", "audio/x-m4a")->status, 400);
    const auto notMultipart = cli.Post("/v1/transcriptions/align", bearer(token), "x", "audio/x-m4a");
    EXPECT_EQ(notMultipart->status, 400);
    EXPECT_FALSE(errorOf(notMultipart).empty());
    EXPECT_EQ(cli.Post("/v1/transcriptions", "x", "audio/x-m4a")->status, 401);
}

TEST_F(Limits, SlowAndBrokenClientsDoNotStopTheServer)
{
    std::vector<int> slow;
    for (int i = 0; i < 4; ++i) {
        slow.push_back(connectRaw());
        ::send(slow.back(), "GET /hea", 8, MSG_NOSIGNAL);
    }
    for (const std::string garbage : { "\x16\x03\x01 nonsense\r\n\r\n", "GET / HTTP/9\r\n\r\n",
             "POST /auth/exchange HTTP/1.1\r\nContent-Length: 5\r\n\r\n{{{{{" }) {
        const int fd = connectRaw();
        ::send(fd, garbage.data(), garbage.size(), MSG_NOSIGNAL);
        ::close(fd);
    }
    auto cli = plainClient();
    cli.set_read_timeout(5, 0);
    const auto health = cli.Get("/health");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);
    for (int fd : slow) {
        ::close(fd);
    }
}

TEST(ServerOptions, PlainHttpIsOnlyAllowedOnLoopback)
{
    using server::ServerOptions;
    EXPECT_THROW(ServerOptions::parse({ "--listen", "0.0.0.0:8080" }), std::invalid_argument);
    EXPECT_THROW(ServerOptions::parse({ "--listen", "192.168.1.5:8080" }), std::invalid_argument);
    EXPECT_NO_THROW(ServerOptions::parse({ "--listen", "0.0.0.0:8443", "--self-signed" }));
    EXPECT_NO_THROW(ServerOptions::parse({ "--listen", "127.0.0.1:8080" }));
    EXPECT_NO_THROW(ServerOptions::parse({ "--listen", "[::1]:8080" }));
    EXPECT_THROW(ServerOptions::parse({ "--tls-cert", "a.pem" }), std::invalid_argument);
    EXPECT_THROW(ServerOptions::parse({ "--listen", "127.0.0.1:99999" }), std::invalid_argument);
    EXPECT_THROW(ServerOptions::parse({ "--engine", "magic" }), std::invalid_argument);
    EXPECT_THROW(ServerOptions::parse({ "--bogus" }), std::invalid_argument);
}

TEST(ServerBinary, ServesHttpsWithTheCaItPrints)
{
    char pattern[] = "/tmp/tallisen-binary-test-XXXXXX";
    const std::string dataDir = mkdtemp(pattern);
    const std::string password = "a password of the owner's";
    ASSERT_EQ(std::system(("echo \"" + password + "\" | " + TALLISEN_SERVER_BINARY
                  + " user add a@example.com --data-dir " + dataDir + " >/dev/null")
                              .c_str()),
        0);
    const std::string command = std::string(TALLISEN_SERVER_BINARY)
        + " --listen 127.0.0.1:0 --self-signed --data-dir " + dataDir + " & echo $!";
    FILE* output = ::popen(("(" + command + ") 2>&1").c_str(), "r");
    ASSERT_NE(output, nullptr);
    std::string pid;
    std::string ca;
    std::string url;
    char line[512];
    while ((ca.empty() || url.empty()) && std::fgets(line, sizeof line, output)) {
        std::string text(line);
        text.erase(text.find_last_not_of("\r\n") + 1);
        if (pid.empty()) {
            pid = text;
        } else if (text.rfind("CA certificate: ", 0) == 0) {
            ca = text.substr(16);
        } else if (text.rfind("Listening on ", 0) == 0) {
            url = text.substr(13);
        }
    }
    ASSERT_EQ(ca, dataDir + "/tls/ca.pem");
    ASSERT_EQ(url.rfind("https://127.0.0.1:", 0), 0u) << url;
    const int port = std::stoi(url.substr(url.rfind(':') + 1));
    httplib::SSLClient client("127.0.0.1", port);
    client.set_ca_cert_path(ca.c_str());
    client.enable_server_certificate_verification(true);
    const auto health = client.Get("/health");
    ASSERT_TRUE(health) << httplib::to_string(health.error());
    EXPECT_EQ(health->status, 200);
    httplib::SSLClient untrusting("127.0.0.1", port);
    untrusting.enable_server_certificate_verification(true);
    EXPECT_FALSE(untrusting.Get("/health"));

    // A whole session, including refusals, leaves no token in the server's output.
    const std::string code
        = nlohmann::json::parse(client.Post("/auth/google/prepare", "", "application/json")->body).at("code");
    client.Post("/auth/sign-in",
        httplib::Params { { "code", code }, { "email", "a@example.com" }, { "password", password } });
    const std::string token = nlohmann::json::parse(
        client.Post("/auth/exchange", nlohmann::json { { "code", code } }.dump(), "application/json")->body)
                                  .at("token");
    const httplib::Headers headers { { "Authorization", "Bearer " + token } };
    EXPECT_EQ(client.Get("/v1/me", headers)->status, 200);
    client.Post("/v1/recordings/text", headers, "{broken", "application/json");
    client.Post("/v1/transcriptions", headers, "not audio", "audio/x-m4a");
    client.Get("/v1/me", httplib::Headers { { "Authorization", "Bearer " + token + "x" } });
    std::system(("kill " + pid).c_str());
    std::string rest;
    while (std::fgets(line, sizeof line, output)) {
        rest += line;
    }
    ::pclose(output);
    EXPECT_EQ(rest.find(token), std::string::npos);
    EXPECT_EQ(rest.find(code), std::string::npos);
    EXPECT_EQ(rest.find(password), std::string::npos);
    std::filesystem::remove_all(dataDir);
}

} // namespace
