#include "ServerFixture.h"

#include "Passwords.h"
#include "Secrets.h"
#include "SignInThrottle.h"
#include "UserCommand.h"

#include <sstream>

// Sign-in replayed as an attacker would try it: other people's addresses, reused
// codes, guessed passwords, stolen and forgotten tokens.
namespace {

using server::SignInThrottle;

class SignInAttack : public ServerFixture
{
protected:
    int userCommand(const std::vector<std::string>& arguments, const std::string& input = "")
    {
        std::istringstream in(input);
        std::ostringstream errors;
        m_output.str({});
        auto withDataDir = arguments;
        withDataDir.insert(withDataDir.end(), { "--data-dir", m_dataDir });
        const int status = server::UserCommand::run(withDataDir, in, m_output, errors);
        m_errors = errors.str();
        return status;
    }

    std::ostringstream m_output;
    std::string m_errors;
};

TEST_F(SignInAttack, OnlyTheAccountsOwnPasswordSignsIntoItAndTheCodeStaysWithIt)
{
    addUser("alice@example.com", "alice's long secret");
    addUser("mallory@example.com", "mallory's long secret");
    for (const auto& [email, password] : std::vector<std::pair<const char*, const char*>> {
             { "ALICE@example.com", "mallory's long secret" }, { "alice@example.com", "" },
             { "alice@example.com", "alice's long secre" }, { "alice@example.com", "ALICE'S LONG SECRET" },
             { "nobody@example.com", "alice's long secret" }, { "", "alice's long secret" } }) {
        SCOPED_TRACE(std::string(email) + " / " + password);
        const std::string code = prepareCode();
        const auto answer = approve(code, email, password);
        EXPECT_EQ(answer->status, 401);
        EXPECT_NE(answer->body.find("password is wrong"), std::string::npos);
        EXPECT_EQ(exchange(code)->status, 400);
    }
    // The code then stays with the first account that completed it.
    const std::string code = prepareCode();
    EXPECT_EQ(approve(code, "Alice@Example.com", "alice's long secret")->status, 200);
    EXPECT_EQ(approve(code, "mallory@example.com", "mallory's long secret")->status, 410);
    // Alice opening her page twice is harmless.
    EXPECT_EQ(approve(code, "alice@example.com", "alice's long secret")->status, 200);
    EXPECT_EQ(meEmail(json(exchange(code)).at("token")), "alice@example.com");
}

TEST_F(SignInAttack, GuessingIsStoppedPerAccountEvenWithTheRightPasswordNext)
{
    addUser("alice@example.com");
    for (int i = 0; i < SignInThrottle::kAccountFailures; ++i) {
        EXPECT_EQ(approve(prepareCode(), "alice@example.com", "guess " + std::to_string(i))->status, 401);
    }
    const std::string code = prepareCode();
    const auto stopped = approve(code, "alice@example.com");
    EXPECT_EQ(stopped->status, 429);
    EXPECT_FALSE(stopped->get_header_value("Retry-After").empty());
    EXPECT_EQ(exchange(code)->status, 400);
    // Another account from the same address is not locked out by Alice's.
    EXPECT_FALSE(signIn("bob@example.com").empty());
}

TEST_F(SignInAttack, CodesAskedForWithoutSigningInAreBounded)
{
    for (std::size_t i = 0; i < server::Store::kMaximumOpenSignIns; ++i) {
        ASSERT_TRUE(m_server->store().createSignIn());
    }
    const auto refused = client()->Post("/auth/google/prepare", "", "application/json");
    EXPECT_EQ(refused->status, 503);
    EXPECT_FALSE(errorOf(refused).empty());
    age("signIns", "createdAt", server::Store::kSignInLifetimeMs + 1);
    EXPECT_FALSE(prepareCode().empty()) << "codes nobody completed in time are forgotten";
}

TEST(SignInThrottle, EachLimitHoldsForItsWindowOnly)
{
    const auto start = SignInThrottle::Clock::now();
    constexpr int account = SignInThrottle::kAccountFailures;
    constexpr int address = SignInThrottle::kAddressFailures;
    // Failures, whether each was for another account, how much later it is asked, whether it is stopped.
    const std::vector<std::tuple<const char*, int, bool, std::chrono::seconds, bool>> cases {
        { "one short of the account limit", account - 1, false, {}, false },
        { "at the account limit", account, false, {}, true },
        { "at the account limit, window over", account, false, SignInThrottle::kWindow, false },
        { "one address, many accounts, under its limit", address - 1, true, {}, false },
        { "one address, many accounts, at its limit", address, true, {}, true },
    };
    for (const auto& [name, failures, manyAccounts, later, stopped] : cases) {
        SCOPED_TRACE(name);
        SignInThrottle throttle;
        for (int i = 0; i < failures; ++i) {
            throttle.recordFailure(manyAccounts ? "user" + std::to_string(i) : "alice", "10.0.0.1", start);
        }
        const auto wait = throttle.wait(manyAccounts ? "fresh" : "alice", "10.0.0.1", start + later);
        EXPECT_EQ(wait.count() > 0, stopped) << wait.count();
        EXPECT_LE(wait, std::chrono::duration_cast<std::chrono::seconds>(SignInThrottle::kWindow));
    }
}

TEST_F(SignInAttack, RevokedAndIdleTokensNoLongerWork)
{
    const std::string kept = signIn("alice@example.com");
    const std::string revoked = signIn("alice@example.com");
    const std::string idle = signIn("alice@example.com");
    const auto tokens = m_server->store().tokens("alice@example.com");
    ASSERT_EQ(tokens.size(), 3u);
    const std::string revokedId = server::Secrets::sha256Hex(revoked).substr(0, tokens.front().id.size());
    EXPECT_EQ(m_server->store().revokeTokens("alice@example.com", revokedId), 1);
    EXPECT_EQ(m_server->store().revokeTokens("alice@example.com", std::string()), 0);
    age("tokens", "lastUsedAt", std::int64_t { 31 } * 24 * 3600 * 1000,
        "hash = '" + server::Secrets::sha256Hex(idle) + "'");
    EXPECT_EQ(meEmail(kept), "alice@example.com");
    for (const auto& token : { revoked, idle }) {
        EXPECT_EQ(client()->Get("/v1/me", bearer(token))->status, 401);
    }
    EXPECT_EQ(m_server->store().tokens("alice@example.com").size(), 1u);
}

TEST_F(SignInAttack, TheOwnersUserCommandDecidesWhoGetsIn)
{
    EXPECT_EQ(userCommand({ "add", "Carol@Example.com", "--name", "Carol" }, "short\n"), 2);
    EXPECT_NE(m_errors.find("at least"), std::string::npos) << m_errors;
    ASSERT_EQ(userCommand({ "add", "Carol@Example.com", "--name", "Carol" }, "carol's first password\n"), 0)
        << m_errors;
    EXPECT_EQ(userCommand({ "add", "carol@example.com" }, "another password here\n"), 1);

    const std::string code = prepareCode();
    ASSERT_EQ(approve(code, "carol@example.com", "carol's first password")->status, 200);
    const std::string token = json(exchange(code)).at("token");
    EXPECT_EQ(meEmail(token), "carol@example.com");
    ASSERT_EQ(userCommand({ "list" }), 0);
    EXPECT_NE(m_output.str().find("carol@example.com\tCarol\tpassword\t1 tokens"), std::string::npos)
        << m_output.str();
    ASSERT_EQ(userCommand({ "tokens", "carol@example.com" }), 0);
    EXPECT_EQ(m_output.str().find(token), std::string::npos);

    ASSERT_EQ(userCommand({ "password", "carol@example.com" }, "carol's second password\n"), 0);
    EXPECT_EQ(client()->Get("/v1/me", bearer(token))->status, 401);
    EXPECT_EQ(approve(prepareCode(), "carol@example.com", "carol's first password")->status, 401);
    EXPECT_EQ(approve(prepareCode(), "carol@example.com", "carol's second password")->status, 200);

    ASSERT_EQ(userCommand({ "allow", "carol@example.com", "team@example.com" }), 0);
    ASSERT_EQ(userCommand({ "remove", "carol@example.com" }), 0) << m_errors;
    EXPECT_EQ(approve(prepareCode(), "carol@example.com", "carol's second password")->status, 401);
    EXPECT_EQ(userCommand({ "remove", "carol@example.com" }), 1);
    EXPECT_EQ(userCommand({ "explode", "carol@example.com" }), 2);
}

TEST(Passwords, OnlyTheRightPasswordMatchesAndTamperedHashesNeverDo)
{
    const std::string stored = server::Passwords::hash("a long enough password");
    EXPECT_EQ(stored.find("a long enough password"), std::string::npos);
    EXPECT_NE(stored, server::Passwords::hash("a long enough password")) << "salted";
    EXPECT_TRUE(server::Passwords::verify("a long enough password", stored));
    const auto lastField = stored.rfind('$');
    for (const std::string& tampered : { std::string(), std::string("plain text"),
             "scrypt$1099511627776" + stored.substr(stored.find('$', 7)), stored.substr(0, lastField),
             stored.substr(0, lastField + 1) + std::string(64, '0'), "bcrypt" + stored.substr(6) }) {
        SCOPED_TRACE(tampered);
        EXPECT_FALSE(server::Passwords::verify("a long enough password", tampered));
    }
    EXPECT_FALSE(server::Passwords::verify("a long enough passwore", stored));
}

} // namespace
