#include "IdentityProvider.h"
#include "ServerFixture.h"

// Sign-in through an OpenID Connect provider of our own, over real HTTP, the
// browser's redirects followed by hand.
namespace {

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
