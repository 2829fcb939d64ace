#pragma once

#include "support/SelfSignedCertificate.h"

#include <QUrl>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// One scripted answer of the fake server.
struct ScriptedAnswer
{
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
    std::multimap<std::string, std::string> headers;
    // Waited on the server thread before answering.
    std::chrono::milliseconds delay { 0 };
    // Sends the status line and headers, then closes without the promised body.
    bool dropConnection = false;

    static ScriptedAnswer json(int status, const nlohmann::json& body);
    static ScriptedAnswer text(int status, std::string body, std::string contentType = "text/html");
};

// One request as the server received it.
struct ReceivedRequest
{
    std::string method;
    std::string path;
    httplib::Headers headers;
    std::string body;
    std::chrono::steady_clock::time_point arrival;

    std::optional<std::string> header(const std::string& name) const;
    nlohmann::json jsonBody() const { return nlohmann::json::parse(body); }
};

// An HTTP or HTTPS server on 127.0.0.1 with an ephemeral port, running on its
// own threads. Each route (method and path) answers from a script, one answer
// per request, repeating the last; unscripted routes answer 404 with an
// "error" body. Every request is logged. The HTTPS variant uses a fresh
// self-signed certificate for localhost and 127.0.0.1, written to
// certificatePath() so a client can trust it through SSL_CERT_FILE.
class FakeServer
{
public:
    enum class Scheme
    {
        http,
        https
    };

    explicit FakeServer(Scheme scheme = Scheme::http);
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;
    ~FakeServer();

    int port() const { return m_port; }
    // http://127.0.0.1:port, or https://localhost:port (the name in the certificate).
    QUrl baseURL() const;
    std::string certificatePath() const { return m_certificate ? m_certificate->path() : std::string(); }

    void script(const std::string& method, const std::string& path, std::vector<ScriptedAnswer> answers);

    std::vector<ReceivedRequest> requests() const;
    std::vector<ReceivedRequest> requests(const std::string& method, const std::string& path) const;

private:
    void handle(const httplib::Request& request, httplib::Response& response);
    ScriptedAnswer nextAnswer(const std::string& method, const std::string& path);

    Scheme m_scheme;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = 0;
    std::unique_ptr<SelfSignedCertificate> m_certificate;

    mutable std::mutex m_mutex;
    std::map<std::pair<std::string, std::string>, std::vector<ScriptedAnswer>> m_scripts;
    std::map<std::pair<std::string, std::string>, size_t> m_served;
    std::vector<ReceivedRequest> m_requests;
};

// A TCP server on 127.0.0.1 that answers every connection with fixed bytes
// (for example something that is not HTTP) once the request head has
// arrived, then closes it. Runs on its own thread.
class RawAnswerServer
{
public:
    explicit RawAnswerServer(std::string answer);
    RawAnswerServer(const RawAnswerServer&) = delete;
    RawAnswerServer& operator=(const RawAnswerServer&) = delete;
    ~RawAnswerServer();

    QUrl baseURL() const;
    int connections() const { return m_connections; }

private:
    void serve();

    std::string m_answer;
    int m_port = 0;
    int m_listener = -1;
    std::atomic<bool> m_stopping = false;
    std::atomic<int> m_connections = 0;
    std::thread m_thread;
};

// A TCP port on 127.0.0.1 that nobody listens on (connections are refused).
int closedLoopbackPort();
