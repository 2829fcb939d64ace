#include "support/FakeServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

ScriptedAnswer ScriptedAnswer::json(int status, const nlohmann::json& body)
{
    ScriptedAnswer answer;
    answer.status = status;
    answer.body = body.dump();
    return answer;
}

ScriptedAnswer ScriptedAnswer::text(int status, std::string body, std::string contentType)
{
    ScriptedAnswer answer;
    answer.status = status;
    answer.body = std::move(body);
    answer.contentType = std::move(contentType);
    return answer;
}

std::optional<std::string> ReceivedRequest::header(const std::string& name) const
{
    const auto found = headers.find(name);
    if (found == headers.end()) {
        return std::nullopt;
    }
    return found->second;
}

FakeServer::FakeServer(Scheme scheme)
    : m_scheme(scheme)
{
    if (scheme == Scheme::https) {
        m_certificate = std::make_unique<SelfSignedCertificate>();
        m_server = std::make_unique<httplib::SSLServer>(m_certificate->certificate(), m_certificate->key());
    } else {
        m_server = std::make_unique<httplib::Server>();
    }
    const auto handler
        = [this](const httplib::Request& request, httplib::Response& response) { handle(request, response); };
    m_server->Get(".*", handler);
    m_server->Post(".*", handler);
    m_server->Put(".*", handler);
    m_server->Delete(".*", handler);
    m_server->Patch(".*", handler);
    m_server->set_read_timeout(5, 0);
    m_server->set_write_timeout(5, 0);
    m_port = m_server->bind_to_any_port("127.0.0.1");
    if (m_port <= 0) {
        throw std::runtime_error("the fake server cannot bind to 127.0.0.1");
    }
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    // stop() is ignored until the server runs, so wait for that.
    while (!m_server->is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

FakeServer::~FakeServer()
{
    m_server->stop();
    m_thread.join();
}

QUrl FakeServer::baseURL() const
{
    const QString host = m_scheme == Scheme::https ? QStringLiteral("https://localhost:%1")
                                                   : QStringLiteral("http://127.0.0.1:%1");
    return QUrl(host.arg(m_port));
}

void FakeServer::script(
    const std::string& method, const std::string& path, std::vector<ScriptedAnswer> answers)
{
    const std::lock_guard lock(m_mutex);
    m_scripts[{ method, path }] = std::move(answers);
    m_served[{ method, path }] = 0;
}

std::vector<ReceivedRequest> FakeServer::requests() const
{
    const std::lock_guard lock(m_mutex);
    return m_requests;
}

std::vector<ReceivedRequest> FakeServer::requests(const std::string& method, const std::string& path) const
{
    std::vector<ReceivedRequest> matching;
    for (ReceivedRequest& request : requests()) {
        if (request.method == method && request.path == path) {
            matching.push_back(std::move(request));
        }
    }
    return matching;
}

ScriptedAnswer FakeServer::nextAnswer(const std::string& method, const std::string& path)
{
    const std::lock_guard lock(m_mutex);
    const auto script = m_scripts.find({ method, path });
    if (script == m_scripts.end() || script->second.empty()) {
        return ScriptedAnswer::json(404, { { "error", "No such route on the fake server" } });
    }
    size_t& served = m_served[{ method, path }];
    const size_t index = std::min(served, script->second.size() - 1);
    ++served;
    return script->second[index];
}

void FakeServer::handle(const httplib::Request& request, httplib::Response& response)
{
    {
        const std::lock_guard lock(m_mutex);
        m_requests.push_back(ReceivedRequest {
            request.method, request.path, request.headers, request.body, std::chrono::steady_clock::now() });
    }
    const ScriptedAnswer answer = nextAnswer(request.method, request.path);
    if (answer.delay.count() > 0) {
        std::this_thread::sleep_for(answer.delay);
    }
    response.status = answer.status;
    for (const auto& [name, value] : answer.headers) {
        response.set_header(name, value);
    }
    if (answer.dropConnection) {
        // The provider fails before writing, so the promised body never comes.
        response.set_content_provider(answer.body.size() + 100, answer.contentType,
            [](size_t, size_t, httplib::DataSink&) { return false; });
        return;
    }
    response.set_content(answer.body, answer.contentType);
}

int closedLoopbackPort()
{
    const int socketHandle = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    if (::bind(socketHandle, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0
        || ::getsockname(socketHandle, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(socketHandle);
        throw std::runtime_error("cannot find a free port");
    }
    ::close(socketHandle);
    return ntohs(address.sin_port);
}

namespace {

int listenOnLoopback(int& port)
{
    const int socketHandle = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(socketHandle, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0
        || ::listen(socketHandle, 16) != 0
        || ::getsockname(socketHandle, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(socketHandle);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    return socketHandle;
}

bool readable(int socketHandle, int timeoutMs)
{
    pollfd entry { socketHandle, POLLIN, 0 };
    return ::poll(&entry, 1, timeoutMs) > 0;
}

} // namespace

RawAnswerServer::RawAnswerServer(std::string answer)
    : m_answer(std::move(answer))
    , m_listener(listenOnLoopback(m_port))
    , m_thread([this] { serve(); })
{ }

RawAnswerServer::~RawAnswerServer()
{
    m_stopping = true;
    m_thread.join();
    ::close(m_listener);
}

QUrl RawAnswerServer::baseURL() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_port));
}

void RawAnswerServer::serve()
{
    while (!m_stopping) {
        if (!readable(m_listener, 50)) {
            continue;
        }
        const int connection = ::accept(m_listener, nullptr, nullptr);
        if (connection < 0) {
            continue;
        }
        ++m_connections;
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos && readable(connection, 2000)) {
            const ssize_t count = ::read(connection, buffer, sizeof(buffer));
            if (count <= 0) {
                break;
            }
            head.append(buffer, static_cast<size_t>(count));
        }
        [[maybe_unused]] const ssize_t written = ::write(connection, m_answer.data(), m_answer.size());
        ::shutdown(connection, SHUT_RDWR);
        ::close(connection);
    }
}
