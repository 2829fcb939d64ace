#pragma once

#include <httplib.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

// cpp-httplib's routing over connections this class owns. cpp-httplib gives each
// connection a thread for its whole life, so a few slow or idle clients used to
// stop the server. Here one thread (the reactor) waits with epoll on every
// connection that is handshaking, idle or sending a request head; a request
// thread is taken only once a whole head has arrived within its deadline and
// size limits, and the connection goes back to the reactor after the answer.
namespace server {

struct ConnectionLimits
{
    std::size_t headBytes = 64 * 1024;
    std::size_t headLines = 100;
    // The TLS handshake and each request head must arrive within this.
    std::chrono::milliseconds headTimeoutMs { 10'000 };
    // Each wait for body bytes or for room to write the answer.
    std::chrono::milliseconds ioTimeoutMs { 10'000 };
    std::size_t connectionsPerAddress = 256;
    std::size_t connections = 2000;
    std::size_t requestsPerConnection = 1000;
};

class GuardedHttpServer : public httplib::Server
{
public:
    // Plain HTTP when `tls` is null; takes ownership of the context.
    GuardedHttpServer(SSL_CTX* tls, std::size_t threads, ConnectionLimits limits = {});
    ~GuardedHttpServer() override;

    // From a handler: the connection closes after this answer, so a body left
    // unread is never taken for the next request.
    static void closeAfterResponse();

    struct Connection;

private:
    bool process_and_close_socket(socket_t sock) override;

    void serve(std::shared_ptr<Connection> connection);
    void park(std::shared_ptr<Connection> connection);
    void dispatch(std::shared_ptr<Connection> connection);
    void runReactor();
    void service(const std::shared_ptr<Connection>& connection);
    void unpark(int fd);
    void forget(const std::string& address, int fd);

    ConnectionLimits m_limits;
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> m_tls;

    std::mutex m_countMutex;
    std::map<std::string, std::size_t> m_perAddress;
    std::set<int> m_live;

    std::mutex m_parkMutex;
    std::map<int, std::shared_ptr<Connection>> m_parked;
    int m_epoll = -1;
    int m_wake = -1;
    std::atomic<bool> m_stopping { false };
    std::unique_ptr<httplib::ThreadPool> m_workers;
    std::thread m_reactor;
};

// A server context with TLS 1.2 or later; throws std::runtime_error when the files do not load.
SSL_CTX* makeTlsContext(const std::string& certificatePath, const std::string& keyPath);

} // namespace server
