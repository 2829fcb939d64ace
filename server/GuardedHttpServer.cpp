#include "GuardedHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>

namespace server {

namespace {

using Clock = std::chrono::steady_clock;

thread_local bool t_closeAfterResponse = false;

enum class Io
{
    Progress,
    WouldBlock,
    Closed
};

enum class Head
{
    Partial,
    Complete,
    TooLarge
};

std::string peerAddress(int fd, int& port)
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    port = 0;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return {};
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    }
    return text;
}

// Waits for `events` on `fd` until `deadline`; false on timeout or hang-up without data.
bool waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd waiting { fd, events, 0 };
        const int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

const char kHeadTooLarge[]
    = "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Type: application/json\r\n"
      "Content-Length: 52\r\nConnection: close\r\n\r\n"
      "{\"error\":\"The request headers are larger than allowed.\"}";

} // namespace

struct GuardedHttpServer::Connection
{
    Connection(GuardedHttpServer& owner, int fd, SSL_CTX* tls)
        : owner(owner)
        , fd(fd)
        , ssl(tls ? SSL_new(tls) : nullptr, SSL_free)
    {
        address = peerAddress(fd, port);
        if (ssl) {
            SSL_set_fd(ssl.get(), fd);
        }
    }

    ~Connection()
    {
        if (ssl && handshaken) {
            SSL_shutdown(ssl.get());
        }
        ssl.reset();
        // Forgotten first: once closed, the descriptor's number may name a new connection.
        owner.forget(address, fd);
        ::close(fd);
    }

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // One non-blocking step of the TLS handshake.
    Io handshake()
    {
        if (!ssl || handshaken) {
            return Io::Progress;
        }
        const int result = SSL_accept(ssl.get());
        if (result == 1) {
            handshaken = true;
            return Io::Progress;
        }
        return wouldBlock(result) ? Io::WouldBlock : Io::Closed;
    }

    bool wouldBlock(int result)
    {
        if (!ssl) {
            return result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
        }
        const int error = SSL_get_error(ssl.get(), result);
        ERR_clear_error();
        return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
    }

    ssize_t receive(char* data, std::size_t size)
    {
        if (ssl) {
            return SSL_read(ssl.get(), data, static_cast<int>(std::min<std::size_t>(size, INT32_MAX)));
        }
        return ::recv(fd, data, size, 0);
    }

    ssize_t send(const char* data, std::size_t size)
    {
        if (ssl) {
            return SSL_write(ssl.get(), data, static_cast<int>(std::min<std::size_t>(size, INT32_MAX)));
        }
        return ::send(fd, data, size, MSG_NOSIGNAL);
    }

    // Reads what has arrived, without blocking, up to `limit` buffered bytes.
    Io fill(std::size_t limit)
    {
        char chunk[16 * 1024];
        while (pending.size() - offset < limit) {
            const ssize_t count = receive(chunk, sizeof chunk);
            if (count > 0) {
                pending.append(chunk, static_cast<std::size_t>(count));
                continue;
            }
            return count < 0 && wouldBlock(static_cast<int>(count)) ? Io::WouldBlock : Io::Closed;
        }
        return Io::Progress;
    }

    Head head(const ConnectionLimits& limits) const
    {
        const std::string_view unread = std::string_view(pending).substr(offset);
        const auto end = unread.find("\r\n\r\n");
        const std::string_view headText
            = unread.substr(0, end == std::string_view::npos ? unread.size() : end);
        if (headText.size() > limits.headBytes
            || static_cast<std::size_t>(std::count(headText.begin(), headText.end(), '\n'))
                > limits.headLines) {
            return Head::TooLarge;
        }
        return end == std::string_view::npos ? Head::Partial : Head::Complete;
    }

    // Best effort: a refused client should see the answer, not a reset.
    void lingeringClose()
    {
        if (ssl && handshaken) {
            SSL_shutdown(ssl.get());
        }
        ::shutdown(fd, SHUT_WR);
        const auto deadline = Clock::now() + std::chrono::milliseconds(500);
        std::size_t discarded = 0;
        char chunk[16 * 1024];
        while (discarded < 1024 * 1024 && waitFor(fd, POLLIN, deadline)) {
            const ssize_t count = ::recv(fd, chunk, sizeof chunk, 0);
            if (count <= 0) {
                break;
            }
            discarded += static_cast<std::size_t>(count);
        }
        handshaken = false;
    }

    GuardedHttpServer& owner;
    int fd;
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl;
    bool handshaken = false;
    std::string address;
    int port = 0;
    std::string pending;
    std::size_t offset = 0;
    Clock::time_point deadline;
    std::size_t served = 0;
};

namespace {

// The stream cpp-httplib reads one request from and writes its answer to: the
// buffered head first, then the socket, each wait bounded.
class ConnectionStream : public httplib::Stream
{
public:
    ConnectionStream(GuardedHttpServer::Connection& connection, std::chrono::milliseconds timeout)
        : m_connection(connection)
        , m_timeout(timeout)
    { }

    bool is_readable() const override
    {
        auto& c = m_connection;
        return c.offset < c.pending.size() || (c.ssl && SSL_pending(c.ssl.get()) > 0)
            || waitFor(c.fd, POLLIN, Clock::now() + m_timeout);
    }

    bool is_writable() const override { return waitFor(m_connection.fd, POLLOUT, Clock::now() + m_timeout); }

    ssize_t read(char* data, std::size_t size) override
    {
        auto& c = m_connection;
        if (c.offset < c.pending.size()) {
            const std::size_t count = std::min(size, c.pending.size() - c.offset);
            std::memcpy(data, c.pending.data() + c.offset, count);
            c.offset += count;
            if (c.offset == c.pending.size()) {
                c.pending.clear();
                c.offset = 0;
            }
            return static_cast<ssize_t>(count);
        }
        const auto deadline = Clock::now() + m_timeout;
        for (;;) {
            const ssize_t count = c.receive(data, size);
            if (count > 0) {
                return count;
            }
            if (!c.wouldBlock(static_cast<int>(count))) {
                return count == 0 ? 0 : -1;
            }
            if (!waitFor(c.fd, POLLIN, deadline)) {
                return -1;
            }
        }
    }

    ssize_t write(const char* data, std::size_t size) override
    {
        auto& c = m_connection;
        const auto deadline = Clock::now() + m_timeout;
        std::size_t written = 0;
        while (written < size) {
            const ssize_t count = c.send(data + written, size - written);
            if (count > 0) {
                written += static_cast<std::size_t>(count);
                continue;
            }
            if (!c.wouldBlock(static_cast<int>(count)) || !waitFor(c.fd, POLLOUT, deadline)) {
                return -1;
            }
        }
        return static_cast<ssize_t>(size);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override
    {
        ip = m_connection.address;
        port = m_connection.port;
    }

    void get_local_ip_and_port(std::string& ip, int& port) const override
    {
        sockaddr_storage address {};
        socklen_t length = sizeof address;
        ::getsockname(m_connection.fd, reinterpret_cast<sockaddr*>(&address), &length);
        ip.clear();
        port = 0;
        if (address.ss_family == AF_INET) {
            port = ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
        } else if (address.ss_family == AF_INET6) {
            port = ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
        }
    }

    socket_t socket() const override { return m_connection.fd; }

private:
    GuardedHttpServer::Connection& m_connection;
    std::chrono::milliseconds m_timeout;
};

} // namespace

GuardedHttpServer::GuardedHttpServer(SSL_CTX* tls, std::size_t threads, ConnectionLimits limits)
    : m_limits(limits)
    , m_tls(tls, SSL_CTX_free)
{
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_epoll < 0 || m_wake < 0) {
        throw std::runtime_error("The server could not set up its connection handling.");
    }
    epoll_event wake { EPOLLIN, { .fd = m_wake } };
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &wake);
    // Accepting only hands the socket to the reactor, so one thread is enough.
    new_task_queue = [] { return new httplib::ThreadPool(1); };
    m_workers = std::make_unique<httplib::ThreadPool>(threads);
    m_reactor = std::thread([this] { runReactor(); });
}

GuardedHttpServer::~GuardedHttpServer()
{
    m_stopping = true;
    {
        // Wakes request threads waiting on slow clients.
        std::lock_guard lock(m_countMutex);
        for (int fd : m_live) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake, &one, sizeof one);
    m_reactor.join();
    m_workers->shutdown();
    m_workers.reset();
    ::close(m_wake);
    ::close(m_epoll);
}

void GuardedHttpServer::closeAfterResponse()
{
    t_closeAfterResponse = true;
}

bool GuardedHttpServer::process_and_close_socket(socket_t sock)
{
    int port = 0;
    const std::string address = peerAddress(sock, port);
    {
        std::lock_guard lock(m_countMutex);
        auto& count = m_perAddress[address];
        if (m_stopping || count >= m_limits.connectionsPerAddress || m_live.size() >= m_limits.connections) {
            if (count == 0) {
                m_perAddress.erase(address);
            }
            ::close(sock);
            return false;
        }
        ++count;
        m_live.insert(sock);
    }
    ::fcntl(sock, F_SETFL, ::fcntl(sock, F_GETFL) | O_NONBLOCK);
    park(std::make_shared<Connection>(*this, sock, m_tls.get()));
    return true;
}

void GuardedHttpServer::forget(const std::string& address, int fd)
{
    std::lock_guard lock(m_countMutex);
    m_live.erase(fd);
    const auto found = m_perAddress.find(address);
    if (found != m_perAddress.end() && --found->second == 0) {
        m_perAddress.erase(found);
    }
}

void GuardedHttpServer::park(std::shared_ptr<Connection> connection)
{
    if (m_stopping) {
        return;
    }
    connection->deadline = Clock::now() + m_limits.headTimeoutMs;
    const int fd = connection->fd;
    {
        std::lock_guard lock(m_parkMutex);
        m_parked[fd] = std::move(connection);
    }
    epoll_event ready { EPOLLIN | EPOLLRDHUP, { .fd = fd } };
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ready);
    // The reactor recomputes its next deadline.
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake, &one, sizeof one);
}

void GuardedHttpServer::unpark(int fd)
{
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    std::lock_guard lock(m_parkMutex);
    m_parked.erase(fd);
}

void GuardedHttpServer::dispatch(std::shared_ptr<Connection> connection)
{
    m_workers->enqueue([this, connection] { serve(connection); });
}

void GuardedHttpServer::runReactor()
{
    std::vector<epoll_event> events(256);
    while (!m_stopping) {
        auto next = Clock::now() + std::chrono::seconds(1);
        std::vector<std::shared_ptr<Connection>> expired;
        {
            std::lock_guard lock(m_parkMutex);
            const auto now = Clock::now();
            for (const auto& [fd, connection] : m_parked) {
                if (connection->deadline <= now) {
                    expired.push_back(connection);
                } else {
                    next = std::min(next, connection->deadline);
                }
            }
        }
        for (const auto& connection : expired) {
            unpark(connection->fd);
        }
        expired.clear();
        const auto waitMs
            = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        const int count = ::epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()),
            static_cast<int>(std::max<long>(waitMs, 1)));
        for (int i = 0; i < count; ++i) {
            const int fd = events[static_cast<std::size_t>(i)].data.fd;
            if (fd == m_wake) {
                std::uint64_t drained = 0;
                [[maybe_unused]] const auto read = ::read(m_wake, &drained, sizeof drained);
                continue;
            }
            std::shared_ptr<Connection> connection;
            {
                std::lock_guard lock(m_parkMutex);
                const auto found = m_parked.find(fd);
                if (found != m_parked.end()) {
                    connection = found->second;
                }
            }
            if (connection) {
                service(connection);
            }
        }
    }
    std::lock_guard lock(m_parkMutex);
    m_parked.clear();
}

// Moves a parked connection on when it becomes readable: handshake, head, or close.
void GuardedHttpServer::service(const std::shared_ptr<Connection>& connection)
{
    const Io handshake = connection->handshake();
    if (handshake == Io::Closed) {
        unpark(connection->fd);
        return;
    }
    if (handshake == Io::WouldBlock) {
        return;
    }
    const Io read = connection->fill(m_limits.headBytes + 1);
    const Head head = connection->head(m_limits);
    if (head == Head::Complete) {
        unpark(connection->fd);
        dispatch(connection);
    } else if (head == Head::TooLarge) {
        unpark(connection->fd);
        connection->send(kHeadTooLarge, sizeof kHeadTooLarge - 1);
        connection->lingeringClose();
    } else if (read == Io::Closed) {
        unpark(connection->fd);
    }
}

void GuardedHttpServer::serve(std::shared_ptr<Connection> connection)
{
    for (;;) {
        ConnectionStream stream(*connection, m_limits.ioTimeoutMs);
        t_closeAfterResponse = false;
        bool closed = false;
        const bool lastAllowed = connection->served + 1 >= m_limits.requestsPerConnection;
        const bool answered
            = process_request(stream, lastAllowed || m_stopping, closed, [](httplib::Request&) {});
        ++connection->served;
        if (t_closeAfterResponse) {
            connection->lingeringClose();
            return;
        }
        if (!answered || closed || lastAllowed || m_stopping) {
            return;
        }
        const Io read = connection->fill(m_limits.headBytes + 1);
        const Head head = connection->head(m_limits);
        if (head == Head::TooLarge) {
            stream.write(kHeadTooLarge, sizeof kHeadTooLarge - 1);
            connection->lingeringClose();
            return;
        }
        if (head == Head::Partial) {
            if (read != Io::Closed) {
                park(std::move(connection));
            }
            return;
        }
    }
}

SSL_CTX* makeTlsContext(const std::string& certificatePath, const std::string& keyPath)
{
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!context) {
        throw std::runtime_error("The server could not set up TLS.");
    }
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_options(context.get(),
        SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE
            | SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION);
    SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(context.get(), certificatePath.c_str()) != 1
        || SSL_CTX_use_PrivateKey_file(context.get(), keyPath.c_str(), SSL_FILETYPE_PEM) != 1
        || SSL_CTX_check_private_key(context.get()) != 1) {
        ERR_clear_error();
        throw std::runtime_error("The TLS certificate or key could not be loaded.");
    }
    return context.release();
}

} // namespace server
