#pragma once

#include "GuardedHttpServer.h"
#include "OpenIdConnect.h"
#include "RecognitionCache.h"
#include "ServerOptions.h"
#include "SignInThrottle.h"
#include "Store.h"
#include "Transcriber.h"
#include "WorkQueue.h"

#include <httplib.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

// The HTTP front of the server. Handlers run on cpp-httplib's worker threads and
// stay thin: they validate, call the store or an engine, and shape the answer.
// Naming, filing, e-mail and speaker detection run on two background queues.
namespace server {

class TallisenServer
{
public:
    // Builds the engine named in the options when `transcriber` is null; the engine
    // is loaded on first use so that start-up stays quick.
    explicit TallisenServer(ServerOptions options, std::unique_ptr<Transcriber> transcriber = nullptr);
    ~TallisenServer();

    // Binds the listening socket; returns the port (useful with port 0).
    int bind();
    // Serves until stop(); returns false when listening failed.
    bool run();
    void stop();

    std::string publicUrl() const { return m_publicUrl; }
    std::optional<std::string> caCertificatePath() const { return m_caPath; }
    Store& store() { return *m_store; }

    static constexpr std::size_t kTranscriptionBytes = 20'000'000;
    static constexpr std::size_t kUploadBytes = 1'000'000'000;
    static constexpr std::size_t kTranscriptBytes = 8'000'000;
    static constexpr std::size_t kSmallBodyBytes = 64 * 1024;
    static constexpr unsigned long long kDiskReserveBytes = 100'000'000;
    // Chunks are cut at 300 s; their context and encoder padding may add a few seconds.
    static constexpr double kTranscriptionSeconds = 306;
    static constexpr double kDetectionSeconds = 4 * 3600;

private:
    void installRoutes();
    httplib::Server::HandlerResponse checkLimits(
        const httplib::Request& request, httplib::Response& response);

    httplib::Server::HandlerResponse answerBodylessPost(
        const httplib::Request& request, httplib::Response& response);
    Account requireAccount(const httplib::Request& request);
    Transcriber& transcriber();

    void health(const httplib::Request&, httplib::Response& response);
    void prepareSignIn(const httplib::Request&, httplib::Response& response);
    void signInPage(const httplib::Request& request, httplib::Response& response);
    void completeSignIn(const httplib::Request& request, httplib::Response& response);
    void startProviderSignIn(const httplib::Request& request, httplib::Response& response);
    void finishProviderSignIn(const httplib::Request& request, httplib::Response& response);
    static void answerSignIn(httplib::Response& response, SignInOutcome outcome, const std::string& email);
    void exchange(const httplib::Request& request, httplib::Response& response);
    void me(const httplib::Request& request, httplib::Response& response);
    void listRecordings(const httplib::Request& request, httplib::Response& response);
    void deleteRecording(const httplib::Request& request, httplib::Response& response);
    void editRecording(const httplib::Request& request, httplib::Response& response);
    void saveTranscript(const httplib::Request& request, httplib::Response& response);
    void transcribe(const httplib::Request& request, httplib::Response& response);
    void align(const httplib::Request& request, httplib::Response& response);
    void prepareDiarization(const httplib::Request& request, httplib::Response& response);
    void startDiarization(const httplib::Request& request, httplib::Response& response);
    void diarizationStatus(const httplib::Request& request, httplib::Response& response);
    void receiveUpload(
        const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader);

    void fileRecording(const std::string& recordingId);
    void runDiarization(const DiarizationJob& job);

    ServerOptions m_options;
    std::string m_publicUrl;
    std::optional<std::string> m_caPath;
    std::unique_ptr<Store> m_store;
    SignInThrottle m_throttle;
    std::unique_ptr<OpenIdConnect> m_openId;
    std::unique_ptr<GuardedHttpServer> m_http;
    std::mutex m_engineMutex;
    std::unique_ptr<Transcriber> m_transcriber;
    // A chunk of each of 32 recordings being transcribed at once.
    RecognitionCache m_recognitions { 32 };
    int m_port = 0;
    // Declared last: their threads stop before the store and engines go away.
    std::unique_ptr<WorkQueue> m_filing;
    std::unique_ptr<WorkQueue> m_detection;
};

} // namespace server
