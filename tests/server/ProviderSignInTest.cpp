#include "ServerFixture.h"

#include "Secrets.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <map>
#include <mutex>

// Sign-in through an OpenID Connect provider of our own, over real HTTP, the
// browser's redirects followed by hand.
namespace {

// A small OpenID Connect provider on loopback: discovery, keys, an authorization
// endpoint that signs its one user in at once, and a token endpoint that checks
// PKCE and issues RS256 ID tokens, which a test may alter before signing.
class IdentityProvider
{
public:
    using Tamper = std::function<void(nlohmann::json& header, nlohmann::json& claims)>;

    IdentityProvider()
        : m_key(newKey())
        , m_otherKey(newKey())
    {
        m_server.Get("/.well-known/openid-configuration", [this](const auto&, auto& response) {
            response.set_content(
                nlohmann::json { { "issuer", issuer() },
                    { "authorization_endpoint", issuer() + "/authorize" },
                    { "token_endpoint", issuer() + "/token" }, { "jwks_uri", issuer() + "/jwks" } }
                    .dump(),
                "application/json");
        });
        m_server.Get("/jwks", [this](const auto&, auto& response) {
            const std::lock_guard lock(m_mutex);
            response.set_content(
                nlohmann::json { { "keys", { publicKey(m_key.get(), m_kid) } } }.dump(), "application/json");
        });
        m_server.Get("/authorize", [this](const httplib::Request& request, httplib::Response& response) {
            authorize(request, response);
        });
        m_server.Post("/token", [this](const httplib::Request& request, httplib::Response& response) {
            token(request, response);
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    ~IdentityProvider()
    {
        m_server.stop();
        m_thread.join();
    }

    std::string issuer() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    httplib::Client client() const { return httplib::Client("127.0.0.1", m_port); }

    // The user the provider signs in, and how the next ID tokens are altered.
    void setUser(const std::string& email) { m_email = email; }
    void setTamper(Tamper tamper) { m_tamper = std::move(tamper); }
    // Signs with a key the published set does not hold.
    void signWithUnpublishedKey(bool unpublished) { m_unpublished = unpublished; }
    // A new key under a new id, as providers roll their keys.
    void rotateKey()
    {
        const std::lock_guard lock(m_mutex);
        m_key = newKey();
        m_kid = "key-" + server::Secrets::randomToken().substr(0, 8);
    }

private:
    struct Grant
    {
        std::string clientId;
        std::string redirectUri;
        std::string nonce;
        std::string challenge;
    };
    using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

    static Key newKey() { return Key(EVP_RSA_gen(2048), EVP_PKEY_free); }

    static std::string bigNumber(EVP_PKEY* key, const char* name)
    {
        BIGNUM* number = nullptr;
        EVP_PKEY_get_bn_param(key, name, &number);
        std::string bytes(static_cast<std::size_t>(BN_num_bytes(number)), '\0');
        BN_bn2bin(number, reinterpret_cast<unsigned char*>(bytes.data()));
        BN_free(number);
        return server::Secrets::base64Url(bytes);
    }

    static nlohmann::json publicKey(EVP_PKEY* key, const std::string& kid)
    {
        return { { "kty", "RSA" }, { "use", "sig" }, { "alg", "RS256" }, { "kid", kid },
            { "n", bigNumber(key, OSSL_PKEY_PARAM_RSA_N) }, { "e", bigNumber(key, OSSL_PKEY_PARAM_RSA_E) } };
    }

    static std::string sign(EVP_PKEY* key, const std::string& text)
    {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        std::size_t size = 0;
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key);
        EVP_DigestSign(
            context.get(), nullptr, &size, reinterpret_cast<const unsigned char*>(text.data()), text.size());
        std::string signature(size, '\0');
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
            reinterpret_cast<const unsigned char*>(text.data()), text.size());
        signature.resize(size);
        return signature;
    }

    void authorize(const httplib::Request& request, httplib::Response& response)
    {
        if (request.get_param_value("response_type") != "code"
            || request.get_param_value("code_challenge_method") != "S256"
            || request.get_param_value("code_challenge").size() != 43) {
            response.status = 400;
            return;
        }
        const std::string code = server::Secrets::randomToken();
        const std::lock_guard lock(m_mutex);
        m_grants[code] = { request.get_param_value("client_id"), request.get_param_value("redirect_uri"),
            request.get_param_value("nonce"), request.get_param_value("code_challenge") };
        response.set_redirect(request.get_param_value("redirect_uri") + "?code=" + code
            + "&state=" + request.get_param_value("state"));
    }

    void token(const httplib::Request& request, httplib::Response& response)
    {
        const std::lock_guard lock(m_mutex);
        const auto found = m_grants.find(request.get_param_value("code"));
        const bool valid = found != m_grants.end()
            && request.get_param_value("grant_type") == "authorization_code"
            && request.get_param_value("client_id") == found->second.clientId
            && request.get_param_value("redirect_uri") == found->second.redirectUri
            && server::Secrets::base64Url(server::Secrets::sha256(request.get_param_value("code_verifier")))
                == found->second.challenge;
        if (!valid) {
            response.status = 400;
            response.set_content(R"({"error":"invalid_grant"})", "application/json");
            return;
        }
        const Grant grant = found->second;
        m_grants.erase(found);
        const auto now = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::system_clock::now().time_since_epoch())
                             .count();
        nlohmann::json header { { "alg", "RS256" }, { "typ", "JWT" }, { "kid", m_kid } };
        nlohmann::json claims { { "iss", issuer() }, { "sub", "user-1" }, { "aud", grant.clientId },
            { "email", m_email }, { "email_verified", true }, { "nonce", grant.nonce }, { "iat", now },
            { "exp", now + 300 } };
        if (m_tamper) {
            m_tamper(header, claims);
        }
        const std::string signedText
            = server::Secrets::base64Url(header.dump()) + "." + server::Secrets::base64Url(claims.dump());
        const std::string signature = header["alg"] == "RS256"
            ? sign(m_unpublished ? m_otherKey.get() : m_key.get(), signedText)
            : "";
        response.set_content(
            nlohmann::json { { "id_token", signedText + "." + server::Secrets::base64Url(signature) },
                { "access_token", "unused" }, { "token_type", "Bearer" } }
                .dump(),
            "application/json");
    }

    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
    std::mutex m_mutex;
    Key m_key;
    Key m_otherKey;
    std::string m_kid = "key-1";
    std::string m_email = "alice@example.com";
    Tamper m_tamper;
    bool m_unpublished = false;
    std::map<std::string, Grant> m_grants;
};

class ProviderSignIn : public ServerFixture
{
protected:
    void SetUp() override
    {
        start(nullptr, [this](auto& options) { options.oidcIssuer = m_provider.issuer(); });
        addUser("alice@example.com");
    }

    // The provider's redirect back to the server, as the browser would receive it.
    std::string callbackFor(const std::string& code)
    {
        const auto page = client()->Get("/auth/sign-in?code=" + code);
        EXPECT_NE(page->body.find("/auth/oidc?code=" + code), std::string::npos) << page->body;
        const auto toProvider = client()->Get("/auth/oidc?code=" + code);
        EXPECT_EQ(toProvider->status, 302) << toProvider->body;
        const std::string authorize = toProvider->get_header_value("Location");
        EXPECT_EQ(authorize.rfind(m_provider.issuer() + "/authorize?", 0), 0u) << authorize;
        const auto back = m_provider.client().Get(authorize.substr(m_provider.issuer().size()));
        EXPECT_EQ(back->status, 302);
        return back->get_header_value("Location");
    }

    httplib::Result finish(const std::string& callback) { return client()->Get(pathOf(callback)); }

    IdentityProvider m_provider;
};

// PKCE: a provider code caught on its way back cannot finish another sign-in,
// since only the server holds the verifier that belongs to each state.
TEST_F(ProviderSignIn, SignsInTheAccountTheProviderVouchesForWithTheCodeOfThatSignInOnly)
{
    const auto codeOf = [](const std::string& url) {
        const auto start = url.find("code=") + 5;
        return url.substr(start, url.find('&', start) - start);
    };
    m_provider.setUser("Alice@Example.com");
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "first key" : "after the provider rolled its key");
        const std::string code = prepareCode();
        const std::string callback = callbackFor(code);
        const std::string attacker = prepareCode();
        std::string swapped = callbackFor(attacker);
        swapped.replace(swapped.find(codeOf(swapped)), codeOf(swapped).size(), codeOf(callback));
        EXPECT_EQ(finish(swapped)->status, 401);
        EXPECT_EQ(exchange(attacker)->status, 400);

        const auto page = finish(callback);
        EXPECT_EQ(page->status, 200) << page->body;
        EXPECT_NE(page->body.find("alice@example.com"), std::string::npos);
        const auto exchanged = exchange(code);
        ASSERT_EQ(exchanged->status, 200) << exchanged->body;
        const auto me = json(client()->Get("/v1/me", bearer(json(exchanged).at("token"))));
        EXPECT_EQ(me.at("email"), "alice@example.com");
        // The provider's answer is good once.
        EXPECT_EQ(finish(callback)->status, 400);
        m_provider.rotateKey();
    }
}

TEST_F(ProviderSignIn, RefusesTokensItCannotTrust)
{
    using Claims = nlohmann::json;
    const auto claim = [](const char* name, Claims value) {
        return [name, value](auto&, Claims& claims) { claims[name] = value; };
    };
    const auto shiftedBy = [](const char* name, long seconds) {
        return [name, seconds](auto&, Claims& claims) { claims[name] = claims["iat"].get<long>() + seconds; };
    };
    const auto algorithm
        = [](const char* name) { return [name](Claims& header, auto&) { header["alg"] = name; }; };
    const std::vector<std::tuple<const char*, IdentityProvider::Tamper, bool, int>> cases {
        { "signed with a key the provider does not publish", {}, true, 401 },
        { "unsigned", algorithm("none"), false, 401 },
        { "HS256", algorithm("HS256"), false, 401 },
        { "another issuer", claim("iss", "https://idp.example"), false, 401 },
        { "another application", claim("aud", "other-app"), false, 401 },
        { "several audiences, not issued to us", claim("aud", { "tallisen-test", "other-app" }), false, 401 },
        { "expired", shiftedBy("exp", -3600), false, 401 },
        { "issued in the future", shiftedBy("iat", 3600), false, 401 },
        { "another sign-in's nonce", claim("nonce", "replayed"), false, 401 },
        { "an unverified address", claim("email_verified", false), false, 401 },
        { "a non-string claim", claim("email", 42), false, 401 },
        { "an address with no account", claim("email", "mallory@example.com"), false, 403 },
    };
    for (const auto& [name, tamper, unpublishedKey, status] : cases) {
        SCOPED_TRACE(name);
        m_provider.setTamper(tamper);
        m_provider.signWithUnpublishedKey(unpublishedKey);
        const std::string code = prepareCode();
        const auto page = finish(callbackFor(code));
        EXPECT_EQ(page->status, status) << page->body;
        EXPECT_EQ(exchange(code)->status, 400) << "the sign-in must still be waiting";
    }
}

} // namespace
