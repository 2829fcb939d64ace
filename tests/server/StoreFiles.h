#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// A database file written and read past the Store, the way an older server or a
// damaged disk would leave it.
class StoreFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tallisen-store-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_path = m_dir + "/tallisen.sqlite3";
    }

    void TearDown() override { std::filesystem::remove_all(m_dir); }

    // Runs statements on their own connection; fails the test on an SQL error.
    void rawExecute(const std::string& sql) const
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(m_path.c_str(), &db), SQLITE_OK);
        char* error = nullptr;
        const int result = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
        const std::string message = error ? error : "";
        sqlite3_free(error);
        sqlite3_close(db);
        ASSERT_EQ(result, SQLITE_OK) << message << "\n" << sql;
    }

    // Every row of a query, its columns joined by "|" (NULL as "NULL").
    std::vector<std::string> rawRows(const std::string& sql) const
    {
        std::vector<std::string> rows;
        sqlite3* db = nullptr;
        // Not read-only: SQLite cannot always open a WAL database so. Never created: a missing one fails.
        if (sqlite3_open_v2(m_path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << "cannot open " << m_path;
            sqlite3_close(db);
            return rows;
        }
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sqlite3_errmsg(db) << "\n" << sql;
        } else {
            while (sqlite3_step(statement) == SQLITE_ROW) {
                std::string row;
                for (int column = 0; column < sqlite3_column_count(statement); ++column) {
                    const auto* text = sqlite3_column_text(statement, column);
                    row += (column ? "|" : "")
                        + (text ? std::string(reinterpret_cast<const char*>(text)) : std::string("NULL"));
                }
                rows.push_back(row);
            }
        }
        sqlite3_finalize(statement);
        sqlite3_close(db);
        return rows;
    }

    std::string m_dir;
    std::string m_path;
};
