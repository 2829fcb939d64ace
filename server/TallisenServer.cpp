#include "TallisenServer.h"

#include "AudioDecoder.h"
#include "Certificates.h"
#include "GuardedHttpServer.h"
#include "HttpError.h"
#include "Librarian.h"
#include "OpenAiTranscriber.h"
#include "Outbox.h"
#include "Passwords.h"
#include "PocketSphinxTranscriber.h"
#include "Secrets.h"
#include "SpeakerDetector.h"
#include "WireFormat.h"
#include "WordAligner.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace server {

namespace {

namespace fs = std::filesystem;

constexpr const char* kJson = "application/json";
constexpr const char* kUuidPath = "([^/]+)";
constexpr std::size_t kTitleBytes = 1000;

void sendJson(httplib::Response& response, const nlohmann::json& body, int status = 200)
{
    response.status = status;
    response.set_content(body.dump(), kJson);
}

nlohmann::json parseObject(const std::string& body, int status = 400)
{
    auto json = nlohmann::json::parse(body, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        throw HttpError(status, "The request body must be a JSON object.");
    }
    return json;
}

std::string requiredString(const nlohmann::json& object, const char* key, int status = 400)
{
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) {
        throw HttpError(status, std::string("The request needs a string \"") + key + "\".");
    }
    return found->get<std::string>();
}

std::string pathId(const httplib::Request& request, const char* what)
{
    const auto id = WireFormat::canonicalUuid(request.matches[1].str());
    if (!id) {
        throw HttpError(400, std::string("The ") + what + " id is not a valid UUID.");
    }
    return *id;
}

bool isBlank(const std::string& text)
{
    return text.find_first_not_of(" \t\r\n\f\v") == std::string::npos;
}

// An If-Match value: the version as a number, bare or as a quoted entity tag.
std::optional<std::int64_t> parseVersion(std::string text)
{
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text = text.substr(1, text.size() - 2);
    }
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoll(text);
}

std::optional<std::string> optionalString(const nlohmann::json& object, const char* key)
{
    const auto found = object.find(key);
    if (found == object.end()) {
        return std::nullopt;
    }
    if (!found->is_string()) {
        throw HttpError(400, std::string("\"") + key + "\" must be a string.");
    }
    return found->get<std::string>();
}

HttpError quotaRefusal(int megabytes)
{
    return HttpError(507,
        "Your transcripts use all the space this server gives an account (" + std::to_string(megabytes)
            + " MB). Delete some and try again.");
}

RecordingEdit parseEdit(const nlohmann::json& body)
{
    RecordingEdit edit { optionalString(body, "title"), optionalString(body, "transcript") };
    if (!edit.title && !edit.transcript) {
        throw HttpError(400, "The request needs a \"title\" or a \"transcript\" to change.");
    }
    if (edit.title && isBlank(*edit.title)) {
        throw HttpError(400, "The title is empty.");
    }
    if (edit.title && edit.title->size() > kTitleBytes) {
        throw HttpError(400, "The title is longer than " + std::to_string(kTitleBytes) + " bytes.");
    }
    if (edit.transcript && isBlank(*edit.transcript)) {
        throw HttpError(400, "The transcript is empty.");
    }
    return edit;
}

std::string htmlEscape(const std::string& text)
{
    std::string result;
    for (char c : text) {
        switch (c) {
        case '<':
            result += "&lt;";
            break;
        case '>':
            result += "&gt;";
            break;
        case '&':
            result += "&amp;";
            break;
        case '"':
            result += "&quot;";
            break;
        case '\'':
            result += "&#39;";
            break;
        default:
            result += c;
        }
    }
    return result;
}

void sendPage(
    httplib::Response& response, const std::string& title, const std::string& body, int status = 200)
{
    response.status = status;
    response.set_header(
        "Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'");
    response.set_content("<!doctype html><html><head><meta charset=\"utf-8\"><title>" + htmlEscape(title)
            + "</title><style>body{font-family:sans-serif;max-width:28em;margin:4em auto}"
              "label,input,button{display:block;margin:.5em 0}</style></head><body><h1>"
            + htmlEscape(title) + "</h1>" + body + "</body></html>",
        "text/html; charset=utf-8");
}

double milliseconds(double seconds)
{
    return std::round(seconds * 1000.0) / 1000.0;
}

nlohmann::json wordsJson(const std::vector<RecognizedWord>& words)
{
    auto list = nlohmann::json::array();
    for (const auto& word : words) {
        nlohmann::json item { { "text", word.text } };
        if (word.start) {
            item["start"] = milliseconds(*word.start);
        }
        if (word.end) {
            item["end"] = milliseconds(*word.end);
        }
        list.push_back(item);
    }
    return list;
}

nlohmann::json diarizationJson(const DiarizationJob& job)
{
    nlohmann::json body { { "status", toText(job.status) } };
    if (job.status == DiarizationStatus::Succeeded && job.segmentsJson) {
        body["segments"] = nlohmann::json::parse(*job.segmentsJson);
    }
    if (job.status == DiarizationStatus::Failed && job.error) {
        body["error"] = *job.error;
    }
    return body;
}

void makePrivateDirectory(const std::string& path)
{
    fs::create_directories(path);
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::replace);
}

std::string hostForUrl(const std::string& host)
{
    if (host == "0.0.0.0" || host.empty()) {
        return "127.0.0.1";
    }
    if (host == "::") {
        return "[::1]";
    }
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

void answerFailure(const httplib::Request& request, httplib::Response& response, std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const HttpError& refusal) {
        response.status = refusal.status();
        response.set_content(WireFormat::errorBody(refusal.what()), kJson);
    } catch (const nlohmann::json::exception&) {
        response.status = 400;
        response.set_content(WireFormat::errorBody("The request body is not valid JSON."), kJson);
    } catch (const std::exception& failure) {
        std::cerr << "tallisen-server: " << request.method << ' ' << request.path
                  << " failed: " << failure.what() << '\n';
        response.status = 500;
        response.set_content(WireFormat::errorBody("The server could not complete the request."), kJson);
    }
}

} // namespace

TallisenServer::TallisenServer(ServerOptions options, std::unique_ptr<Transcriber> transcriber)
    : m_options(std::move(options))
    , m_transcriber(std::move(transcriber))
{
    // The database, its journal and every upload hold user data.
    ::umask(077);
    makePrivateDirectory(m_options.dataDir);
    makePrivateDirectory(m_options.dataDir + "/uploads");
    // Uploads cut off by a stop or crash were never accepted; their clients upload again.
    for (const auto& entry : fs::directory_iterator(m_options.dataDir + "/uploads")) {
        if (entry.path().extension() == ".part") {
            fs::remove(entry.path());
        }
    }
    m_store = std::make_unique<Store>(m_options.dataDir + "/tallisen.sqlite3");
    ::chmod((m_options.dataDir + "/tallisen.sqlite3").c_str(), 0600);
    SSL_CTX* tls = nullptr;
    if (m_options.selfSigned) {
        std::vector<std::string> hosts { m_options.host };
        if (m_options.publicUrl) {
            hosts.push_back(hostOfUrl(*m_options.publicUrl).value_or(""));
        }
        const auto paths = Certificates::ensureSelfSigned(m_options.dataDir + "/tls", hosts);
        m_caPath = paths.caCertificate;
        tls = makeTlsContext(paths.certificate, paths.privateKey);
    } else if (m_options.tlsCert) {
        tls = makeTlsContext(*m_options.tlsCert, *m_options.tlsKey);
    }
    const ConnectionLimits limits;
    m_http = std::make_unique<GuardedHttpServer>(tls, static_cast<std::size_t>(m_options.threads), limits);
    m_http->set_payload_max_length(kUploadBytes);
    // Only announced to clients: the connection layer enforces these.
    m_http->set_keep_alive_timeout(limits.headTimeoutMs.count() / 1000);
    m_http->set_keep_alive_max_count(limits.requestsPerConnection);
    installRoutes();
    m_filing = std::make_unique<WorkQueue>();
    m_detection = std::make_unique<WorkQueue>();
}

TallisenServer::~TallisenServer()
{
    stop();
    m_filing.reset();
    m_detection.reset();
}

int TallisenServer::bind()
{
    if (m_options.port == 0) {
        m_port = m_http->bind_to_any_port(m_options.host);
    } else {
        m_port = m_http->bind_to_port(m_options.host, m_options.port) ? m_options.port : -1;
    }
    if (m_port < 0) {
        throw std::runtime_error("The server could not listen on " + m_options.host + ":"
            + std::to_string(m_options.port) + "; is another program using it?");
    }
    m_publicUrl = m_options.publicUrl.value_or(std::string(m_options.usesTls() ? "https://" : "http://")
        + hostForUrl(m_options.host) + ":" + std::to_string(m_port));
    while (!m_publicUrl.empty() && m_publicUrl.back() == '/') {
        m_publicUrl.pop_back();
    }
    if (m_options.oidcIssuer) {
        m_openId = std::make_unique<OpenIdConnect>(OpenIdConnect::Settings { *m_options.oidcIssuer,
            m_options.oidcClientId, m_options.oidcClientSecret, m_publicUrl + "/auth/oidc/callback" });
    }
    // Work interrupted by a restart is picked up again.
    for (const auto status : { DiarizationStatus::Starting, DiarizationStatus::Pending }) {
        for (const auto& job : m_store->diarizationsWithStatus(status)) {
            m_detection->post([this, job] { runDiarization(job); });
        }
    }
    return m_port;
}

bool TallisenServer::run()
{
    return m_http->listen_after_bind();
}

void TallisenServer::stop()
{
    if (m_http) {
        m_http->stop();
    }
}

void TallisenServer::installRoutes()
{
    auto& http = *m_http;
    auto handler = [this](void (TallisenServer::*method)(const httplib::Request&, httplib::Response&)) {
        return httplib::Server::Handler(
            [this, method](const httplib::Request& request, httplib::Response& response) {
                (this->*method)(request, response);
            });
    };
    http.set_pre_routing_handler(
        [this](const auto& request, auto& response) { return checkLimits(request, response); });
    http.set_exception_handler([](const httplib::Request& request, httplib::Response& response,
                                   std::exception_ptr error) { answerFailure(request, response, error); });
    http.set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& response) {
            if (!response.body.empty()) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            // cpp-httplib refused the request itself, maybe leaving its body unread.
            GuardedHttpServer::closeAfterResponse();
            const char* message = response.status == 404 ? "Not found."
                : response.status == 413                 ? "The request body is too large."
                : response.status == 405                 ? "Method not allowed."
                                                         : "The request could not be handled.";
            response.set_content(WireFormat::errorBody(message), kJson);
            return httplib::Server::HandlerResponse::Handled;
        }));

    http.Get("/health", handler(&TallisenServer::health));
    http.Post("/auth/google/prepare", handler(&TallisenServer::prepareSignIn));
    http.Get("/auth/sign-in", handler(&TallisenServer::signInPage));
    http.Post("/auth/sign-in", handler(&TallisenServer::completeSignIn));
    http.Get("/auth/oidc", handler(&TallisenServer::startProviderSignIn));
    http.Get("/auth/oidc/callback", handler(&TallisenServer::finishProviderSignIn));
    http.Post("/auth/exchange", handler(&TallisenServer::exchange));
    http.Get("/v1/me", handler(&TallisenServer::me));
    http.Get("/v1/recordings", handler(&TallisenServer::listRecordings));
    http.Post("/v1/recordings/text", handler(&TallisenServer::saveTranscript));
    http.Delete(std::string("/v1/recordings/") + kUuidPath, handler(&TallisenServer::deleteRecording));
    http.Patch(std::string("/v1/recordings/") + kUuidPath, handler(&TallisenServer::editRecording));
    http.Post("/v1/transcriptions", handler(&TallisenServer::transcribe));
    http.Post("/v1/transcriptions/align", handler(&TallisenServer::align));
    http.Post(std::string("/v1/diarizations/") + kUuidPath + "/prepare",
        handler(&TallisenServer::prepareDiarization));
    http.Post(
        std::string("/v1/diarizations/") + kUuidPath + "/start", handler(&TallisenServer::startDiarization));
    http.Get(std::string("/v1/diarizations/") + kUuidPath, handler(&TallisenServer::diarizationStatus));
    http.Put("/v1/uploads/([A-Za-z0-9_-]+)",
        [this](const httplib::Request& request, httplib::Response& response,
            const httplib::ContentReader& reader) { receiveUpload(request, response, reader); });
}

// Runs before any body is read, so oversized bodies are refused without buffering them.
httplib::Server::HandlerResponse TallisenServer::checkLimits(
    const httplib::Request& request, httplib::Response& response)
{
    auto refuse = [&](int status, const std::string& message) {
        // The body was not read, so it must not be taken for the next request.
        GuardedHttpServer::closeAfterResponse();
        response.status = status;
        response.set_content(WireFormat::errorBody(message), kJson);
        return httplib::Server::HandlerResponse::Handled;
    };
    if (request.has_header("Transfer-Encoding")) {
        return refuse(411, "Send the request body with a Content-Length.");
    }
    // cpp-httplib would inflate it with no bound before any handler could check the token.
    const std::string encoding = request.get_header_value("Content-Encoding");
    if (request.has_header("Content-Encoding") && encoding != "identity") {
        return refuse(415, "Send the request body without a Content-Encoding.");
    }
    if (!request.has_header("Content-Length")) {
        if (request.method == "PATCH") {
            return refuse(411, "Send the request body with a Content-Length.");
        }
        return request.method == "POST" ? answerBodylessPost(request, response)
                                        : httplib::Server::HandlerResponse::Unhandled;
    }
    const std::string lengthText = request.get_header_value("Content-Length");
    if (lengthText.empty() || lengthText.find_first_not_of("0123456789") != std::string::npos
        || lengthText.size() > 15) {
        return refuse(400, "The Content-Length header is not a number.");
    }
    const std::size_t length = std::stoull(lengthText);
    std::size_t limit = kSmallBodyBytes;
    if (request.method == "PUT" && request.path.rfind("/v1/uploads/", 0) == 0) {
        limit = kUploadBytes;
    } else if (request.path == "/v1/transcriptions") {
        limit = kTranscriptionBytes;
    } else if (request.path == "/v1/transcriptions/align") {
        limit = kTranscriptionBytes + kTranscriptBytes / 8;
    } else if (request.path == "/v1/recordings/text"
        || (request.method == "PATCH" && request.path.rfind("/v1/recordings/", 0) == 0)) {
        limit = kTranscriptBytes;
    }
    if (length > limit) {
        return refuse(
            413, "The request body is larger than the " + std::to_string(limit) + " bytes allowed here.");
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

// A POST without Content-Length has no body, but cpp-httplib would wait for one;
// the requests that carry none are answered here instead.
httplib::Server::HandlerResponse TallisenServer::answerBodylessPost(
    const httplib::Request& request, httplib::Response& response)
{
    static const std::regex kPrepare("/v1/diarizations/([^/]+)/prepare");
    static const std::regex kStart("/v1/diarizations/([^/]+)/start");
    httplib::Request routed = request;
    try {
        if (request.path == "/auth/google/prepare") {
            prepareSignIn(routed, response);
        } else if (std::regex_match(request.path, routed.matches, kPrepare)) {
            prepareDiarization(routed, response);
        } else if (std::regex_match(request.path, routed.matches, kStart)) {
            startDiarization(routed, response);
        } else {
            throw HttpError(411, "Send the request body with a Content-Length.");
        }
    } catch (...) {
        answerFailure(request, response, std::current_exception());
    }
    return httplib::Server::HandlerResponse::Handled;
}

Account TallisenServer::requireAccount(const httplib::Request& request)
{
    const std::string header = request.get_header_value("Authorization");
    static constexpr std::string_view kBearer = "Bearer ";
    if (header.size() <= kBearer.size() || header.compare(0, kBearer.size(), kBearer) != 0) {
        throw HttpError(401, "Sign in to continue.");
    }
    auto account = m_store->accountForToken(
        header.substr(kBearer.size()), std::int64_t { m_options.tokenIdleDays } * 24 * 3600 * 1000);
    if (!account) {
        throw HttpError(401, "Your session has ended. Sign in again.");
    }
    return *account;
}

Transcriber& TallisenServer::transcriber()
{
    std::lock_guard lock(m_engineMutex);
    if (!m_transcriber) {
        if (m_options.engine == "openai") {
            m_transcriber = std::make_unique<OpenAiTranscriber>(
                m_options.openAiBaseUrl, m_options.openAiApiKey, m_options.openAiModel);
        } else {
            m_transcriber = std::make_unique<PocketSphinxTranscriber>();
        }
    }
    return *m_transcriber;
}

void TallisenServer::health(const httplib::Request&, httplib::Response& response)
{
    sendJson(response, { { "status", "ok" } });
}

void TallisenServer::prepareSignIn(const httplib::Request&, httplib::Response& response)
{
    const auto created = m_store->createSignIn();
    if (!created) {
        throw HttpError(503, "Too many sign-ins are waiting to be completed. Try again in a few minutes.");
    }
    const std::string& code = *created;
    sendJson(response, { { "url", m_publicUrl + "/auth/sign-in?code=" + code }, { "code", code } });
}

void TallisenServer::signInPage(const httplib::Request& request, httplib::Response& response)
{
    const std::string code = request.get_param_value("code");
    if (m_options.signInAs) {
        const std::string email = WireFormat::lowerCase(*m_options.signInAs);
        const Account account = m_store->ensureAccount(email, email.substr(0, email.find('@')));
        answerSignIn(response, m_store->completeSignIn(code, account.id), email);
        return;
    }
    const SignInOutcome status = m_store->signInStatus(code);
    if (status != SignInOutcome::Completed) {
        answerSignIn(response, status, {});
        return;
    }
    sendPage(response, "Sign in to Tallisen",
        "<form method=\"post\" action=\"/auth/sign-in\"><input type=\"hidden\" name=\"code\" value=\""
            + htmlEscape(code)
            + "\"><label>E-mail<input name=\"email\" type=\"email\" required maxlength=\"254\" "
              "autocomplete=\"username\"></label><label>Password<input name=\"password\" type=\"password\" "
              "required maxlength=\"1024\" autocomplete=\"current-password\"></label>"
              "<button type=\"submit\">Sign in</button></form>"
            + (m_openId ? "<p><a href=\"/auth/oidc?code=" + htmlEscape(code)
                        + "\">Sign in with your organisation's account</a></p>"
                        : std::string()));
}

void TallisenServer::startProviderSignIn(const httplib::Request& request, httplib::Response& response)
{
    if (!m_openId) {
        throw HttpError(404, "This server offers no sign-in through an identity provider.");
    }
    const std::string code = request.get_param_value("code");
    const SignInOutcome status = m_store->signInStatus(code);
    if (status != SignInOutcome::Completed) {
        answerSignIn(response, status, {});
        return;
    }
    response.set_redirect(m_openId->authorizationUrl(code));
}

void TallisenServer::finishProviderSignIn(const httplib::Request& request, httplib::Response& response)
{
    if (!m_openId) {
        throw HttpError(404, "This server offers no sign-in through an identity provider.");
    }
    if (request.has_param("error")) {
        sendPage(response, "Sign-in failed",
            "<p>The identity provider did not sign you in (" + htmlEscape(request.get_param_value("error"))
                + "). Start again from Tallisen.</p>",
            401);
        return;
    }
    OpenIdConnect::Identity identity;
    try {
        identity = m_openId->complete(request.get_param_value("state"), request.get_param_value("code"));
    } catch (const HttpError& error) {
        std::cerr << "tallisen-server: a provider sign-in failed: " << error.what() << '\n';
        sendPage(response, "Sign-in failed", "<p>" + htmlEscape(error.what()) + "</p>", error.status());
        return;
    }
    const auto account = m_store->credentials(identity.email);
    if (!account) {
        sendPage(response, "Sign-in failed",
            "<p>No Tallisen account uses " + htmlEscape(identity.email)
                + ". Ask the server's owner to add it (tallisen-server user add).</p>",
            403);
        return;
    }
    answerSignIn(response, m_store->completeSignIn(identity.signInCode, account->account.id), identity.email);
}

void TallisenServer::completeSignIn(const httplib::Request& request, httplib::Response& response)
{
    if (m_options.signInAs) {
        signInPage(request, response);
        return;
    }
    const std::string code = request.get_param_value("code");
    const std::string email = WireFormat::lowerCase(request.get_param_value("email"));
    const std::string password = request.get_param_value("password");
    const auto now = SignInThrottle::Clock::now();
    const auto wait = m_throttle.wait(email, request.remote_addr, now);
    if (wait.count() > 0) {
        response.set_header("Retry-After", std::to_string(wait.count()));
        sendPage(response, "Sign-in failed",
            "<p>Too many failed sign-ins. Wait " + std::to_string((wait.count() + 59) / 60)
                + " minutes and try again.</p>",
            429);
        return;
    }
    const auto credentials = m_store->credentials(email);
    const bool valid
        = Passwords::verify(password, credentials ? credentials->passwordHash.value_or("") : std::string());
    if (!valid) {
        m_throttle.recordFailure(email, request.remote_addr, now);
        sendPage(response, "Sign-in failed",
            "<p>The e-mail address or the password is wrong. <a href=\"/auth/sign-in?code=" + htmlEscape(code)
                + "\">Try again</a>.</p>",
            401);
        return;
    }
    answerSignIn(response, m_store->completeSignIn(code, credentials->account.id), email);
}

void TallisenServer::answerSignIn(
    httplib::Response& response, SignInOutcome outcome, const std::string& email)
{
    switch (outcome) {
    case SignInOutcome::Completed:
        sendPage(response, "Signed in",
            "<p>You are signed in as " + htmlEscape(email)
                + ". You can close this window and return to Tallisen.</p>");
        return;
    case SignInOutcome::Unknown:
        sendPage(response, "Sign-in failed",
            "<p>This sign-in link is not valid. Start again from Tallisen.</p>", 404);
        return;
    case SignInOutcome::Expired:
    case SignInOutcome::Used:
        sendPage(response, "Sign-in failed",
            "<p>This sign-in link has expired. Start again from Tallisen.</p>", 410);
        return;
    }
}

void TallisenServer::exchange(const httplib::Request& request, httplib::Response& response)
{
    // 400 means "still waiting" to the client, so a malformed body must not answer 400.
    const auto body = parseObject(request.body, 422);
    const std::string code = requiredString(body, "code", 422);
    const auto result = m_store->exchange(code);
    switch (result.outcome) {
    case ExchangeOutcome::Issued:
        sendJson(response, { { "token", result.token } });
        return;
    case ExchangeOutcome::Pending:
        throw HttpError(400, "Sign-in is not finished yet.");
    case ExchangeOutcome::Unknown:
        throw HttpError(404, "This sign-in is not known to the server. Sign in again.");
    case ExchangeOutcome::Expired:
        throw HttpError(410, "This sign-in has expired. Sign in again.");
    case ExchangeOutcome::Used:
        throw HttpError(410, "This sign-in has already been used. Sign in again.");
    }
}

void TallisenServer::me(const httplib::Request& request, httplib::Response& response)
{
    const Account account = requireAccount(request);
    sendJson(response, { { "id", account.id }, { "email", account.email }, { "name", account.displayName } });
}

void TallisenServer::listRecordings(const httplib::Request& request, httplib::Response& response)
{
    const Account account = requireAccount(request);
    // Written piece by piece: one large JSON tree costs more than the query.
    std::string body = "{\"recordings\":[";
    for (const auto& recording : m_store->recordings(account.id)) {
        if (body.back() != '[') {
            body += ',';
        }
        body += recording.toJson().dump();
    }
    body += "]}";
    response.set_content(body, kJson);
}

void TallisenServer::deleteRecording(const httplib::Request& request, httplib::Response& response)
{
    const Account account = requireAccount(request);
    const std::string id = pathId(request, "recording");
    // Another account's transcript is as absent as one that never existed.
    if (!m_store->deleteRecording(account.id, id)) {
        throw HttpError(404, "Recording not found");
    }
    sendJson(response, { { "deleted", true } });
}

void TallisenServer::editRecording(const httplib::Request& request, httplib::Response& response)
{
    const Account account = requireAccount(request);
    const std::string id = pathId(request, "recording");
    if (!request.has_header("If-Match")) {
        throw HttpError(428, "Send the recording's version in an If-Match header.");
    }
    const auto expected = parseVersion(request.get_header_value("If-Match"));
    if (!expected) {
        throw HttpError(400, "The If-Match header must carry the recording's version, a whole number.");
    }
    const RecordingEdit edit = parseEdit(parseObject(request.body));
    const std::int64_t quota = std::int64_t { m_options.quotaMegabytes } * 1'000'000;
    EditResult result;
    try {
        result = m_store->editRecording(account.id, id, *expected, edit, quota);
    } catch (const QuotaExceeded&) {
        throw quotaRefusal(m_options.quotaMegabytes);
    }
    switch (result.outcome) {
    case EditOutcome::Unknown:
        throw HttpError(404, "Recording not found");
    case EditOutcome::Stale:
        throw HttpError(412, "This transcript was changed elsewhere. Refresh and try again.");
    case EditOutcome::Updated:
        sendJson(response, result.recording.toJson());
        return;
    }
}

void TallisenServer::saveTranscript(const httplib::Request& request, httplib::Response& response)
{
    const Account account = requireAccount(request);
    const auto key = WireFormat::canonicalUuid(request.get_header_value("Idempotency-Key"));
    if (!key) {
        throw HttpError(400, "The Idempotency-Key header must be a UUID.");
    }
    const auto body = parseObject(request.body);
    NewRecording fields;
    fields.transcript = requiredString(body, "transcript");
    const auto recordedAt = WireFormat::parseDate(requiredString(body, "recordedAt"));
    fields.emailTo = requiredString(body, "emailTo");
    fields.source = requiredString(body, "source");
    if (isBlank(fields.transcript)) {
        throw HttpError(400, "The transcript is empty.");
    }
    if (!recordedAt) {
        throw HttpError(400, "\"recordedAt\" must be an ISO 8601 date and time.");
    }
    fields.recordedAtMs = *recordedAt;
    if (!fields.emailTo.empty() && !WireFormat::isPlausibleEmail(fields.emailTo)) {
        throw HttpError(400, "\"emailTo\" is not a valid e-mail address.");
    }
    if (fields.source.empty() || fields.source.size() > 32) {
        throw HttpError(400, "\"source\" must name the app in at most 32 characters.");
    }
    const std::int64_t quota = std::int64_t { m_options.quotaMegabytes } * 1'000'000;
    std::pair<Recording, bool> saved;
    try {
        saved = m_store->saveRecording(account.id, *key, fields, quota);
    } catch (const QuotaExceeded&) {
        throw quotaRefusal(m_options.quotaMegabytes);
    }
    const auto& [recording, created] = saved;
    if (created) {
        const std::string id = recording.id;
        m_filing->post([this, id] { fileRecording(id); });
    }
    sendJson(response, recording.toJson());
}

void TallisenServer::transcribe(const httplib::Request& request, httplib::Response& response)
{
    const Account account = requireAccount(request);
    const std::string type = request.get_header_value("Content-Type");
    if (type.rfind("audio/", 0) != 0) {
        throw HttpError(415, "Send the audio with an audio/ content type such as audio/x-m4a.");
    }
    std::string prompt;
    if (request.has_header("X-Tallisen-Prompt")) {
        const auto decoded = WireFormat::percentDecode(request.get_header_value("X-Tallisen-Prompt"));
        if (!decoded || !WireFormat::isValidUtf8(*decoded)) {
            throw HttpError(400, "The X-Tallisen-Prompt header is not percent-encoded UTF-8.");
        }
        prompt = *decoded;
    }
    const auto pcm = AudioDecoder::decodeBytes(request.body, kTranscriptionSeconds);
    auto recognition = transcriber().transcribe({ request.body, pcm }, prompt);
    sendJson(response, { { "text", recognition.text } });
    m_recognitions.store(RecognitionCache::keyFor(account.id, request.body), std::move(recognition));
}

void TallisenServer::align(const httplib::Request& request, httplib::Response& response)
{
    const Account account = requireAccount(request);
    if (!request.is_multipart_form_data() || !request.has_file("text") || !request.has_file("file")) {
        throw HttpError(400, "Send a multipart form with a \"text\" part and a \"file\" part.");
    }
    const std::string text = request.get_file_value("text").content;
    const std::string audio = request.get_file_value("file").content;
    if (!WireFormat::isValidUtf8(text)) {
        throw HttpError(400, "The text part is not UTF-8.");
    }
    if (text.size() > kTranscriptBytes / 8) {
        throw HttpError(413, "The text part is too long.");
    }
    const std::string key = RecognitionCache::keyFor(account.id, audio);
    auto recognition = m_recognitions.find(key);
    if (!recognition) {
        const auto pcm = AudioDecoder::decodeBytes(audio, kTranscriptionSeconds);
        recognition = transcriber().transcribe({ audio, pcm }, {});
        m_recognitions.store(key, *recognition);
    }
    sendJson(response, { { "words", wordsJson(WordAligner::align(text, recognition->words)) } });
}

void TallisenServer::prepareDiarization(const httplib::Request& request, httplib::Response& response)
{
    const Account account = requireAccount(request);
    const std::string recordingId = pathId(request, "recording");
    const std::string capability = Secrets::randomToken();
    const auto job = m_store->prepareDiarization(account.id, recordingId, Secrets::sha256Hex(capability));
    if (job.status != DiarizationStatus::Upload) {
        sendJson(response, diarizationJson(job));
        return;
    }
    sendJson(response,
        { { "status", toText(DiarizationStatus::Upload) },
            { "uploadURL", m_publicUrl + "/v1/uploads/" + capability } });
}

void TallisenServer::startDiarization(const httplib::Request& request, httplib::Response& response)
{
    const Account account = requireAccount(request);
    const auto job = m_store->diarization(account.id, pathId(request, "recording"));
    if (!job) {
        throw HttpError(404, "No speaker detection was prepared for this recording.");
    }
    // Detection begins as soon as the audio arrives; starting only confirms it.
    if (job->status == DiarizationStatus::Upload) {
        throw HttpError(409, "Upload the recording before starting speaker detection.");
    }
    sendJson(response, diarizationJson(*job));
}

void TallisenServer::diarizationStatus(const httplib::Request& request, httplib::Response& response)
{
    const Account account = requireAccount(request);
    const auto job = m_store->diarization(account.id, pathId(request, "recording"));
    if (!job) {
        throw HttpError(404, "No speaker detection was prepared for this recording.");
    }
    sendJson(response, diarizationJson(*job));
}

void TallisenServer::receiveUpload(
    const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader)
{
    const std::string capabilityHash = Secrets::sha256Hex(request.matches[1].str());
    const auto job = m_store->diarizationForCapability(capabilityHash);
    if (!job) {
        // Read a small body so the client sees the answer rather than a reset connection.
        std::size_t discarded = 0;
        reader([&](const char*, std::size_t length) { return (discarded += length) <= kSmallBodyBytes; });
        GuardedHttpServer::closeAfterResponse();
        throw HttpError(404, "This upload address is not valid.");
    }
    if (!request.has_header("Content-Length")) {
        throw HttpError(411, "Send the recording with a Content-Length.");
    }
    // Leave room for the database: a full disk would stop every account, not just this upload.
    struct statvfs disk
    {
    };
    const auto length = std::strtoull(request.get_header_value("Content-Length").c_str(), nullptr, 10);
    if (::statvfs(m_options.dataDir.c_str(), &disk) == 0
        && static_cast<unsigned long long>(disk.f_bavail) * disk.f_frsize < length + kDiskReserveBytes) {
        GuardedHttpServer::closeAfterResponse();
        throw HttpError(507, "The server's disk is too full to take this recording. Try again later.");
    }
    const std::string base
        = m_options.dataDir + "/uploads/" + Secrets::sha256Hex(job->accountId + job->recordingId);
    // Uploads racing on one address each write their own file; only one is accepted.
    const std::string partial = base + "." + Secrets::randomToken() + ".part";
    std::size_t received = 0;
    {
        std::ofstream file(partial, std::ios::binary | std::ios::trunc);
        ::chmod(partial.c_str(), 0600);
        const bool complete = reader([&](const char* data, std::size_t length) {
            received += length;
            return received <= kUploadBytes
                && static_cast<bool>(file.write(data, static_cast<std::streamsize>(length)));
        });
        if (!complete || !file.flush()) {
            GuardedHttpServer::closeAfterResponse();
            std::error_code ignored;
            fs::remove(partial, ignored);
            throw HttpError(received > kUploadBytes ? 413 : 400, "The recording upload did not complete.");
        }
    }
    if (received == 0) {
        fs::remove(partial);
        throw HttpError(400, "The recording upload is empty.");
    }
    const std::string path = base + ".audio";
    if (!m_store->acceptUpload(capabilityHash, path)) {
        fs::remove(partial);
        throw HttpError(409, "This upload address has already been used.");
    }
    fs::rename(partial, path);
    auto accepted = *job;
    accepted.status = DiarizationStatus::Starting;
    accepted.audioPath = path;
    m_detection->post([this, accepted] { runDiarization(accepted); });
    sendJson(response, { { "status", toText(DiarizationStatus::Starting) } });
}

void TallisenServer::fileRecording(const std::string& recordingId)
{
    const auto recording = m_store->recording(recordingId);
    if (!recording) {
        return;
    }
    try {
        const auto filing = Librarian::file(recording->transcript);
        m_store->updateCleanup(
            recordingId, filing.title, filing.category, filing.languageCodes, CleanupStatus::Completed);
    } catch (const std::exception& error) {
        m_store->updateCleanup(
            recordingId, recording->title, std::nullopt, recording->languageCodes, CleanupStatus::Failed);
        std::cerr << "tallisen-server: naming a transcript failed: " << error.what() << '\n';
    }
    if (recording->emailTo.empty()) {
        return;
    }
    if (!m_store->mayMail(recording->accountId, WireFormat::lowerCase(recording->emailTo))) {
        m_store->updateEmailStatus(recordingId, EmailStatus::Failed);
        std::cerr
            << "tallisen-server: a transcript was not e-mailed: its address is neither the account's own "
               "nor one the owner allowed (tallisen-server user allow).\n";
        return;
    }
    try {
        Outbox::deliver(m_options.dataDir + "/outbox", *m_store->recording(recordingId));
        m_store->updateEmailStatus(recordingId, EmailStatus::Sent);
    } catch (const std::exception& error) {
        m_store->updateEmailStatus(recordingId, EmailStatus::Failed);
        std::cerr << "tallisen-server: e-mailing a transcript failed: " << error.what() << '\n';
    }
}

void TallisenServer::runDiarization(const DiarizationJob& job)
{
    m_store->setDiarizationStatus(job.accountId, job.recordingId, DiarizationStatus::Pending);
    try {
        SpeakerDetector::Analysis analysis(m_options.dataDir + "/uploads");
        AudioDecoder::decodeFileInBlocks(job.audioPath.value_or(""), kDetectionSeconds,
            [&](const std::int16_t* samples, std::size_t count) { analysis.add(samples, count); });
        auto segments = nlohmann::json::array();
        for (const auto& turn : analysis.finish()) {
            segments.push_back({ { "start", milliseconds(turn.start) }, { "end", milliseconds(turn.end) },
                { "speaker", turn.speaker } });
        }
        m_store->setDiarizationStatus(
            job.accountId, job.recordingId, DiarizationStatus::Succeeded, segments.dump());
    } catch (const HttpError& error) {
        // The decoder's refusals are sentences about the user's audio.
        std::cerr << "tallisen-server: speaker detection failed: " << error.what() << '\n';
        m_store->setDiarizationStatus(
            job.accountId, job.recordingId, DiarizationStatus::Failed, std::nullopt, error.what());
    } catch (const std::exception& error) {
        std::cerr << "tallisen-server: speaker detection failed: " << error.what() << '\n';
        m_store->setDiarizationStatus(job.accountId, job.recordingId, DiarizationStatus::Failed, std::nullopt,
            "The server could not analyse the recording's speakers.");
    }
    // The audio was only needed for detection.
    std::error_code ignored;
    fs::remove(job.audioPath.value_or(""), ignored);
}

} // namespace server
