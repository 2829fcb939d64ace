#include "Store.h"

#include "Secrets.h"
#include "WireFormat.h"

// The accounts half of the store: users, sign-in codes and tokens.
namespace server {

namespace {

// What `user tokens` shows and `user revoke` takes: a prefix of the stored hash, never the token.
constexpr std::size_t kTokenIdLength = 12;

} // namespace

std::optional<std::string> Store::createSignIn()
{
    const std::string code = Secrets::randomToken();
    const std::int64_t now = WireFormat::nowMs();
    std::lock_guard lock(m_mutex);
    // Codes a day old can only ever answer "expired", and codes nobody completed in
    // time are just as dead; forgetting both keeps the table small.
    m_db.prepare("DELETE FROM signIns WHERE createdAt < ? OR (accountId IS NULL AND createdAt < ?)")
        .bind(1, now - std::int64_t { 24 * 3600 * 1000 })
        .bind(2, now - kSignInLifetimeMs)
        .run();
    // Anyone may ask for a code, so the open ones are bounded.
    auto open = m_db.prepare("SELECT count(*) FROM signIns WHERE accountId IS NULL");
    open.step();
    if (open.integer(0) >= static_cast<std::int64_t>(kMaximumOpenSignIns)) {
        return std::nullopt;
    }
    m_db.prepare("INSERT INTO signIns (codeHash, createdAt) VALUES (?, ?)")
        .bind(1, Secrets::sha256Hex(code))
        .bind(2, WireFormat::nowMs())
        .run();
    return code;
}

SignInOutcome Store::signInStatus(const std::string& code)
{
    std::lock_guard lock(m_mutex);
    auto query = m_db.prepare("SELECT createdAt, exchanged, accountId FROM signIns WHERE codeHash = ?");
    query.bind(1, Secrets::sha256Hex(code));
    if (!query.step()) {
        return SignInOutcome::Unknown;
    }
    if (query.integer(1) != 0 || query.optionalText(2)) {
        return SignInOutcome::Used;
    }
    if (WireFormat::nowMs() - query.integer(0) > kSignInLifetimeMs) {
        return SignInOutcome::Expired;
    }
    return SignInOutcome::Completed;
}

SignInOutcome Store::completeSignIn(const std::string& code, const std::string& accountId)
{
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db);
    auto query = m_db.prepare("SELECT createdAt, exchanged, accountId FROM signIns WHERE codeHash = ?");
    query.bind(1, Secrets::sha256Hex(code));
    if (!query.step()) {
        return SignInOutcome::Unknown;
    }
    if (query.integer(1) != 0) {
        return SignInOutcome::Used;
    }
    // The first completed sign-in owns the code: a second one must not swap the account under the app.
    if (const auto bound = query.optionalText(2)) {
        return *bound == accountId ? SignInOutcome::Completed : SignInOutcome::Used;
    }
    if (WireFormat::nowMs() - query.integer(0) > kSignInLifetimeMs) {
        return SignInOutcome::Expired;
    }
    m_db.prepare("UPDATE signIns SET accountId = ? WHERE codeHash = ?")
        .bind(1, accountId)
        .bind(2, Secrets::sha256Hex(code))
        .run();
    transaction.commit();
    return SignInOutcome::Completed;
}

ExchangeResult Store::exchange(const std::string& code)
{
    const std::string codeHash = Secrets::sha256Hex(code);
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db);
    auto query = m_db.prepare("SELECT createdAt, exchanged, accountId FROM signIns WHERE codeHash = ?");
    query.bind(1, codeHash);
    if (!query.step()) {
        return { ExchangeOutcome::Unknown, {} };
    }
    if (query.integer(1) != 0) {
        return { ExchangeOutcome::Used, {} };
    }
    if (WireFormat::nowMs() - query.integer(0) > kSignInLifetimeMs) {
        return { ExchangeOutcome::Expired, {} };
    }
    const auto accountId = query.optionalText(2);
    if (!accountId) {
        return { ExchangeOutcome::Pending, {} };
    }
    const std::string token = Secrets::randomToken();
    m_db.prepare("INSERT INTO tokens (hash, accountId, createdAt, lastUsedAt) VALUES (?, ?, ?, ?)")
        .bind(1, Secrets::sha256Hex(token))
        .bind(2, *accountId)
        .bind(3, WireFormat::nowMs())
        .bind(4, WireFormat::nowMs())
        .run();
    m_db.prepare("UPDATE signIns SET exchanged = 1 WHERE codeHash = ?").bind(1, codeHash).run();
    transaction.commit();
    return { ExchangeOutcome::Issued, token };
}

std::optional<Account> Store::accountForToken(const std::string& token, std::int64_t idleLimitMs)
{
    const std::string hash = Secrets::sha256Hex(token);
    const std::int64_t now = WireFormat::nowMs();
    std::lock_guard lock(m_mutex);
    auto query = m_db.prepare("SELECT a.id, a.email, a.displayName, coalesce(t.lastUsedAt, t.createdAt) FROM "
                              "tokens t JOIN accounts a ON a.id = t.accountId WHERE t.hash = ?");
    query.bind(1, hash);
    if (!query.step()) {
        return std::nullopt;
    }
    const std::int64_t lastUsed = query.integer(3);
    if (now - lastUsed > idleLimitMs) {
        m_db.prepare("DELETE FROM tokens WHERE hash = ?").bind(1, hash).run();
        return std::nullopt;
    }
    Account account { query.text(0), query.text(1), query.text(2) };
    // One write a minute per token is enough to measure idleness in days.
    if (now - lastUsed > 60'000) {
        m_db.prepare("UPDATE tokens SET lastUsedAt = ? WHERE hash = ?").bind(1, now).bind(2, hash).run();
    }
    return account;
}

std::optional<Account> Store::accountWhere(const char* sql, const std::string& value)
{
    auto query = m_db.prepare(sql);
    query.bind(1, value);
    if (!query.step()) {
        return std::nullopt;
    }
    return Account { query.text(0), query.text(1), query.text(2) };
}

std::optional<Account> Store::accountByEmail(const std::string& email)
{
    return accountWhere("SELECT id, email, displayName FROM accounts WHERE email = ?", email);
}

Account Store::ensureAccount(const std::string& email, const std::string& displayName)
{
    std::lock_guard lock(m_mutex);
    if (auto existing = accountByEmail(email)) {
        return *existing;
    }
    return insertAccount(email, displayName, std::nullopt);
}

std::optional<Account> Store::addUser(
    const std::string& email, const std::string& displayName, const std::string& passwordHash)
{
    std::lock_guard lock(m_mutex);
    if (accountByEmail(email)) {
        return std::nullopt;
    }
    return insertAccount(email, displayName, passwordHash);
}

Account Store::insertAccount(
    const std::string& email, const std::string& displayName, const std::optional<std::string>& passwordHash)
{
    Account account { Secrets::newUuid(), email, displayName };
    m_db.prepare(
            "INSERT INTO accounts (id, email, displayName, createdAt, passwordHash) VALUES (?, ?, ?, ?, ?)")
        .bind(1, account.id)
        .bind(2, email)
        .bind(3, displayName)
        .bind(4, WireFormat::nowMs())
        .bindOptional(5, passwordHash)
        .run();
    return account;
}

std::optional<Credentials> Store::credentials(const std::string& email)
{
    std::lock_guard lock(m_mutex);
    auto query = m_db.prepare("SELECT id, email, displayName, passwordHash FROM accounts WHERE email = ?");
    query.bind(1, email);
    if (!query.step()) {
        return std::nullopt;
    }
    return Credentials { { query.text(0), query.text(1), query.text(2) }, query.optionalText(3) };
}

std::vector<UserSummary> Store::users()
{
    std::lock_guard lock(m_mutex);
    auto query = m_db.prepare(
        "SELECT a.id, a.email, a.displayName, a.passwordHash IS NOT NULL, a.createdAt, "
        "(SELECT count(*) FROM tokens t WHERE t.accountId = a.id), "
        "(SELECT count(*) FROM recordings r WHERE r.accountId = a.id) FROM accounts a ORDER BY a.email");
    std::vector<UserSummary> list;
    while (query.step()) {
        list.push_back({ { query.text(0), query.text(1), query.text(2) }, query.integer(3) != 0,
            query.integer(4), query.integer(5), query.integer(6) });
    }
    return list;
}

bool Store::removeUser(const std::string& email)
{
    std::lock_guard lock(m_mutex);
    const auto account = accountByEmail(email);
    if (!account) {
        return false;
    }
    Transaction transaction(m_db);
    for (const char* sql :
        { "DELETE FROM tokens WHERE accountId = ?", "DELETE FROM recipients WHERE accountId = ?",
            "DELETE FROM signIns WHERE accountId = ?", "DELETE FROM idempotencyKeys WHERE accountId = ?",
            "DELETE FROM diarizations WHERE accountId = ?", "DELETE FROM recordings WHERE accountId = ?",
            "DELETE FROM accounts WHERE id = ?" }) {
        m_db.prepare(sql).bind(1, account->id).run();
    }
    transaction.commit();
    return true;
}

bool Store::setPassword(const std::string& email, const std::string& passwordHash)
{
    std::lock_guard lock(m_mutex);
    m_db.prepare("UPDATE accounts SET passwordHash = ? WHERE email = ?")
        .bind(1, passwordHash)
        .bind(2, email)
        .run();
    return m_db.changes() > 0;
}

std::vector<TokenSummary> Store::tokens(const std::string& email)
{
    std::lock_guard lock(m_mutex);
    auto query = m_db.prepare("SELECT t.hash, t.createdAt, coalesce(t.lastUsedAt, t.createdAt) FROM tokens t "
                              "JOIN accounts a ON a.id = t.accountId WHERE a.email = ? ORDER BY t.createdAt");
    query.bind(1, email);
    std::vector<TokenSummary> list;
    while (query.step()) {
        list.push_back({ query.text(0).substr(0, kTokenIdLength), query.integer(1), query.integer(2) });
    }
    return list;
}

std::int64_t Store::revokeTokens(const std::string& email, const std::optional<std::string>& tokenId)
{
    std::lock_guard lock(m_mutex);
    // A short or empty id would match many tokens by prefix.
    if (tokenId && tokenId->size() != kTokenIdLength) {
        return 0;
    }
    m_db.prepare("DELETE FROM tokens WHERE accountId = (SELECT id FROM accounts WHERE email = ?) AND "
                 "(? IS NULL OR substr(hash, 1, ?) = ?)")
        .bind(1, email)
        .bindOptional(2, tokenId)
        .bind(3, static_cast<std::int64_t>(kTokenIdLength))
        .bindOptional(4, tokenId)
        .run();
    return m_db.changes();
}

bool Store::allowRecipient(const std::string& email, const std::string& address, bool allowed)
{
    std::lock_guard lock(m_mutex);
    const auto account = accountByEmail(email);
    if (!account) {
        return false;
    }
    m_db.prepare(allowed ? "INSERT OR IGNORE INTO recipients (accountId, address) VALUES (?, ?)"
                         : "DELETE FROM recipients WHERE accountId = ? AND address = ?")
        .bind(1, account->id)
        .bind(2, address)
        .run();
    return true;
}

bool Store::mayMail(const std::string& accountId, const std::string& address)
{
    std::lock_guard lock(m_mutex);
    auto query = m_db.prepare("SELECT 1 FROM accounts WHERE id = ?1 AND email = ?2 UNION ALL "
                              "SELECT 1 FROM recipients WHERE accountId = ?1 AND address = ?2");
    query.bind(1, accountId).bind(2, address);
    return query.step();
}

} // namespace server
