#pragma once

#include <QString>
#include <QUrl>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// An HTTPS transcription server on 127.0.0.1 with its own state: the account,
// one speaker-detection job per recording id, storage for uploads, chunk
// transcription, word alignment and transcripts saved once per idempotency
// key. It parses the wire format with its own libraries and logs every
// request. Thread-safe.
class PipelineServer
{
public:
    struct Request
    {
        std::string method;
        std::string path;
        httplib::Headers headers;
        std::string body;
        // Storage uploads are counted, not kept.
        long long bodyBytes = 0;
        // The parts of an alignment form.
        std::map<std::string, httplib::MultipartFormData> parts;
        int answeredStatus = 0;

        std::optional<std::string> header(const std::string& name) const;
        // me, prepare, upload, start, status, transcribe, align, save or other.
        std::string kind() const;
    };

    struct Answer
    {
        int status = 200;
        std::string body;
    };

    struct Settings
    {
        std::string userID = "7C9E6679-7425-40DE-944B-E07FC1F90AE7";
        // "pending" answers before the final status of a started detection.
        int pendingPolls = 1;
        std::string finalStatus = "succeeded";
        nlohmann::json segments = nlohmann::json::array();
        bool sendSegments = true;
        // Replaces the storage address handed out by prepare ("" leaves it out).
        std::optional<std::string> uploadURL;
        int uploadStatus = 200;
        // By default "Part N…", N one more than the part named in the prompt.
        std::function<std::string(const Request&)> transcribe;
        // By default the text cut at spaces, timed from 10 s on, 0.4 s each.
        std::function<nlohmann::json(const std::string& text)> align;
    };

    // Sees every request first; an answer it returns is sent instead and
    // leaves the server's state alone.
    using Interceptor = std::function<std::optional<Answer>(const Request&)>;

    PipelineServer() { listen(0); }
    PipelineServer(const PipelineServer&) = delete;
    PipelineServer& operator=(const PipelineServer&) = delete;
    ~PipelineServer() { goOffline(); }

    QUrl baseURL() const { return QUrl(QStringLiteral("https://127.0.0.1:%1").arg(m_port)); }
    // Closes the port, so connections are refused, and listens on it again.
    void goOffline();
    void comeBack();
    // The self-signed certificate a client must trust (SSL_CERT_FILE).
    static QString certificatePath();

    void configure(const std::function<void(Settings&)>& change);
    void setInterceptor(Interceptor interceptor);

    std::vector<Request> requests() const;
    std::vector<Request> requests(const std::string& kind) const;
    void clearLog();
    // Keyed by idempotency key.
    std::map<std::string, nlohmann::json> savedTranscripts() const;

    static std::string defaultTranscript(int part);
    static nlohmann::json defaultWords(const std::string& text);

private:
    void listen(int port);
    void serve(httplib::Response& response, Request logged);
    Answer answer(const Request& logged);

    std::unique_ptr<httplib::SSLServer> m_server;
    std::thread m_thread;
    int m_port = 0;

    mutable std::mutex m_mutex;
    Settings m_settings;
    Interceptor m_interceptor;
    // Started detections and the status polls each has had.
    std::map<std::string, int> m_polls;
    std::map<std::string, nlohmann::json> m_saved;
    std::vector<Request> m_log;
};
