#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

// Sign-in through the owner's OpenID Connect provider: the authorization code
// flow with PKCE (S256), and the ID token checked against the provider's
// published keys, issuer, audience, expiry and nonce.
namespace server {

class OpenIdConnect
{
public:
    struct Settings
    {
        std::string issuer;
        std::string clientId;
        std::string clientSecret;
        std::string redirectUri;
    };

    struct Identity
    {
        std::string signInCode;
        std::string email;
    };

    explicit OpenIdConnect(Settings settings);

    // The provider's address that signs in whoever holds `signInCode`. Throws HttpError.
    std::string authorizationUrl(const std::string& signInCode);
    // The provider's answer for `state`, taken once: the code is exchanged with
    // the PKCE verifier and the ID token checked. Throws HttpError 400/401/502.
    Identity complete(const std::string& state, const std::string& code);

    static constexpr std::size_t kMaximumPending = 10'000;
    static constexpr std::chrono::minutes kPendingLifetime { 10 };
    // Clocks of the provider and the server may differ this much.
    static constexpr std::chrono::seconds kClockSkew { 60 };

private:
    struct Pending
    {
        std::string signInCode;
        std::string verifier;
        std::string nonce;
        std::chrono::steady_clock::time_point created;
    };

    nlohmann::json metadata();
    nlohmann::json keys(bool afresh);
    Pending take(const std::string& state);
    void checkClaims(const nlohmann::json& claims, const Pending& pending) const;

    Settings m_settings;
    std::mutex m_mutex;
    std::map<std::string, Pending> m_pending;
    std::optional<nlohmann::json> m_metadata;
    std::optional<nlohmann::json> m_keys;
};

} // namespace server
