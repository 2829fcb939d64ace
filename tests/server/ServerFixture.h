#pragma once

#include "Passwords.h"
#include "Sqlite.h"
#include "TallisenServer.h"
#include "Transcriber.h"
#include "WireFormat.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// A real server on a loopback port with a fresh data directory, served over
// HTTPS with its own CA, which the clients here trust.
class ServerFixture : public ::testing::Test
{
protected:
    void SetUp() override { start(); }

    void TearDown() override
    {
        stopServer();
        std::filesystem::remove_all(m_dataDir);
    }

    void start(std::unique_ptr<server::Transcriber> transcriber = nullptr,
        const std::function<void(server::ServerOptions&)>& configure = {})
    {
        if (m_dataDir.empty()) {
            char pattern[] = "/tmp/tallisen-server-test-XXXXXX";
            m_dataDir = mkdtemp(pattern);
        }
        server::ServerOptions options;
        options.host = "127.0.0.1";
        options.port = 0;
        options.dataDir = m_dataDir;
        options.selfSigned = true;
        options.threads = 8;
        options.quotaMegabytes = 1000;
        options.oidcClientId = "tallisen-test";
        if (configure) {
            configure(options);
        }
        m_server = std::make_unique<server::TallisenServer>(options, std::move(transcriber));
        m_port = m_server->bind();
        m_thread = std::thread([this] { m_server->run(); });
    }

    void stopServer()
    {
        if (m_server) {
            m_server->stop();
            m_thread.join();
            m_server.reset();
        }
    }

    std::unique_ptr<httplib::ClientImpl> client() const
    {
        const auto ca = m_server->caCertificatePath();
        if (!ca) {
            auto plain = std::make_unique<httplib::ClientImpl>("127.0.0.1", m_port);
            plain->set_read_timeout(120, 0);
            return plain;
        }
        auto secure = std::make_unique<httplib::SSLClient>("127.0.0.1", m_port);
        secure->set_ca_cert_path(ca->c_str());
        secure->enable_server_certificate_verification(true);
        secure->set_read_timeout(120, 0);
        return secure;
    }

    static httplib::Headers bearer(const std::string& token)
    {
        return { { "Authorization", "Bearer " + token } };
    }

    static nlohmann::json json(const httplib::Result& result)
    {
        EXPECT_TRUE(result) << "no answer";
        return result ? nlohmann::json::parse(result->body) : nlohmann::json();
    }

    // Every refusal carries {"error": text}.
    static std::string errorOf(const httplib::Result& result)
    {
        const auto body = json(result);
        EXPECT_TRUE(body.is_object() && body.contains("error") && body["error"].is_string()) << result->body;
        return body.value("error", "");
    }

    std::string prepareCode()
    {
        const auto answer = json(client()->Post("/auth/google/prepare", "", "application/json"));
        return answer.at("code");
    }

    httplib::Result exchange(const std::string& code)
    {
        return client()->Post(
            "/auth/exchange", nlohmann::json { { "code", code } }.dump(), "application/json");
    }

    static constexpr const char* kPassword = "correct horse battery";

    // The owner's `user add`, once per address.
    void addUser(const std::string& email, const std::string& password = kPassword)
    {
        const std::string address = server::WireFormat::lowerCase(email);
        if (!m_server->store().credentials(address)) {
            m_server->store().addUser(address, "Ann", server::Passwords::hash(password));
        }
    }

    httplib::Result approve(
        const std::string& code, const std::string& email, const std::string& password = kPassword)
    {
        return client()->Post("/auth/sign-in",
            httplib::Params { { "code", code }, { "email", email }, { "password", password } });
    }

    std::string signIn(const std::string& email = "ann@example.com")
    {
        addUser(email);
        const std::string code = prepareCode();
        EXPECT_EQ(approve(code, email)->status, 200);
        const auto answer = exchange(code);
        EXPECT_EQ(answer->status, 200) << answer->body;
        return json(answer).at("token");
    }

    httplib::Result saveTranscript(const std::string& token, const std::string& key, const std::string& text,
        const std::string& emailTo = "")
    {
        auto headers = bearer(token);
        headers.emplace("Idempotency-Key", key);
        const nlohmann::json body { { "transcript", text }, { "recordedAt", "2026-03-01T09:30:00Z" },
            { "emailTo", emailTo }, { "source", "linux" } };
        return client()->Post("/v1/recordings/text", headers, body.dump(), "application/json");
    }

    nlohmann::json recordings(const std::string& token)
    {
        return json(client()->Get("/v1/recordings", bearer(token))).at("recordings");
    }

    // Polls until `done` holds, for background work; fails after `seconds`.
    template <typename Predicate> static bool eventually(Predicate done, double seconds = 20)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            if (done()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return done();
    }

    // A raw TCP connection to the server, for requests no client library would send.
    int connectRaw() const
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(m_port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return fd;
    }

    // Everything the server sends to `bytes` until it closes or stays silent for 5 s.
    std::string rawAnswer(const std::string& bytes) const
    {
        const int fd = connectRaw();
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        std::string answer;
        pollfd waiting { fd, POLLIN, 0 };
        char buffer[4096];
        for (ssize_t count = 0;
             ::poll(&waiting, 1, 5000) > 0 && (count = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            answer.append(buffer, static_cast<std::size_t>(count));
        }
        ::close(fd);
        return answer;
    }

    // Moves a stored time back by `ms`, as if that much time had passed, in the rows `where` picks.
    void age(
        const std::string& table, const std::string& column, std::int64_t ms, const std::string& where = "1")
    {
        server::Database db(m_dataDir + "/tallisen.sqlite3");
        db.prepare("UPDATE " + table + " SET " + column + " = " + column + " - ? WHERE " + where)
            .bind(1, ms)
            .run();
    }

    std::string pathOf(const std::string& url) const { return url.substr(m_server->publicUrl().size()); }

    httplib::Result post(const std::string& path, const std::string& token)
    {
        return client()->Post(path, bearer(token), "", "application/json");
    }

    std::string meEmail(const std::string& token)
    {
        const auto answer = client()->Get("/v1/me", bearer(token));
        return answer && answer->status == 200 ? json(answer).value("email", "") : "";
    }

    std::string m_dataDir;
    std::unique_ptr<server::TallisenServer> m_server;
    std::thread m_thread;
    int m_port = 0;
};

// Plain HTTP, so raw requests can be written on a socket.
class PlainServerFixture : public ServerFixture
{
protected:
    void SetUp() override
    {
        start(nullptr, [](auto& options) { options.selfSigned = false; });
    }
};
