#pragma once

#include "support/SelfSignedCertificate.h"

#include <httplib.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <string>
#include <strings.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

// An HTTPS proxy in front of the real server that forwards every request
// unchanged unless a fault is queued for its path.
class FaultProxy
{
public:
    // serverError (503) and garbage (10 MB of random bytes) never reach the
    // server; the others cut its answer off half way or trickle it out.
    enum class Fault
    {
        serverError,
        dropMidBody,
        slow,
        garbage,
    };

    struct Exchange
    {
        std::string method;
        std::string path;
        int status = 0;
        std::optional<Fault> fault;
    };

    FaultProxy() { listen(0); }
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;
    ~FaultProxy() { stopListening(); }

    std::string url() const { return "https://localhost:" + std::to_string(m_port); }
    const std::string& certificatePath() const { return m_certificate.path(); }
    void setUpstream(int port) { m_upstreamPort = port; }

    // The next `count` requests whose path starts with pathPrefix meet `fault`.
    void inject(Fault fault, int count, const std::string& pathPrefix = "/")
    {
        const std::lock_guard lock(m_mutex);
        m_plans.push_back({ fault, count, pathPrefix });
    }
    void clearFaults()
    {
        const std::lock_guard lock(m_mutex);
        m_plans.clear();
    }
    // While on, the port answers in plain HTTP: a server that refuses TLS.
    void refuseTls(bool refuse)
    {
        stopListening();
        if (!refuse) {
            return listen(m_port);
        }
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int yes = 1;
        // Like the server library, so connections it left open do not block the port.
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
        sockaddr_in address { .sin_family = AF_INET,
            .sin_port = htons(static_cast<uint16_t>(m_port)),
            .sin_addr = { htonl(INADDR_LOOPBACK) },
            .sin_zero = {} };
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || ::listen(listener, 16) != 0) {
            const std::string why = std::strerror(errno);
            ::close(listener);
            throw std::runtime_error("the fault proxy could not listen: " + why);
        }
        // Answers every TLS greeting in plain HTTP, as a server without TLS does.
        m_refuser = std::jthread([listener](const std::stop_token& stop) {
            while (!stop.stop_requested()) {
                pollfd waiting { listener, POLLIN, 0 };
                const int connection
                    = ::poll(&waiting, 1, 50) > 0 ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
                if (connection >= 0) {
                    char greeting[512];
                    const char answer[]
                        = "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
                    if (::recv(connection, greeting, sizeof greeting, 0) >= 0) {
                        (void)::send(connection, answer, sizeof answer - 1, MSG_NOSIGNAL);
                    }
                    ::close(connection);
                }
            }
            ::close(listener);
        });
    }
    std::vector<Exchange> exchanges() const
    {
        const std::lock_guard lock(m_mutex);
        return m_exchanges;
    }

private:
    static constexpr const char* kHiddenContentType = "X-Proxied-Content-Type";

    static bool isHopByHop(const std::string& name)
    {
        const auto hops = { "Host", "Content-Length", "Connection", "Transfer-Encoding", "Keep-Alive",
            "Accept-Encoding", "REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR", "LOCAL_PORT" };
        return std::any_of(hops.begin(), hops.end(),
            [&name](const char* hop) { return ::strcasecmp(name.c_str(), hop) == 0; });
    }

    struct Plan
    {
        Fault fault;
        int remaining;
        std::string pathPrefix;
    };

    void listen(int port)
    {
        m_server = std::make_unique<httplib::SSLServer>(m_certificate.certificate(), m_certificate.key());
        const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
            handle(request, response);
        };
        // Hidden from the server library, a multipart body reaches the handler
        // as the bytes the client sent, not parsed.
        m_server->set_pre_routing_handler([](const httplib::Request& request, httplib::Response&) {
            auto& headers = const_cast<httplib::Headers&>(request.headers);
            if (const auto type = headers.find("Content-Type"); type != headers.end()) {
                headers.emplace(kHiddenContentType, type->second);
                headers.erase(type);
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
        m_server->Get(".*", handler)
            .Delete(".*", handler)
            .Post(".*", handler)
            .Put(".*", handler)
            .Patch(".*", handler);
        m_server->set_payload_max_length(std::numeric_limits<size_t>::max());
        m_port = port == 0 ? m_server->bind_to_any_port("127.0.0.1") : port;
        if (m_port <= 0 || (port != 0 && !m_server->bind_to_port("127.0.0.1", port))) {
            throw std::runtime_error("the fault proxy could not listen");
        }
        m_thread = std::thread([this] { m_server->listen_after_bind(); });
        // stop() is ignored until the server runs.
        while (!m_server->is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void stopListening()
    {
        if (m_server) {
            m_server->stop();
            m_thread.join();
            m_server.reset();
        }
        m_refuser = {};
    }
    void handle(const httplib::Request& request, httplib::Response& response)
    {
        std::optional<Fault> fault;
        {
            const std::lock_guard lock(m_mutex);
            const auto plan = std::find_if(m_plans.begin(), m_plans.end(),
                [&request](const Plan& plan) { return request.path.starts_with(plan.pathPrefix); });
            if (plan != m_plans.end()) {
                fault = plan->fault;
                if (--plan->remaining <= 0) {
                    m_plans.erase(plan);
                }
            }
        }
        const auto record = [&] {
            const std::lock_guard lock(m_mutex);
            m_exchanges.push_back({ request.method, request.path, response.status, fault });
        };
        const auto reply = [&](int status, std::string content) {
            response.status = status;
            response.set_content(std::move(content), "application/json");
            record();
        };
        if (fault == Fault::serverError) {
            return reply(503, R"({"error":"The server is busy; try again later."})");
        }
        if (fault == Fault::garbage) {
            std::mt19937_64 random(7);
            std::string bytes(10 * 1024 * 1024, '\0');
            std::generate(bytes.begin(), bytes.end(), [&random] { return static_cast<char>(random()); });
            return reply(200, std::move(bytes));
        }
        const httplib::Result answer = forward(request);
        if (!answer) {
            return reply(502, R"({"error":"The proxy could not reach the server."})");
        }
        for (const auto& [name, value] : answer->headers) {
            if (!isHopByHop(name) && ::strcasecmp(name.c_str(), "Content-Type") != 0) {
                response.headers.emplace(name, value);
            }
        }
        response.status = answer->status;
        record();
        const std::string contentType = answer->get_header_value("Content-Type");
        if (!fault) {
            return response.set_content(answer->body, contentType.c_str());
        }
        auto shared = std::make_shared<std::string>(answer->body);
        const bool drop = fault == Fault::dropMidBody;
        // Dropped: promises the whole body, sends half, then closes. Slow: trickles it.
        response.set_content_provider(shared->size(), contentType.c_str(),
            [shared, drop](size_t offset, size_t length, httplib::DataSink& sink) {
                if (drop) {
                    return offset < shared->size() / 2 && sink.write(shared->data(), shared->size() / 2);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(offset == 0 ? 2000 : 100));
                return sink.write(shared->data() + offset, std::min<size_t>(length, 64));
            });
    }
    httplib::Result forward(const httplib::Request& request) const
    {
        httplib::SSLClient upstream("127.0.0.1", m_upstreamPort);
        upstream.enable_server_certificate_verification(false);
        upstream.set_url_encode(false);
        upstream.set_read_timeout(300, 0);
        upstream.set_write_timeout(300, 0);
        httplib::Request copy { .method = request.method, .path = request.target, .body = request.body };
        for (const auto& [name, value] : request.headers) {
            if (!isHopByHop(name)) {
                copy.headers.emplace(name == kHiddenContentType ? "Content-Type" : name, value);
            }
        }
        return upstream.send(copy);
    }

    SelfSignedCertificate m_certificate;
    std::unique_ptr<httplib::SSLServer> m_server;
    std::thread m_thread;
    std::jthread m_refuser;
    int m_port = 0;
    std::atomic<int> m_upstreamPort { 0 };
    mutable std::mutex m_mutex;
    std::deque<Plan> m_plans;
    std::vector<Exchange> m_exchanges;
};
