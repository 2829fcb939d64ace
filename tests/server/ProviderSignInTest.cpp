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
        m_oidcIssuer = m_provider.issuer();
        start();
        addUser("alice@example.com");
    }

    std::string pathOnServer(const std::string& url) const
    {
        return url.substr(m_server->publicUrl().size());
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

    httplib::Result finish(const std::string& callback) { return client()->Get(pathOnServer(callback)); }

    IdentityProvider m_provider;
};

TEST_F(ProviderSignIn, SignsInTheAccountTheProviderVouchesFor)
{
    m_provider.setUser("Alice@Example.com");
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "first key" : "after the provider rolled its key");
        const std::string code = prepareCode();
        const std::string callback = callbackFor(code);
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
    using Tamper = IdentityProvider::Tamper;
    struct Case
    {
        const char* name;
        Tamper tamper;
        bool unpublishedKey;
        int status;
    };
    const std::vector<Case> cases {
        { "signed with a key the provider does not publish", {}, true, 401 },
        { "unsigned", [](auto& header, auto&) { header["alg"] = "none"; }, false, 401 },
        { "HS256", [](auto& header, auto&) { header["alg"] = "HS256"; }, false, 401 },
        { "another issuer", [](auto&, auto& claims) { claims["iss"] = "https://idp.example"; }, false, 401 },
        { "another application", [](auto&, auto& claims) { claims["aud"] = "other-app"; }, false, 401 },
        { "several audiences, not issued to us",
            [](auto&, auto& claims) {
                claims["aud"] = { "tallisen-test", "other-app" };
            },
            false, 401 },
        { "expired", [](auto&, auto& claims) { claims["exp"] = claims["iat"].template get<long>() - 3600; },
            false, 401 },
        { "issued in the future",
            [](auto&, auto& claims) { claims["iat"] = claims["iat"].template get<long>() + 3600; }, false,
            401 },
        { "another sign-in's nonce", [](auto&, auto& claims) { claims["nonce"] = "replayed"; }, false, 401 },
        { "an unverified address", [](auto&, auto& claims) { claims["email_verified"] = false; }, false,
            401 },
        { "a non-string claim", [](auto&, auto& claims) { claims["email"] = 42; }, false, 401 },
        { "an address with no account", [](auto&, auto& claims) { claims["email"] = "mallory@example.com"; },
            false, 403 },
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.name);
        m_provider.setTamper(item.tamper);
        m_provider.signWithUnpublishedKey(item.unpublishedKey);
        const std::string code = prepareCode();
        const auto page = finish(callbackFor(code));
        EXPECT_EQ(page->status, item.status) << page->body;
        EXPECT_EQ(exchange(code)->status, 400) << "the sign-in must still be waiting";
    }
}

// PKCE: a provider code caught on its way back cannot finish another sign-in,
// since only the server holds the verifier that belongs to each state.
TEST_F(ProviderSignIn, ACodeFinishesOnlyTheSignInItWasIssuedFor)
{
    const std::string victim = prepareCode();
    const std::string attacker = prepareCode();
    const std::string victimCallback = callbackFor(victim);
    const std::string attackerCallback = callbackFor(attacker);
    const auto codeOf = [](const std::string& url) {
        const auto start = url.find("code=") + 5;
        return url.substr(start, url.find('&', start) - start);
    };
    std::string swapped = attackerCallback;
    swapped.replace(
        swapped.find(codeOf(attackerCallback)), codeOf(attackerCallback).size(), codeOf(victimCallback));
    EXPECT_EQ(finish(swapped)->status, 401);
    EXPECT_EQ(exchange(attacker)->status, 400);
    EXPECT_EQ(finish(victimCallback)->status, 200);
    EXPECT_EQ(exchange(victim)->status, 200);
}

using PasswordsOnly = ServerFixture;

TEST_F(PasswordsOnly, OffersNoProviderSignIn)
{
    const std::string code = prepareCode();
    EXPECT_EQ(client()->Get("/auth/sign-in?code=" + code)->body.find("/auth/oidc"), std::string::npos);
    EXPECT_EQ(client()->Get("/auth/oidc?code=" + code)->status, 404);
    EXPECT_EQ(client()->Get("/auth/oidc/callback?state=x&code=y")->status, 404);
}

TEST(ServerOptions, AProviderNeedsAClientIdAndHttps)
{
    using server::ServerOptions;
    EXPECT_THROW(ServerOptions::parse({ "--oidc-issuer", "https://idp.example" }), std::invalid_argument);
    EXPECT_THROW(ServerOptions::parse({ "--oidc-issuer", "http://idp.example", "--oidc-client-id", "t" }),
        std::invalid_argument);
    EXPECT_EQ(
        ServerOptions::parse({ "--oidc-issuer", "https://idp.example", "--oidc-client-id", "t" }).oidcIssuer,
        "https://idp.example");
}

} // namespace
