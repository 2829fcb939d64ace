#include "OpenIdConnect.h"

#include "HttpError.h"
#include "JsonWebToken.h"
#include "Secrets.h"
#include "ServerOptions.h"
#include "WireFormat.h"

#include <httplib.h>

namespace server {

namespace {

constexpr time_t kProviderTimeoutSeconds = 10;

constexpr auto text = JsonWebToken::stringMember;

// A provider error is not the user's fault when the provider itself fails, but a
// refused code or token is a failed sign-in.
nlohmann::json fetchJson(const std::string& url, const httplib::Params* form, int refusal)
{
    const auto scheme = url.find("://");
    const auto pathStart = scheme == std::string::npos ? scheme : url.find('/', scheme + 3);
    if (scheme == std::string::npos || (!url.starts_with("https://") && !isLoopbackUrl(url))) {
        throw HttpError(502, "The identity provider's address " + url + " is not an HTTPS address.");
    }
    const std::string origin = url.substr(0, pathStart);
    const std::string path = pathStart == std::string::npos ? "/" : url.substr(pathStart);
    httplib::Client client(origin);
    client.set_connection_timeout(kProviderTimeoutSeconds, 0);
    client.set_read_timeout(kProviderTimeoutSeconds, 0);
    client.enable_server_certificate_verification(true);
    const auto result = form ? client.Post(path, *form) : client.Get(path);
    if (!result) {
        throw HttpError(502, "The identity provider at " + origin + " could not be reached.");
    }
    const auto body = nlohmann::json::parse(result->body, nullptr, false);
    if (result->status != 200 || !body.is_object()) {
        const std::string reason = body.is_object() ? text(body, "error") : std::string();
        throw HttpError(result->status == 200 ? 502 : refusal,
            "The identity provider answered " + std::to_string(result->status)
                + (reason.empty() ? std::string() : " (" + reason + ")") + ".");
    }
    return body;
}

[[noreturn]] void refuse(const std::string& why)
{
    throw HttpError(401, "The identity provider's sign-in was refused: " + why + ".");
}

bool hasAudience(const nlohmann::json& claims, const std::string& clientId)
{
    const auto audience = claims.find("aud");
    if (audience == claims.end()) {
        return false;
    }
    if (audience->is_string()) {
        return *audience == clientId;
    }
    if (!audience->is_array()) {
        return false;
    }
    bool listed = false;
    for (const auto& entry : *audience) {
        listed = listed || (entry.is_string() && entry == clientId);
    }
    // A token for several audiences must say it was issued to us.
    return listed && (audience->size() == 1 || text(claims, "azp") == clientId);
}

} // namespace

OpenIdConnect::OpenIdConnect(Settings settings)
    : m_settings(std::move(settings))
{ }

nlohmann::json OpenIdConnect::metadata()
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_metadata) {
            return *m_metadata;
        }
    }
    std::string base = m_settings.issuer;
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    auto found = fetchJson(base + "/.well-known/openid-configuration", nullptr, 502);
    if (text(found, "issuer") != m_settings.issuer) {
        throw HttpError(502, "The identity provider names another issuer than " + m_settings.issuer + ".");
    }
    for (const char* key : { "authorization_endpoint", "token_endpoint", "jwks_uri" }) {
        if (text(found, key).empty()) {
            throw HttpError(502, std::string("The identity provider publishes no ") + key + ".");
        }
    }
    const std::lock_guard lock(m_mutex);
    m_metadata = found;
    return found;
}

nlohmann::json OpenIdConnect::keys(bool afresh)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_keys && !afresh) {
            return *m_keys;
        }
    }
    auto found = fetchJson(text(metadata(), "jwks_uri"), nullptr, 502);
    const std::lock_guard lock(m_mutex);
    m_keys = found;
    return found;
}

std::string OpenIdConnect::authorizationUrl(const std::string& signInCode)
{
    const std::string endpoint = text(metadata(), "authorization_endpoint");
    const Pending pending { signInCode, Secrets::randomToken(), Secrets::randomToken(),
        std::chrono::steady_clock::now() };
    const std::string state = Secrets::randomToken();
    {
        const std::lock_guard lock(m_mutex);
        std::erase_if(m_pending,
            [&](const auto& entry) { return pending.created - entry.second.created > kPendingLifetime; });
        if (m_pending.size() >= kMaximumPending) {
            throw HttpError(
                503, "Too many sign-ins are waiting to be completed. Try again in a few minutes.");
        }
        m_pending.emplace(state, pending);
    }
    using WireFormat::percentEncode;
    return endpoint + (endpoint.find('?') == std::string::npos ? "?" : "&")
        + "response_type=code&scope=openid%20email&client_id=" + percentEncode(m_settings.clientId)
        + "&redirect_uri=" + percentEncode(m_settings.redirectUri) + "&state=" + state + "&nonce="
        + pending.nonce + "&code_challenge=" + Secrets::base64Url(Secrets::sha256(pending.verifier))
        + "&code_challenge_method=S256";
}

OpenIdConnect::Pending OpenIdConnect::take(const std::string& state)
{
    const std::lock_guard lock(m_mutex);
    const auto found = m_pending.find(state);
    if (found == m_pending.end()) {
        throw HttpError(400, "This sign-in is unknown, used or expired. Start again from Tallisen.");
    }
    const Pending pending = found->second;
    m_pending.erase(found);
    if (std::chrono::steady_clock::now() - pending.created > kPendingLifetime) {
        throw HttpError(400, "This sign-in is unknown, used or expired. Start again from Tallisen.");
    }
    return pending;
}

void OpenIdConnect::checkClaims(const nlohmann::json& claims, const Pending& pending) const
{
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch());
    if (text(claims, "iss") != m_settings.issuer) {
        refuse("the token comes from another issuer");
    }
    if (!hasAudience(claims, m_settings.clientId)) {
        refuse("the token was issued to another application");
    }
    const auto expiry = claims.find("exp");
    if (expiry == claims.end() || !expiry->is_number()
        || expiry->get<double>() + kClockSkew.count() < now.count()) {
        refuse("the token has expired");
    }
    const auto issued = claims.find("iat");
    if (issued != claims.end()
        && (!issued->is_number() || issued->get<double>() - kClockSkew.count() > now.count())) {
        refuse("the token was issued in the future");
    }
    if (text(claims, "nonce") != pending.nonce) {
        refuse("the token belongs to another sign-in");
    }
    const auto verified = claims.find("email_verified");
    if (!WireFormat::isPlausibleEmail(text(claims, "email")) || verified == claims.end()
        || *verified != true) {
        refuse("the provider vouches for no e-mail address");
    }
}

OpenIdConnect::Identity OpenIdConnect::complete(const std::string& state, const std::string& code)
{
    const Pending pending = take(state);
    httplib::Params form { { "grant_type", "authorization_code" }, { "code", code },
        { "redirect_uri", m_settings.redirectUri }, { "client_id", m_settings.clientId },
        { "code_verifier", pending.verifier } };
    if (!m_settings.clientSecret.empty()) {
        form.emplace("client_secret", m_settings.clientSecret);
    }
    const auto tokens = fetchJson(text(metadata(), "token_endpoint"), &form, 401);
    const std::string idToken = text(tokens, "id_token");
    if (idToken.empty()) {
        refuse("the provider sent no ID token");
    }
    auto published = keys(false);
    // A key the set does not hold yet may be a rotation: fetch the set once more.
    if (!JsonWebToken::namesKnownKey(idToken, published)) {
        published = keys(true);
    }
    const auto claims = JsonWebToken::verifiedClaims(idToken, published);
    checkClaims(claims, pending);
    return { pending.signInCode, WireFormat::lowerCase(text(claims, "email")) };
}

} // namespace server
