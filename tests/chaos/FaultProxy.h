#pragma once

#include "support/SelfSignedCertificate.h"

#include <httplib.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// An HTTPS proxy on 127.0.0.1 in front of the real (HTTPS) server that breaks
// answers on request: the faults a struggling server or a bad network
// produce. Every request is forwarded unchanged unless a fault is queued for
// its path. Clients trust it through certificatePath().
class FaultProxy
{
public:
    enum class Fault
    {
        // 503 with an error body; the server never sees the request.
        serverError,
        // The server does the work; the answer is cut off half way.
        dropMidBody,
        // The server's answer, trickled out over seconds.
        slow,
        // 200 with 10 MB of random bytes; the server never sees the request.
        garbage,
    };

    struct Exchange
    {
        std::string method;
        std::string path;
        int status = 0;
        std::optional<Fault> fault;
    };

    FaultProxy();
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;
    ~FaultProxy();

    int port() const { return m_port; }
    std::string url() const { return "https://localhost:" + std::to_string(m_port); }
    const std::string& certificatePath() const { return m_certificate.path(); }
    void setUpstream(int port) { m_upstreamPort = port; }

    // The next `count` requests whose path starts with pathPrefix meet `fault`.
    void inject(Fault fault, int count, const std::string& pathPrefix = "/");
    void clearFaults();
    // While on, the port answers in plain HTTP: a server that refuses TLS.
    void refuseTls(bool refuse);
    std::vector<Exchange> exchanges() const;

private:
    struct Plan
    {
        Fault fault;
        int remaining;
        std::string pathPrefix;
    };

    void listen(int port);
    void stopListening();
    void handle(const httplib::Request& request, httplib::Response& response, std::string body);
    std::optional<Fault> takeFault(const std::string& path);
    httplib::Result forward(const httplib::Request& request, std::string body) const;
    void record(const httplib::Request& request, int status, std::optional<Fault> fault);

    SelfSignedCertificate m_certificate;
    std::unique_ptr<httplib::SSLServer> m_server;
    std::thread m_thread;
    std::thread m_refuser;
    std::atomic<bool> m_refusing { false };
    int m_port = 0;
    std::atomic<int> m_upstreamPort { 0 };
    mutable std::mutex m_mutex;
    std::deque<Plan> m_plans;
    std::vector<Exchange> m_exchanges;
};
