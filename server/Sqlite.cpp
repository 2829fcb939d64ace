#include "Sqlite.h"

#include <stdexcept>

namespace server {

namespace {

[[noreturn]] void fail(sqlite3* db, const char* what)
{
    throw std::runtime_error(std::string("The database failed to ") + what + ": " + sqlite3_errmsg(db) + ".");
}

} // namespace

Statement::Statement(sqlite3* db, std::string_view sql)
    : m_db(db)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement, nullptr) != SQLITE_OK) {
        fail(db, "prepare a query");
    }
    m_statement.reset(statement);
}

Statement& Statement::bind(int index, std::string_view value)
{
    sqlite3_bind_text(
        m_statement.get(), index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::bind(int index, std::int64_t value)
{
    sqlite3_bind_int64(m_statement.get(), index, value);
    return *this;
}

Statement& Statement::bind(int index, double value)
{
    sqlite3_bind_double(m_statement.get(), index, value);
    return *this;
}

Statement& Statement::bindNull(int index)
{
    sqlite3_bind_null(m_statement.get(), index);
    return *this;
}

Statement& Statement::bindOptional(int index, const std::optional<std::string>& value)
{
    return value ? bind(index, std::string_view(*value)) : bindNull(index);
}

bool Statement::step()
{
    const int result = sqlite3_step(m_statement.get());
    if (result == SQLITE_ROW) {
        return true;
    }
    if (result == SQLITE_DONE) {
        return false;
    }
    fail(m_db, "run a query");
}

void Statement::run()
{
    while (step()) { }
}

std::string Statement::text(int column) const
{
    const auto* bytes = sqlite3_column_text(m_statement.get(), column);
    if (!bytes) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(bytes), sqlite3_column_bytes(m_statement.get(), column));
}

std::optional<std::string> Statement::optionalText(int column) const
{
    if (sqlite3_column_type(m_statement.get(), column) == SQLITE_NULL) {
        return std::nullopt;
    }
    return text(column);
}

std::int64_t Statement::integer(int column) const
{
    return sqlite3_column_int64(m_statement.get(), column);
}

double Statement::real(int column) const
{
    return sqlite3_column_double(m_statement.get(), column);
}

Database::Database(const std::string& path)
{
    sqlite3* db = nullptr;
    const int result = sqlite3_open_v2(
        path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    m_db.reset(db);
    if (result != SQLITE_OK) {
        fail(db, "open");
    }
    sqlite3_busy_timeout(db, 5000);
    execute("PRAGMA journal_mode=WAL; PRAGMA foreign_keys=ON; PRAGMA synchronous=NORMAL;");
}

void Database::execute(std::string_view sql)
{
    const std::string text(sql);
    if (sqlite3_exec(m_db.get(), text.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail(m_db.get(), "run a statement");
    }
}

Transaction::Transaction(Database& db)
    : m_db(db)
{
    m_db.execute("BEGIN IMMEDIATE");
}

Transaction::~Transaction()
{
    if (m_done) {
        return;
    }
    try {
        m_db.execute("ROLLBACK");
    } catch (const std::exception&) {
        // SQLite has already rolled back when the failure ended the transaction.
    }
}

void Transaction::commit()
{
    m_db.execute("COMMIT");
    m_done = true;
}

} // namespace server
