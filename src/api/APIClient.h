#pragma once

// The one HTTP client for the transcription server. It lives on the main
// thread's event loop: every operation is a coroutine that suspends on the
// network or a timed wait and resumes there, so baseURL and token need no lock.
// The client owns its QNetworkAccessManager; the caller owns the client and
// keeps it alive until every task it started has finished.

#include "api/URLError.h"
#include "api/WireRecords.h"
#include "core/APIClientError.h"
#include "core/JsonFields.h"
#include "store/AudioChunk.h"
#include "store/PendingRecording.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <QCoroTask>

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <vector>

// One request as the frame sends it: Qt's request (URL, headers, timeout)
// plus the method and body, which QNetworkRequest does not carry.
struct APIRequest
{
    QNetworkRequest request;
    QByteArray method = QByteArrayLiteral("GET");
    QByteArray body;
    // Uploads: the body is read from this file afresh for every attempt.
    std::optional<QString> bodyFile;
};

// A complete HTTP answer, whatever its status.
struct HTTPAnswer
{
    int status = 0;
    QByteArray body;
};

class APIClient
{
public:
    // Waits on the monotonic clock; tests replace it so retries need not sleep.
    using Wait = std::function<QCoro::Task<void>(std::chrono::milliseconds)>;

    static constexpr int kMaxAttempts = 4;
    static constexpr int kSignInAttempts = 300;
    static constexpr std::chrono::milliseconds kRequestTimeout { 60'000 };
    static constexpr std::chrono::milliseconds kSignInPollInterval { 1'000 };

    // Sends nothing. HTTPS requests trust the CA certificates named by
    // SSL_CERT_FILE / SSL_CERT_DIR in addition to the system's.
    explicit APIClient(QUrl baseURL, std::optional<QString> token = std::nullopt);
    APIClient(const APIClient&) = delete;
    APIClient& operator=(const APIClient&) = delete;
    ~APIClient();

    // Changes apply to the next request built; requests in flight keep theirs.
    // The token belongs to the base URL it was set with: pointing the client
    // at another server drops it, so it is never sent there.
    const QUrl& baseURL() const { return m_baseURL; }
    void setBaseURL(const QUrl& baseURL);
    const std::optional<QString>& token() const { return m_token; }
    void setToken(std::optional<QString> token) { m_token = std::move(token); }

    // Sign-in through the browser: prepare gives the page and the one-time
    // code; waitForSignIn polls until the server issues a token, then sets it
    // on the client and stores it for that server with KeychainStore. If storing
    // fails, the KeychainError is thrown and the token stays set for this run.
    QCoro::Task<SignInStart> prepareSignIn();
    QCoro::Task<QString> waitForSignIn(QString code);
    // Ends a running waitForSignIn at its next poll with kSignInCancelled.
    void cancelSignIn() { m_signInCancelled = true; }
    static const QString kSignInCancelled;

    QCoro::Task<QUuid> currentUserID();
    // In the server's order.
    QCoro::Task<std::vector<Recording>> listRecordings();
    // A 2xx answer is success even when it says "deleted": false.
    QCoro::Task<void> deleteRecording(QUuid id);
    // Changes the title, the transcript or both of the recording as it was at
    // its version; the server refuses (412, its sentence) once it changed
    // since. Never repeated: a lost answer would make the repeat look like
    // someone else's edit. A server that cannot edit gives kCannotEdit, and
    // a record without a version is refused before anything is sent.
    QCoro::Task<Recording> updateRecording(
        Recording recording, std::optional<QString> title, std::optional<QString> transcript);
    static const QString kCannotEdit;

    // The plain join of the chunk texts, for jobs without word alignment.
    static QString mergedTranscript(const std::vector<AudioChunk>& chunks);

    // The transcription pipeline (src/pipeline/). Progress lines reach the
    // callback one at a time on the main thread.
    using Progress = std::function<void(const QString&)>;
    struct PreparedTranscript
    {
        PendingRecording job;
        QString transcript;
    };
    // Runs the pipeline for the job, then saves its transcript on the server
    // once, under an idempotency key made from the job id.
    QCoro::Task<Recording> finish(PendingRecording job, Progress progress);
    // Resumes the job where it stopped, saving it after every step.
    QCoro::Task<PreparedTranscript> prepareTranscript(PendingRecording job, Progress progress);

    // Tests only: replaces the retry and polling waits.
    void setWaitForTesting(Wait wait) { m_wait = std::move(wait); }

protected:
    // The request frame shared by the server operations of this class (and
    // reachable from tests through a subclass).

    // Throws URLError(userAuthenticationRequired) when signed out.
    APIRequest authorizedRequest(const QString& path) const;
    // For the sign-in requests: no Authorization header.
    APIRequest unauthorizedRequest(const QString& path) const;

    // Performs the request and decodes T from a 2xx answer. Throws the
    // URLError of a transport failure, APIClientError for any other status,
    // and DecodingError when the 2xx body is not a T.
    template <typename T> QCoro::Task<T> send(APIRequest request);

    // send() with up to kMaxAttempts attempts, waiting 1, 2 and 4 s between
    // them while isRetryable() says yes; the last error is thrown unchanged.
    template <typename T> QCoro::Task<T> sendWithRetry(APIRequest request);

    // The transport alone: the whole answer of any status, or URLError.
    QCoro::Task<HTTPAnswer> perform(APIRequest request);

    QCoro::Task<void> wait(std::chrono::milliseconds duration);

    // The server's "error" text, else "Server returned N.".
    static QString errorMessage(const HTTPAnswer& answer);

    // True for status 408, 425, 429 and >= 500, and for the six transport
    // conditions of URLError; false for everything else.
    static bool isRetryable(const std::exception_ptr& error);

    static std::chrono::milliseconds retryDelay(int failedAttempt)
    {
        return std::chrono::milliseconds(1000) * (1 << failedAttempt);
    }

    // Speaker turns of the whole recording; never writes the job.
    QCoro::Task<std::vector<SpeakerSegment>> detectSpeakers(PendingRecording job, Progress progress);

private:
    QUrl endpoint(const QString& path) const;
    static void report(const Progress& progress, const QString& line);

    QCoro::Task<void> uploadForSpeakerDetection(
        PendingRecording job, std::optional<QUrl> uploadURL, Progress progress);
    QCoro::Task<void> checkAccount(PendingRecording job);
    QCoro::Task<PendingRecording> splitIntoChunks(PendingRecording job, Progress progress);
    QCoro::Task<QString> transcribeChunk(PendingRecording job, qsizetype index);
    QCoro::Task<std::vector<AlignedWord>> alignChunk(PendingRecording job, qsizetype index);

    QUrl m_baseURL;
    std::optional<QString> m_token;
    bool m_signInCancelled = false;
    QNetworkAccessManager m_network;
    Wait m_wait;
};

template <typename T> QCoro::Task<T> APIClient::send(APIRequest request)
{
    const HTTPAnswer answer = co_await perform(std::move(request));
    if (answer.status < 200 || answer.status > 299) {
        throw APIClientError(errorMessage(answer), answer.status);
    }
    co_return T::fromJson(JsonFields::parseObject(answer.body));
}

template <typename T> QCoro::Task<T> APIClient::sendWithRetry(APIRequest request)
{
    for (int attempt = 0;; ++attempt) {
        std::exception_ptr failure;
        try {
            co_return co_await send<T>(request);
        } catch (...) {
            failure = std::current_exception();
        }
        if (attempt + 1 >= kMaxAttempts || !isRetryable(failure)) {
            std::rethrow_exception(failure);
        }
        co_await wait(retryDelay(attempt));
    }
}
