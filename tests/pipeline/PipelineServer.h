#pragma once

#include <QString>
#include <QUrl>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// An HTTPS transcription server on 127.0.0.1 that speaks the contract the
// pipeline relies on, with its own state: the account, one speaker-detection
// job per recording id (kept across calls), the storage that takes uploads,
// chunk transcription and word alignment, and transcripts saved at most once
// per idempotency key. It checks the wire format with its own parsers (httplib
// for the multipart form, nlohmann for JSON) and logs every request. Tests
// bend it through the settings below and through an interceptor that may
// answer a request itself. Runs on its own threads; every member is
// thread-safe.
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
        // The parts of an alignment form as httplib parsed them.
        std::map<std::string, httplib::MultipartFormData> parts;
        int answeredStatus = 0;
        std::chrono::steady_clock::time_point arrival = std::chrono::steady_clock::now();

        std::optional<std::string> header(const std::string& name) const;
        bool is(const std::string& method, const std::string& pathPrefix) const;
        // Which of the route kinds below the request is.
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
        // Replaces the https storage address handed out by prepare ("" leaves it out).
        std::optional<std::string> uploadURL;
        int uploadStatus = 200;
        // Text for a transcription request; by default "Part N…", where N is
        // one more than the part named at the end of the prompt header.
        std::function<std::string(const Request&)> transcribe;
        // Words for an alignment request; by default the text cut at spaces,
        // timed from 10 s on, 0.4 s each.
        std::function<nlohmann::json(const std::string& text)> align;
    };

    // Called for every request before it is served; an answer returned here
    // is sent instead (the server's state is left unchanged).
    using Interceptor = std::function<std::optional<Answer>(const Request&)>;

    PipelineServer();
    PipelineServer(const PipelineServer&) = delete;
    PipelineServer& operator=(const PipelineServer&) = delete;
    ~PipelineServer();

    QUrl baseURL() const;
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
    // Transcripts saved, keyed by idempotency key.
    std::map<std::string, nlohmann::json> savedTranscripts() const;
    // Whether detection was started for the recording id.
    bool detectionStarted(const std::string& recordingID) const;

    static std::string defaultTranscript(int part);
    static nlohmann::json defaultWords(const std::string& text);

private:
    struct Detection
    {
        bool started = false;
        int polls = 0;
    };

    // Port 0 picks a free one.
    void listen(int port);
    void serve(httplib::Response& response, Request logged);
    Answer answer(const Request& logged);
    Answer prepare(const std::string& id);
    Answer status(const std::string& id);
    Answer transcription(const Request& logged);
    Answer alignment(const Request& logged);
    Answer saveTranscript(const Request& logged);

    std::unique_ptr<httplib::SSLServer> m_server;
    std::thread m_thread;
    int m_port = 0;

    mutable std::mutex m_mutex;
    Settings m_settings;
    Interceptor m_interceptor;
    std::map<std::string, Detection> m_detections;
    std::map<std::string, nlohmann::json> m_saved;
    std::vector<Request> m_log;
};
