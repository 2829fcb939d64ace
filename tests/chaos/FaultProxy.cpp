#include "FaultProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>

namespace {

constexpr size_t kGarbageBytes = 10 * 1024 * 1024;
const char* const kHiddenContentType = "X-Proxied-Content-Type";

bool isHopByHop(const std::string& name)
{
    for (const char* hop : { "Host", "Content-Length", "Connection", "Transfer-Encoding", "Keep-Alive",
             "Accept-Encoding", "REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR", "LOCAL_PORT" }) {
        if (::strcasecmp(name.c_str(), hop) == 0) {
            return true;
        }
    }
    return false;
}

std::string garbage()
{
    std::mt19937_64 random(7);
    std::string bytes(kGarbageBytes, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random());
    }
    return bytes;
}

} // namespace

FaultProxy::FaultProxy()
{
    listen(0);
}

FaultProxy::~FaultProxy()
{
    stopListening();
}

void FaultProxy::listen(int port)
{
    m_server = std::make_unique<httplib::SSLServer>(m_certificate.certificate(), m_certificate.key());
    const auto reading = [this](const httplib::Request& request, httplib::Response& response,
                             const httplib::ContentReader& reader) {
        std::string body;
        reader([&body](const char* data, size_t length) {
            body.append(data, length);
            return true;
        });
        handle(request, response, std::move(body));
    };
    const auto plain = [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response, {});
    };
    // The server library parses multipart bodies itself; hidden from it, the
    // body reaches the handler as the bytes the client sent.
    m_server->set_pre_routing_handler([](const httplib::Request& request, httplib::Response&) {
        auto& headers = const_cast<httplib::Headers&>(request.headers);
        if (const auto type = headers.find("Content-Type"); type != headers.end()) {
            headers.emplace(kHiddenContentType, type->second);
            headers.erase(type);
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    m_server->Get(".*", plain);
    m_server->Delete(".*", plain);
    m_server->Post(".*", reading);
    m_server->Put(".*", reading);
    m_server->set_payload_max_length(std::numeric_limits<size_t>::max());
    m_port = port == 0 ? m_server->bind_to_any_port("127.0.0.1")
                       : (m_server->bind_to_port("127.0.0.1", port) ? port : -1);
    if (m_port <= 0) {
        throw std::runtime_error("the fault proxy could not listen");
    }
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    // stop() is ignored until the server runs.
    while (!m_server->is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void FaultProxy::stopListening()
{
    if (m_server) {
        m_server->stop();
        m_thread.join();
        m_server.reset();
    }
    if (m_refuser.joinable()) {
        m_refusing = false;
        m_refuser.join();
    }
}

void FaultProxy::refuseTls(bool refuse)
{
    stopListening();
    if (!refuse) {
        listen(m_port);
        return;
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    // Like the server library, so connections it left open do not block the port.
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(m_port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(listener, 16) != 0) {
        const int error = errno;
        ::close(listener);
        throw std::runtime_error(
            std::string("the fault proxy could not listen for plain HTTP: ") + std::strerror(error));
    }
    m_refusing = true;
    // Answers every TLS greeting in plain HTTP, as a server without TLS does.
    m_refuser = std::thread([this, listener] {
        while (m_refusing) {
            pollfd waiting { listener, POLLIN, 0 };
            if (::poll(&waiting, 1, 50) <= 0) {
                continue;
            }
            const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) {
                continue;
            }
            char greeting[512];
            [[maybe_unused]] const ssize_t read = ::recv(connection, greeting, sizeof greeting, 0);
            const char answer[]
                = "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
            [[maybe_unused]] const ssize_t written
                = ::send(connection, answer, sizeof answer - 1, MSG_NOSIGNAL);
            ::close(connection);
        }
        ::close(listener);
    });
}

void FaultProxy::inject(Fault fault, int count, const std::string& pathPrefix)
{
    const std::lock_guard lock(m_mutex);
    m_plans.push_back({ fault, count, pathPrefix });
}

void FaultProxy::clearFaults()
{
    const std::lock_guard lock(m_mutex);
    m_plans.clear();
}

std::vector<FaultProxy::Exchange> FaultProxy::exchanges() const
{
    const std::lock_guard lock(m_mutex);
    return m_exchanges;
}

std::optional<FaultProxy::Fault> FaultProxy::takeFault(const std::string& path)
{
    const std::lock_guard lock(m_mutex);
    for (auto plan = m_plans.begin(); plan != m_plans.end(); ++plan) {
        if (path.rfind(plan->pathPrefix, 0) != 0) {
            continue;
        }
        const Fault fault = plan->fault;
        if (--plan->remaining <= 0) {
            m_plans.erase(plan);
        }
        return fault;
    }
    return std::nullopt;
}

void FaultProxy::record(const httplib::Request& request, int status, std::optional<Fault> fault)
{
    const std::lock_guard lock(m_mutex);
    m_exchanges.push_back({ request.method, request.path, status, fault });
}

httplib::Result FaultProxy::forward(const httplib::Request& request, std::string body) const
{
    httplib::SSLClient upstream("127.0.0.1", m_upstreamPort);
    upstream.enable_server_certificate_verification(false);
    upstream.set_url_encode(false);
    upstream.set_read_timeout(300, 0);
    upstream.set_write_timeout(300, 0);
    httplib::Request copy;
    copy.method = request.method;
    copy.path = request.target;
    copy.body = std::move(body);
    for (const auto& [name, value] : request.headers) {
        if (!isHopByHop(name)) {
            copy.headers.emplace(name == kHiddenContentType ? "Content-Type" : name, value);
        }
    }
    return upstream.send(copy);
}

void FaultProxy::handle(const httplib::Request& request, httplib::Response& response, std::string body)
{
    const std::optional<Fault> fault = takeFault(request.path);
    if (fault == Fault::serverError) {
        response.status = 503;
        response.set_content(R"({"error":"The server is busy; try again later."})", "application/json");
        record(request, response.status, fault);
        return;
    }
    if (fault == Fault::garbage) {
        response.status = 200;
        response.set_content(garbage(), "application/json");
        record(request, response.status, fault);
        return;
    }
    const httplib::Result answer = forward(request, std::move(body));
    if (!answer) {
        response.status = 502;
        response.set_content(R"({"error":"The proxy could not reach the server."})", "application/json");
        record(request, response.status, fault);
        return;
    }
    response.status = answer->status;
    for (const auto& [name, value] : answer->headers) {
        if (!isHopByHop(name) && ::strcasecmp(name.c_str(), "Content-Type") != 0) {
            response.headers.emplace(name, value);
        }
    }
    const std::string contentType = answer->get_header_value("Content-Type");
    record(request, response.status, fault);
    if (!fault) {
        response.set_content(answer->body, contentType.c_str());
        return;
    }
    auto shared = std::make_shared<std::string>(answer->body);
    if (fault == Fault::dropMidBody) {
        // Promises the whole body, sends half, then gives up: the connection closes.
        response.set_content_provider(
            shared->size(), contentType.c_str(), [shared](size_t offset, size_t, httplib::DataSink& sink) {
                if (offset >= shared->size() / 2) {
                    return false;
                }
                sink.write(shared->data(), shared->size() / 2);
                return true;
            });
        return;
    }
    response.set_content_provider(
        shared->size(), contentType.c_str(), [shared](size_t offset, size_t length, httplib::DataSink& sink) {
            std::this_thread::sleep_for(std::chrono::milliseconds(offset == 0 ? 2000 : 100));
            sink.write(shared->data() + offset, std::min<size_t>(length, 64));
            return true;
        });
}
