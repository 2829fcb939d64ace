#include "PipelineServer.h"

#include "support/SelfSignedCertificate.h"

#include <regex>
#include <stdexcept>

namespace {

const SelfSignedCertificate& certificate()
{
    static const SelfSignedCertificate generated;
    return generated;
}

PipelineServer::Answer json(const nlohmann::json& value, int status = 200)
{
    return { status, value.dump() };
}

PipelineServer::Answer error(int status, const std::string& message)
{
    return json({ { "error", message } }, status);
}

} // namespace

std::optional<std::string> PipelineServer::Request::header(const std::string& name) const
{
    const auto found = headers.find(name);
    return found == headers.end() ? std::nullopt : std::optional(found->second);
}

std::string PipelineServer::Request::kind() const
{
    static const std::regex diarization(R"(/v1/diarizations/[^/]+(/prepare|/start)?)");
    static const std::map<std::pair<std::string, std::string>, std::string> routes {
        { { "GET", "/v1/me" }, "me" }, { { "POST", "/v1/transcriptions" }, "transcribe" },
        { { "POST", "/v1/transcriptions/align" }, "align" }, { { "POST", "/v1/recordings/text" }, "save" }
    };
    std::smatch match;
    if (std::regex_match(path, match, diarization)) {
        return match[1].length() == 0 ? "status" : match[1].str().substr(1);
    }
    if (method == "PUT" && path.starts_with("/storage/")) {
        return "upload";
    }
    const auto route = routes.find({ method, path });
    return route == routes.end() ? "other" : route->second;
}

void PipelineServer::goOffline()
{
    if (m_server) {
        m_server->stop();
        m_thread.join();
        m_server.reset();
    }
}

void PipelineServer::comeBack()
{
    if (!m_server) {
        listen(m_port);
    }
}

void PipelineServer::listen(int port)
{
    m_server = std::make_unique<httplib::SSLServer>(certificate().certificate(), certificate().key());
    const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        serve(response,
            Request { request.method, request.path, request.headers, request.body,
                static_cast<long long>(request.body.size()),
                { request.files.begin(), request.files.end() } });
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

QString PipelineServer::certificatePath()
{
    return QString::fromStdString(certificate().path());
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
    std::vector<Request> result = requests();
    std::erase_if(result, [&kind](const Request& request) { return request.kind() != kind; });
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

std::string PipelineServer::defaultTranscript(int part)
{
    return "Part " + std::to_string(part) + ": hello, world.";
}

nlohmann::json PipelineServer::defaultWords(const std::string& text)
{
    nlohmann::json words = nlohmann::json::array();
    double start = 10.0;
    for (size_t begin = 0, end = 0; begin < text.size(); begin = end, start += 0.4) {
        end = std::min(text.find(' ', begin + 1), text.size());
        words.push_back(
            { { "text", text.substr(begin, end - begin) }, { "start", start }, { "end", start + 0.4 } });
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
        return authorization.empty() ? Answer { m_settings.uploadStatus, "" }
                                     : error(400, "Storage takes no bearer token.");
    }
    if (authorization != "Bearer test-token") {
        return error(401, "Not signed in.");
    }
    static const std::regex idPattern(R"(/v1/diarizations/([^/]+).*)");
    std::smatch match;
    const std::string id = std::regex_match(logged.path, match, idPattern) ? match[1].str() : std::string();
    const bool started = m_polls.contains(id);
    if (kind == "me") {
        return json({ { "id", m_settings.userID } });
    }
    if (kind == "prepare") {
        if (started) {
            return json({ { "status", "pending" } });
        }
        nlohmann::json body { { "status", "upload" } };
        const std::string url
            = m_settings.uploadURL.value_or(baseURL().toString().toStdString() + "/storage/" + id);
        if (!url.empty()) {
            body["uploadURL"] = url;
        }
        return json(body);
    }
    if (kind == "start") {
        m_polls.try_emplace(id, 0);
        return json({ { "status", "starting" } });
    }
    if (kind == "status") {
        if (!started) {
            return json({ { "status", "created" } });
        }
        if (m_polls[id]++ < m_settings.pendingPolls) {
            return json({ { "status", "pending" } });
        }
        nlohmann::json body { { "status", m_settings.finalStatus } };
        if (m_settings.sendSegments) {
            body["segments"] = m_settings.segments;
        }
        return json(body);
    }
    if (kind == "transcribe") {
        if (logged.header("Content-Type") != "audio/x-m4a") {
            return error(415, "Expected audio/x-m4a.");
        }
        if (m_settings.transcribe) {
            return json({ { "text", m_settings.transcribe(logged) } });
        }
        // httplib has already percent-decoded the prompt.
        static const std::regex partPattern(R"(.*Part (\d+).*)");
        const auto prompt = logged.header("X-Tallisen-Prompt");
        const int part = !prompt                            ? 1
            : std::regex_match(*prompt, match, partPattern) ? std::stoi(match[1]) + 1
                                                            : 0;
        return json({ { "text", defaultTranscript(part) } });
    }
    if (kind == "align") {
        const auto text = logged.parts.find("text");
        if (logged.parts.size() != 2 || text == logged.parts.end() || !logged.parts.contains("file")) {
            return error(400, "Expected the text and file parts.");
        }
        const std::string& content = text->second.content;
        return json({ { "words", m_settings.align ? m_settings.align(content) : defaultWords(content) } });
    }
    if (kind == "save") {
        const auto key = logged.header("Idempotency-Key");
        const nlohmann::json body = nlohmann::json::parse(logged.body, nullptr, false);
        if (!key || logged.header("Content-Type") != "application/json" || !body.is_object()) {
            return error(400, "Expected a JSON object and an idempotency key.");
        }
        if (!m_saved.contains(*key)) {
            m_saved[*key] = { { "id", "0B0D6E3A-6C4B-4C44-9E5A-2D1A3E0F1B2C" }, { "title", "Meeting" },
                { "transcript", body.value("transcript", "") },
                { "languageCodes", nlohmann::json::array({ "en" }) },
                { "recordedAt", body.value("recordedAt", "") }, { "createdAt", "2026-03-01T10:00:00Z" },
                { "cleanupStatus", "pending" } };
        }
        return json(m_saved[*key]);
    }
    return error(404, "Not found.");
}
