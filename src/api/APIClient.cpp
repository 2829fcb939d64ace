#include "api/APIClient.h"

#include "api/ServerTexts.h"

#include "api/KeychainStore.h"
#include "core/DecodingError.h"
#include "core/FileSystemError.h"
#include "core/Uuids.h"
#include "pipeline/TranscriptAlignment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QStringList>
#include <QTimer>

#include <QCoroNetworkReply>
#include <QCoroTimer>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct DeleteLater
{
    void operator()(QObject* object) const { object->deleteLater(); }
};

// A precise single-shot timer runs on the monotonic clock with no slack,
// so a one-second wait is one second and not up to 5 % more.
QCoro::Task<void> monotonicWait(std::chrono::milliseconds duration)
{
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    timer.start(duration);
    co_await timer;
}

QList<QSslCertificate> certificatesFromEnvironment()
{
    QList<QSslCertificate> certificates;
    const QString file = qEnvironmentVariable("SSL_CERT_FILE");
    if (!file.isEmpty()) {
        certificates += QSslCertificate::fromPath(file, QSsl::Pem);
    }
    const QStringList directories = qEnvironmentVariable("SSL_CERT_DIR").split(u':', Qt::SkipEmptyParts);
    for (const QString& directory : directories) {
        certificates += QSslCertificate::fromPath(QDir(directory).filePath(QStringLiteral("*")), QSsl::Pem,
            QSslCertificate::PatternSyntax::Wildcard);
    }
    return certificates;
}

// The system's trusted roots plus the private CAs named in the environment,
// for self-hosted servers. Verification itself is never relaxed. Reading the
// certificates is slow, so it happens on the first HTTPS request and once per
// process for each value of the two variables.
std::optional<QSslConfiguration> configurationWithExtraTrust()
{
    static std::mutex mutex;
    static std::map<QString, std::optional<QSslConfiguration>> cache;
    const QString key = qEnvironmentVariable("SSL_CERT_FILE") + u'\n' + qEnvironmentVariable("SSL_CERT_DIR");
    const std::lock_guard lock(mutex);
    if (const auto cached = cache.find(key); cached != cache.end()) {
        return cached->second;
    }
    std::optional<QSslConfiguration> configuration;
    const QList<QSslCertificate> extra = certificatesFromEnvironment();
    if (!extra.isEmpty()) {
        configuration = QSslConfiguration::defaultConfiguration();
        configuration->setCaCertificates(QSslConfiguration::systemCaCertificates() + extra);
    }
    cache.emplace(key, configuration);
    return configuration;
}

bool isLoopbackHost(const QString& host)
{
    if (host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0) {
        return true;
    }
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

// The token must never cross the network in clear text; plain HTTP is only
// for a server on this computer (tests, a local server).
void requireSecureTransport(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    if (scheme == QStringLiteral("https")) {
        return;
    }
    if (scheme == QStringLiteral("http") && isLoopbackHost(url.host())) {
        return;
    }
    throw URLError(URLError::Code::secureConnectionRequired);
}

// Failures below HTTP: the connection, the proxy, or an answer that is not HTTP.
bool isTransportFailure(QNetworkReply::NetworkError error)
{
    return (error > QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied)
        || error == QNetworkReply::ProtocolFailure || error == QNetworkReply::ProtocolUnknownError;
}

// Qt ends a reply with OperationCanceledError when its transfer timer fires;
// the client never aborts a reply itself. The timer is coarse and may fire up
// to 5 % early, hence the margin.
URLError cancellationError(qint64 elapsedMs, int timeoutMs)
{
    if (timeoutMs > 0 && elapsedMs >= timeoutMs - timeoutMs / 10) {
        return URLError(URLError::Code::timedOut);
    }
    return URLError(URLError::Code::cancelled);
}

HTTPAnswer answerFrom(QNetworkReply& reply, qint64 elapsedMs, int timeoutMs)
{
    const QNetworkReply::NetworkError error = reply.error();
    if (error == QNetworkReply::OperationCanceledError) {
        throw cancellationError(elapsedMs, timeoutMs);
    }
    if (isTransportFailure(error)) {
        throw URLError::fromNetworkError(error, reply.errorString());
    }
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        throw URLError(URLError::Code::badServerResponse);
    }
    return HTTPAnswer { status.toInt(), reply.readAll() };
}

// The token goes into a header verbatim, so it must be visible ASCII (as
// bearer tokens are); an empty one would sign the user in with nothing.
bool isUsableToken(const QString& token)
{
    return !token.isEmpty() && std::all_of(token.cbegin(), token.cend(), [](QChar c) {
        return c.unicode() > 0x20 && c.unicode() < 0x7F;
    });
}

} // namespace

APIClient::APIClient(QUrl baseURL, std::optional<QString> token)
    : m_baseURL(std::move(baseURL))
    , m_token(std::move(token))
    , m_wait(monotonicWait)
{ }

APIClient::~APIClient() = default;

void APIClient::setBaseURL(const QUrl& baseURL)
{
    if (KeychainStore::serverAttribute(baseURL) != KeychainStore::serverAttribute(m_baseURL)) {
        m_token.reset();
    }
    m_baseURL = baseURL;
}

QCoro::Task<SignInStart> APIClient::prepareSignIn()
{
    APIRequest request = unauthorizedRequest(QStringLiteral("/auth/google/prepare"));
    request.method = QByteArrayLiteral("POST");
    co_return co_await send<SignInStart>(std::move(request));
}

const QString APIClient::kSignInCancelled = QStringLiteral("Sign-in cancelled.");

QCoro::Task<QString> APIClient::waitForSignIn(QString code)
{
    const QByteArray body
        = QJsonDocument(QJsonObject { { QStringLiteral("code"), code } }).toJson(QJsonDocument::Compact);
    m_signInCancelled = false;
    for (int attempt = 0; attempt < kSignInAttempts; ++attempt) {
        if (m_signInCancelled) {
            throw APIClientError(kSignInCancelled);
        }
        APIRequest request = unauthorizedRequest(QStringLiteral("/auth/exchange"));
        request.method = QByteArrayLiteral("POST");
        request.request.setRawHeader("Content-Type", "application/json");
        request.body = body;
        const HTTPAnswer answer = co_await perform(std::move(request));
        if (answer.status >= 200 && answer.status <= 299) {
            const QString token = TokenResponse::fromJson(JsonFields::parseObject(answer.body)).token;
            if (!isUsableToken(token)) {
                throw DecodingError("expected a bearer token for key \"token\"");
            }
            m_token = token;
            KeychainStore::saveToken(token, m_baseURL);
            co_return token;
        }
        // 400 means the browser sign-in has not finished yet.
        if (answer.status != 400) {
            throw APIClientError(errorMessage(answer));
        }
        co_await wait(kSignInPollInterval);
    }
    throw APIClientError(
        ServerTexts::sentence(ServerTexts::of(m_baseURL).signIn) + QStringLiteral(" timed out."));
}

QCoro::Task<QUuid> APIClient::currentUserID()
{
    const CurrentUser user = co_await send<CurrentUser>(authorizedRequest(QStringLiteral("/v1/me")));
    co_return user.id;
}

QCoro::Task<std::vector<Recording>> APIClient::listRecordings()
{
    RecordingList list = co_await send<RecordingList>(authorizedRequest(QStringLiteral("/v1/recordings")));
    co_return std::move(list.recordings);
}

QCoro::Task<void> APIClient::deleteRecording(QUuid id)
{
    APIRequest request = authorizedRequest(QStringLiteral("/v1/recordings/") + Uuids::text(id));
    request.method = QByteArrayLiteral("DELETE");
    co_await send<DeleteResponse>(std::move(request));
}

const QString APIClient::kCannotEdit
    = QStringLiteral("This server cannot save edits to transcripts. Nothing was changed.");

QCoro::Task<Recording> APIClient::updateRecording(
    Recording recording, std::optional<QString> title, std::optional<QString> transcript)
{
    if (!recording.version) {
        throw APIClientError(kCannotEdit);
    }
    QJsonObject body;
    if (title) {
        body.insert(QStringLiteral("title"), *title);
    }
    if (transcript) {
        body.insert(QStringLiteral("transcript"), *transcript);
    }
    APIRequest request = authorizedRequest(QStringLiteral("/v1/recordings/") + Uuids::text(recording.id));
    request.method = QByteArrayLiteral("PATCH");
    request.request.setRawHeader("Content-Type", "application/json");
    request.request.setRawHeader("If-Match", QByteArray::number(*recording.version));
    request.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
    const HTTPAnswer answer = co_await perform(std::move(request));
    if (answer.status >= 200 && answer.status <= 299) {
        co_return Recording::fromJson(JsonFields::parseObject(answer.body));
    }
    if (answer.status == 405 || answer.status == 501) {
        throw APIClientError(kCannotEdit, answer.status);
    }
    // A server without the route answers 404 for every recording; one that
    // still lists this one cannot edit.
    if (answer.status == 404) {
        const std::vector<Recording> listed = co_await listRecordings();
        if (std::ranges::any_of(listed, [&](const Recording& item) { return item.id == recording.id; })) {
            throw APIClientError(kCannotEdit, answer.status);
        }
    }
    throw APIClientError(errorMessage(answer), answer.status);
}

QString APIClient::mergedTranscript(const std::vector<AudioChunk>& chunks)
{
    QStringList pieces;
    for (const AudioChunk& chunk : chunks) {
        const QString text = chunk.text.value_or(QString()).trimmed();
        if (text.isEmpty()) {
            continue;
        }
        if (chunk.speaker) {
            pieces.append(QStringLiteral("[%1] %2: %3")
                              .arg(TranscriptAlignment::timeStamp(chunk.start), *chunk.speaker, text));
        } else {
            pieces.append(text);
        }
    }
    return pieces.join(QStringLiteral("\n\n")).trimmed();
}

APIRequest APIClient::authorizedRequest(const QString& path) const
{
    if (!m_token) {
        throw URLError(URLError::Code::userAuthenticationRequired);
    }
    APIRequest request = unauthorizedRequest(path);
    request.request.setRawHeader("Authorization", "Bearer " + m_token->toUtf8());
    return request;
}

APIRequest APIClient::unauthorizedRequest(const QString& path) const
{
    QNetworkRequest request(endpoint(path));
    request.setTransferTimeout(static_cast<int>(kRequestTimeout.count()));
    return APIRequest { .request = request, .method = QByteArrayLiteral("GET"), .body = {}, .bodyFile = {} };
}

QUrl APIClient::endpoint(const QString& path) const
{
    QUrl url = m_baseURL;
    QString basePath = url.path(QUrl::FullyEncoded);
    while (basePath.endsWith(u'/')) {
        basePath.chop(1);
    }
    url.setPath(basePath + path, QUrl::TolerantMode);
    return url;
}

QCoro::Task<HTTPAnswer> APIClient::perform(APIRequest request)
{
    QNetworkRequest& networkRequest = request.request;
    requireSecureTransport(networkRequest.url());
    // Redirects would carry the token elsewhere; a 3xx reaches the caller as an error.
    networkRequest.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (networkRequest.url().scheme().compare(QStringLiteral("https"), Qt::CaseInsensitive) == 0) {
        if (const auto configuration = configurationWithExtraTrust()) {
            networkRequest.setSslConfiguration(*configuration);
        }
    }

    std::unique_ptr<QNetworkReply, DeleteLater> reply;
    if (request.bodyFile) {
        auto file = std::make_unique<QFile>(*request.bodyFile);
        if (!file->open(QIODevice::ReadOnly)) {
            throw FileSystemError::fromErrno(QStringLiteral("Opening the upload"), *request.bodyFile, errno);
        }
        reply.reset(m_network.sendCustomRequest(networkRequest, request.method, file.get()));
        file.release()->setParent(reply.get());
    } else if (request.body.isEmpty()) {
        // Servers may refuse a POST that does not say its body is empty.
        if (request.method != "GET" && request.method != "HEAD" && request.method != "DELETE") {
            networkRequest.setHeader(QNetworkRequest::ContentLengthHeader, 0);
        }
        reply.reset(
            m_network.sendCustomRequest(networkRequest, request.method, static_cast<QIODevice*>(nullptr)));
    } else {
        reply.reset(m_network.sendCustomRequest(networkRequest, request.method, request.body));
    }

    QElapsedTimer elapsed;
    elapsed.start();
    co_await reply.get();
    co_return answerFrom(*reply, elapsed.elapsed(), networkRequest.transferTimeout());
}

QCoro::Task<void> APIClient::wait(std::chrono::milliseconds duration)
{
    co_await m_wait(duration);
}

QString APIClient::errorMessage(const HTTPAnswer& answer)
{
    try {
        return APIError::fromJson(JsonFields::parseObject(answer.body)).error;
    } catch (const DecodingError&) {
        return QStringLiteral("Server returned %1.").arg(answer.status);
    }
}

bool APIClient::isRetryable(const std::exception_ptr& error)
{
    if (!error) {
        return false;
    }
    try {
        std::rethrow_exception(error);
    } catch (const APIClientError& failure) {
        const std::optional<int> status = failure.statusCode();
        return status && (*status == 408 || *status == 425 || *status == 429 || *status > 499);
    } catch (const URLError& failure) {
        return failure.isRetryable();
    } catch (...) {
        return false;
    }
}
