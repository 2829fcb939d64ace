#include "PipelineServer.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <stdexcept>

namespace {

struct Certificate
{
    QTemporaryDir directory;
    QString certificate;
    QString key;
};

const Certificate& certificate()
{
    static const std::unique_ptr<Certificate> generated = [] {
        auto result = std::make_unique<Certificate>();
        result->certificate = result->directory.filePath(QStringLiteral("server.pem"));
        result->key = result->directory.filePath(QStringLiteral("server.key"));
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
            { "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days",
                "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                "-keyout", result->key, "-out", result->certificate });
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
            throw std::runtime_error(
                "openssl could not make a certificate: " + openssl.readAllStandardError().toStdString());
        }
        return result;
    }();
    return *generated;
}

std::string json(const nlohmann::json& value)
{
    return value.dump();
}

PipelineServer::Answer error(int status, const std::string& message)
{
    return { status, json({ { "error", message } }) };
}

} // namespace

std::optional<std::string> PipelineServer::Request::header(const std::string& name) const
{
    const auto found = headers.find(name);
    if (found == headers.end()) {
        return std::nullopt;
    }
    return found->second;
}

bool PipelineServer::Request::is(const std::string& expectedMethod, const std::string& pathPrefix) const
{
    return method == expectedMethod && path.rfind(pathPrefix, 0) == 0;
}

std::string PipelineServer::Request::kind() const
{
    static const std::regex diarization(R"(/v1/diarizations/[^/]+(/prepare|/start)?)");
    std::smatch match;
    if (method == "GET" && path == "/v1/me") {
        return "me";
    }
    if (std::regex_match(path, match, diarization)) {
        return match[1].length() == 0 ? "status" : match[1].str().substr(1);
    }
    if (method == "PUT" && path.rfind("/storage/", 0) == 0) {
        return "upload";
    }
    if (method == "POST" && path == "/v1/transcriptions") {
        return "transcribe";
    }
    if (method == "POST" && path == "/v1/transcriptions/align") {
        return "align";
    }
    if (method == "POST" && path == "/v1/recordings/text") {
        return "save";
    }
    return "other";
}

PipelineServer::PipelineServer()
{
    listen(0);
}

PipelineServer::~PipelineServer()
{
    goOffline();
}

void PipelineServer::goOffline()
{
    if (!m_server) {
        return;
    }
    m_server->stop();
    m_thread.join();
    m_server.reset();
}

void PipelineServer::comeBack()
{
    if (!m_server) {
        listen(m_port);
    }
}

void PipelineServer::listen(int port)
{
    m_server = std::make_unique<httplib::SSLServer>(
        certificate().certificate.toUtf8().constData(), certificate().key.toUtf8().constData());
    const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        serve(response,
            Request { .method = request.method,
                .path = request.path,
                .headers = request.headers,
                .body = request.body,
                .bodyBytes = static_cast<long long>(request.body.size()),
                .parts = { request.files.begin(), request.files.end() } });
    };
    m_server->Get(".*", handler);
    m_server->Post(".*", handler);
    m_server->Put(".*",
        [this](const httplib::Request& request, httplib::Response& response,
            const httplib::ContentReader& reader) {
            Request logged { .method = request.method, .path = request.path, .headers = request.headers };
            reader([&logged](const char*, size_t length) {
                logged.bodyBytes += static_cast<long long>(length);
                return true;
            });
            serve(response, std::move(logged));
        });
    m_server->set_read_timeout(std::chrono::seconds(30));
    m_server->set_write_timeout(std::chrono::seconds(30));
    if (port == 0) {
        port = m_server->bind_to_any_port("127.0.0.1");
    } else if (!m_server->bind_to_port("127.0.0.1", port)) {
        port = 0;
    }
    if (port <= 0) {
        throw std::runtime_error("the pipeline server could not bind a loopback port");
    }
    m_port = port;
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
}

QUrl PipelineServer::baseURL() const
{
    return QUrl(QStringLiteral("https://127.0.0.1:%1").arg(m_port));
}

QString PipelineServer::certificatePath()
{
    return certificate().certificate;
}

void PipelineServer::configure(const std::function<void(Settings&)>& change)
{
    const std::lock_guard lock(m_mutex);
    change(m_settings);
}

void PipelineServer::setInterceptor(Interceptor interceptor)
{
    const std::lock_guard lock(m_mutex);
    m_interceptor = std::move(interceptor);
}

std::vector<PipelineServer::Request> PipelineServer::requests() const
{
    const std::lock_guard lock(m_mutex);
    return m_log;
}

std::vector<PipelineServer::Request> PipelineServer::requests(const std::string& kind) const
{
    std::vector<Request> result;
    for (Request& request : requests()) {
        if (request.kind() == kind) {
            result.push_back(std::move(request));
        }
    }
    return result;
}

void PipelineServer::clearLog()
{
    const std::lock_guard lock(m_mutex);
    m_log.clear();
}

std::map<std::string, nlohmann::json> PipelineServer::savedTranscripts() const
{
    const std::lock_guard lock(m_mutex);
    return m_saved;
}

bool PipelineServer::detectionStarted(const std::string& recordingID) const
{
    const std::lock_guard lock(m_mutex);
    const auto found = m_detections.find(recordingID);
    return found != m_detections.end() && found->second.started;
}

std::string PipelineServer::defaultTranscript(int part)
{
    return "Part " + std::to_string(part) + ": hello, world.";
}

nlohmann::json PipelineServer::defaultWords(const std::string& text)
{
    nlohmann::json words = nlohmann::json::array();
    size_t begin = 0;
    double start = 10.0;
    while (begin < text.size()) {
        size_t end = text.find(' ', begin + 1);
        if (end == std::string::npos) {
            end = text.size();
        }
        words.push_back(
            { { "text", text.substr(begin, end - begin) }, { "start", start }, { "end", start + 0.4 } });
        start += 0.4;
        begin = end;
    }
    return words;
}

void PipelineServer::serve(httplib::Response& response, Request logged)
{
    Interceptor interceptor;
    {
        const std::lock_guard lock(m_mutex);
        interceptor = m_interceptor;
    }
    std::optional<Answer> result = interceptor ? interceptor(logged) : std::nullopt;

    const std::lock_guard lock(m_mutex);
    if (!result) {
        result = answer(logged);
    }
    logged.answeredStatus = result->status;
    m_log.push_back(std::move(logged));
    response.status = result->status;
    response.set_content(result->body, "application/json");
}

PipelineServer::Answer PipelineServer::answer(const Request& logged)
{
    const std::string kind = logged.kind();
    const std::string authorization = logged.header("Authorization").value_or("");
    if (kind == "upload") {
        if (authorization.size() > 0) {
            return error(400, "Storage takes no bearer token.");
        }
        return { m_settings.uploadStatus, "" };
    }
    if (authorization != "Bearer test-token") {
        return error(401, "Not signed in.");
    }
    if (kind == "me") {
        return { 200, json({ { "id", m_settings.userID } }) };
    }
    static const std::regex idPattern(R"(/v1/diarizations/([^/]+).*)");
    std::smatch match;
    if (std::regex_match(logged.path, match, idPattern)) {
        const std::string id = match[1];
        if (kind == "prepare") {
            return prepare(id);
        }
        if (kind == "start") {
            m_detections[id].started = true;
            return { 200, json({ { "status", "starting" } }) };
        }
        if (kind == "status") {
            return status(id);
        }
    }
    if (kind == "transcribe") {
        return transcription(logged);
    }
    if (kind == "align") {
        return alignment(logged);
    }
    if (kind == "save") {
        return saveTranscript(logged);
    }
    return error(404, "Not found.");
}

PipelineServer::Answer PipelineServer::prepare(const std::string& id)
{
    if (m_detections[id].started) {
        return { 200, json({ { "status", "pending" } }) };
    }
    nlohmann::json body { { "status", "upload" } };
    const std::string url
        = m_settings.uploadURL.value_or(baseURL().toString().toStdString() + "/storage/" + id);
    if (!url.empty()) {
        body["uploadURL"] = url;
    }
    return { 200, json(body) };
}

PipelineServer::Answer PipelineServer::status(const std::string& id)
{
    Detection& detection = m_detections[id];
    if (!detection.started) {
        return { 200, json({ { "status", "created" } }) };
    }
    if (detection.polls++ < m_settings.pendingPolls) {
        return { 200, json({ { "status", "pending" } }) };
    }
    nlohmann::json body { { "status", m_settings.finalStatus } };
    if (m_settings.sendSegments) {
        body["segments"] = m_settings.segments;
    }
    return { 200, json(body) };
}

PipelineServer::Answer PipelineServer::transcription(const Request& logged)
{
    if (logged.header("Content-Type") != "audio/x-m4a") {
        return error(415, "Expected audio/x-m4a.");
    }
    if (m_settings.transcribe) {
        return { 200, json({ { "text", m_settings.transcribe(logged) } }) };
    }
    int part = 1;
    if (const auto prompt = logged.header("X-Tallisen-Prompt")) {
        static const std::regex partPattern(R"(.*Part (\d+).*)");
        std::smatch match;
        // httplib has already percent-decoded the header value.
        part = std::regex_match(*prompt, match, partPattern) ? std::stoi(match[1]) + 1 : 0;
    }
    return { 200, json({ { "text", defaultTranscript(part) } }) };
}

PipelineServer::Answer PipelineServer::alignment(const Request& logged)
{
    const auto text = logged.parts.find("text");
    const auto file = logged.parts.find("file");
    if (logged.parts.size() != 2 || text == logged.parts.end() || file == logged.parts.end()) {
        return error(400, "Expected the text and file parts.");
    }
    const nlohmann::json words
        = m_settings.align ? m_settings.align(text->second.content) : defaultWords(text->second.content);
    return { 200, json({ { "words", words } }) };
}

PipelineServer::Answer PipelineServer::saveTranscript(const Request& logged)
{
    const auto key = logged.header("Idempotency-Key");
    if (!key || logged.header("Content-Type") != "application/json") {
        return error(400, "Expected a JSON body and an idempotency key.");
    }
    const nlohmann::json body = nlohmann::json::parse(logged.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        return error(400, "Expected a JSON object.");
    }
    const auto saved = m_saved.find(*key);
    if (saved != m_saved.end()) {
        return { 200, json(saved->second) };
    }
    const nlohmann::json recording { { "id", "0B0D6E3A-6C4B-4C44-9E5A-2D1A3E0F1B2C" }, { "title", "Meeting" },
        { "transcript", body.value("transcript", "") }, { "languageCodes", nlohmann::json::array({ "en" }) },
        { "recordedAt", body.value("recordedAt", "") }, { "createdAt", "2026-03-01T10:00:00Z" },
        { "cleanupStatus", "pending" } };
    m_saved[*key] = recording;
    return { 200, json(recording) };
}
