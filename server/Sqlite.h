#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Thin RAII layer over SQLite. One Database is one connection; it is not
// thread-safe by itself, so its owner serialises access.
namespace server {

class Statement
{
public:
    Statement(sqlite3* db, std::string_view sql);

    Statement& bind(int index, std::string_view value);
    Statement& bind(int index, std::int64_t value);
    Statement& bind(int index, double value);
    Statement& bindNull(int index);
    Statement& bindOptional(int index, const std::optional<std::string>& value);

    // True while a row is available.
    bool step();
    void run();

    std::string text(int column) const;
    std::optional<std::string> optionalText(int column) const;
    std::int64_t integer(int column) const;
    double real(int column) const;

private:
    struct Finalizer
    {
        void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
    };
    sqlite3* m_db;
    std::unique_ptr<sqlite3_stmt, Finalizer> m_statement;
};

class Database
{
public:
    explicit Database(const std::string& path);

    void execute(std::string_view sql);
    Statement prepare(std::string_view sql) { return Statement(m_db.get(), sql); }
    int changes() const { return sqlite3_changes(m_db.get()); }

private:
    struct Closer
    {
        void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
    };
    std::unique_ptr<sqlite3, Closer> m_db;
};

// Runs a block in one transaction; rolls back when it throws.
class Transaction
{
public:
    explicit Transaction(Database& db);
    ~Transaction();
    void commit();

private:
    Database& m_db;
    bool m_done = false;
};

} // namespace server
