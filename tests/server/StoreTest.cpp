#include "Store.h"
#include "Secrets.h"
#include "Statuses.h"
#include "WireFormat.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

// The store's database as earlier servers left it, and the texts of its states.
using namespace server;
using ::testing::HasSubstr;

namespace {

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

// The tables as the first tallisen-server wrote them, at user_version 0.
constexpr const char* kVersionZeroSchema = R"sql(
CREATE TABLE accounts (id TEXT PRIMARY KEY, email TEXT NOT NULL UNIQUE, displayName TEXT NOT NULL,
    createdAt INTEGER NOT NULL);
CREATE TABLE tokens (hash TEXT PRIMARY KEY, accountId TEXT NOT NULL REFERENCES accounts(id),
    createdAt INTEGER NOT NULL);
CREATE TABLE signIns (codeHash TEXT PRIMARY KEY, accountId TEXT REFERENCES accounts(id),
    createdAt INTEGER NOT NULL, exchanged INTEGER NOT NULL DEFAULT 0);
CREATE TABLE recordings (id TEXT PRIMARY KEY, accountId TEXT NOT NULL REFERENCES accounts(id),
    title TEXT NOT NULL, transcript TEXT NOT NULL, languageCodes TEXT NOT NULL, recordedAt INTEGER NOT NULL,
    createdAt INTEGER NOT NULL, category TEXT, cleanupStatus TEXT NOT NULL, emailStatus TEXT NOT NULL,
    emailTo TEXT NOT NULL, source TEXT NOT NULL);
CREATE INDEX recordingsByAccount ON recordings(accountId, createdAt DESC);
CREATE TABLE idempotencyKeys (accountId TEXT NOT NULL, key TEXT NOT NULL, recordingId TEXT NOT NULL,
    answer TEXT NOT NULL, PRIMARY KEY (accountId, key));
CREATE TABLE diarizations (accountId TEXT NOT NULL, recordingId TEXT NOT NULL, status TEXT NOT NULL,
    capabilityHash TEXT UNIQUE, audioPath TEXT, segments TEXT, updatedAt INTEGER NOT NULL,
    PRIMARY KEY (accountId, recordingId));
)sql";

// A user who signed in once, with one filed and mailed transcript and a failed speaker detection.
constexpr const char* kVersionZeroRows = R"sql(
INSERT INTO accounts VALUES ('5d0f6a55-3b1c-4c5e-9a43-0f7f1b2c3d4e', 'ann@example.com', 'Ann', 1000);
INSERT INTO tokens VALUES ('{tokenHash}', '5d0f6a55-3b1c-4c5e-9a43-0f7f1b2c3d4e', {tokenCreatedAt});
INSERT INTO recordings VALUES ('0b7e2f3a-8c9d-4e1f-a2b3-c4d5e6f70819', '5d0f6a55-3b1c-4c5e-9a43-0f7f1b2c3d4e',
    'Budget review', 'We agreed on the budget.', '["en"]', 1700000000000, 1700000001000, 'Finance',
    'completed', 'sent', 'ann@example.com', 'app');
INSERT INTO idempotencyKeys VALUES ('5d0f6a55-3b1c-4c5e-9a43-0f7f1b2c3d4e', 'first-key',
    '0b7e2f3a-8c9d-4e1f-a2b3-c4d5e6f70819', '{}');
INSERT INTO diarizations VALUES ('5d0f6a55-3b1c-4c5e-9a43-0f7f1b2c3d4e', '0b7e2f3a-8c9d-4e1f-a2b3-c4d5e6f70819',
    'failed', NULL, NULL, NULL, 1700000002000);
)sql";

constexpr const char* kAccountId = "5d0f6a55-3b1c-4c5e-9a43-0f7f1b2c3d4e";
constexpr const char* kRecordingId = "0b7e2f3a-8c9d-4e1f-a2b3-c4d5e6f70819";
constexpr const char* kToken = "a-token-issued-by-the-first-server";
constexpr std::int64_t kIdleLimitMs = 30LL * 24 * 3600 * 1000;

class StoreMigration : public StoreFileTest
{
protected:
    void SetUp() override
    {
        StoreFileTest::SetUp();
        writeVersionZero();
    }

    void writeVersionZero()
    {
        std::string rows = kVersionZeroRows;
        rows.replace(rows.find("{tokenHash}"), 11, Secrets::sha256Hex(kToken));
        // The token is two minutes old, so signing in with it records a use.
        rows.replace(rows.find("{tokenCreatedAt}"), 16, std::to_string(WireFormat::nowMs() - 120'000));
        rawExecute(kVersionZeroSchema + rows);
        ASSERT_EQ(rawRows("PRAGMA user_version"), std::vector<std::string> { "0" });
    }

    // The schema, its version counters and every row: what "unchanged" means for a database.
    std::vector<std::string> snapshot() const
    {
        auto state = rawRows("SELECT type, name, sql FROM sqlite_master ORDER BY name");
        for (const char* pragma : { "PRAGMA user_version", "PRAGMA schema_version" }) {
            const auto value = rawRows(pragma);
            state.insert(state.end(), value.begin(), value.end());
        }
        for (const auto& table :
            rawRows("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")) {
            state.push_back("table " + table);
            const auto rows = rawRows("SELECT * FROM \"" + table + "\" ORDER BY rowid");
            state.insert(state.end(), rows.begin(), rows.end());
        }
        return state;
    }
};

TEST_F(StoreMigration, EveryStepRunsOnceAndTheRowsReadThroughTheStoreAndTakeWrites)
{
    Store { m_path };
    EXPECT_EQ(
        rawRows("PRAGMA user_version"), std::vector<std::string> { std::to_string(Store::kSchemaVersion) });
    const auto migrated = snapshot();
    Store store(m_path);
    EXPECT_EQ(snapshot(), migrated) << "a second open changes nothing";

    const auto users = store.users();
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].account.id, kAccountId);
    EXPECT_EQ(users[0].account.email, "ann@example.com");
    EXPECT_EQ(users[0].account.displayName, "Ann");
    EXPECT_FALSE(users[0].hasPassword);
    EXPECT_EQ(users[0].tokens, 1);
    EXPECT_EQ(users[0].recordings, 1);
    EXPECT_FALSE(store.credentials("ann@example.com").value().passwordHash);
    // The old token had no last use; using it records one.
    const auto before = store.tokens("ann@example.com");
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0].lastUsedAtMs, before[0].createdAtMs);
    EXPECT_EQ(store.accountForToken(kToken, kIdleLimitMs).value().id, kAccountId);
    EXPECT_GT(store.tokens("ann@example.com").at(0).lastUsedAtMs, before[0].createdAtMs);

    const auto recording = store.recording(kRecordingId).value();
    EXPECT_EQ(recording.accountId, kAccountId);
    EXPECT_EQ(recording.title, "Budget review");
    EXPECT_EQ(recording.transcript, "We agreed on the budget.");
    EXPECT_EQ(recording.languageCodes, std::vector<std::string> { "en" });
    EXPECT_EQ(recording.recordedAtMs, 1700000000000);
    EXPECT_EQ(recording.category, "Finance");
    EXPECT_EQ(recording.cleanupStatus, CleanupStatus::Completed);
    EXPECT_EQ(recording.emailStatus, EmailStatus::Sent);
    EXPECT_EQ(recording.version, 1) << "recordings from before versions start at 1";
    EXPECT_EQ(store.recordings(kAccountId).size(), 1u);
    // A client repeating its first upload still gets the recording it made then.
    const auto [repeated, created]
        = store.saveRecording(kAccountId, "first-key", { "Again.", 0, "", "app" }, 1 << 20);
    EXPECT_FALSE(created);
    EXPECT_EQ(repeated.id, kRecordingId);
    const auto job = store.diarization(kAccountId, kRecordingId).value();
    EXPECT_EQ(job.status, DiarizationStatus::Failed);
    EXPECT_FALSE(job.error);

    ASSERT_EQ(store.editRecording(kAccountId, kRecordingId, 1, { "Budget", std::nullopt }, 1 << 20).outcome,
        EditOutcome::Updated);
    EXPECT_EQ(store.recording(kRecordingId)->version, 2);
    EXPECT_EQ(store.recording(kRecordingId)->title, "Budget");
    ASSERT_TRUE(store.setPassword("ann@example.com", "a-password-hash"));
    EXPECT_EQ(store.credentials("ann@example.com")->passwordHash, "a-password-hash");
    EXPECT_FALSE(store.mayMail(kAccountId, "team@example.com"));
    ASSERT_TRUE(store.allowRecipient("ann@example.com", "team@example.com", true));
    EXPECT_TRUE(store.mayMail(kAccountId, "team@example.com"));
    store.setDiarizationStatus(
        kAccountId, kRecordingId, DiarizationStatus::Failed, std::nullopt, "The recording is silent.");
    EXPECT_EQ(store.diarization(kAccountId, kRecordingId)->error, "The recording is silent.");
    // Removing the user reaches the table the migration added.
    EXPECT_TRUE(store.removeUser("ann@example.com"));
    EXPECT_TRUE(store.users().empty());
}

TEST_F(StoreMigration, ADatabaseOfANewerServerIsRefusedUntouched)
{
    // What the newer server changed besides the version.
    const std::vector<std::pair<const char*, const char*>> cases {
        { "same tables", "" },
        { "a table renamed", "ALTER TABLE idempotencyKeys RENAME TO requestKeys;" },
        { "a table dropped", "DROP TABLE diarizations;" },
    };
    const std::string base = m_path;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [name, change] = cases[i];
        SCOPED_TRACE(name);
        m_path = base + "." + std::to_string(i);
        writeVersionZero();
        Store { m_path };
        rawExecute(
            change + std::string("PRAGMA user_version = ") + std::to_string(Store::kSchemaVersion + 1) + ";");
        const auto newer = snapshot();
        EXPECT_THAT([&] { Store store(m_path); },
            ::testing::ThrowsMessage<std::runtime_error>(HasSubstr("newer tallisen-server")));
        EXPECT_EQ(snapshot(), newer);
    }
}

template <typename Status>
std::string roundTrip(Status (*fromText)(std::string_view), const std::string& text)
{
    try {
        return std::string(toText(fromText(text)));
    } catch (const std::runtime_error& error) {
        return error.what();
    }
}

// Databases written by earlier servers hold these texts and clients compare them
// exactly, so each must keep naming one state both ways, and nothing else may pass.
TEST(StatusText, EveryStatusKeepsItsStoredTextAndUnknownOnesAreRefusedByName)
{
    const std::vector<std::tuple<std::string, std::function<std::string(const std::string&)>,
        std::vector<std::string>, std::vector<std::string>>>
        kinds {
            { "cleanup", [](const auto& text) { return roundTrip(cleanupStatusFromText, text); },
                { "pending", "completed", "failed" }, { "disabled", "sent", "upload", "succeeded" } },
            { "email", [](const auto& text) { return roundTrip(emailStatusFromText, text); },
                { "disabled", "pending", "sent", "failed" },
                { "completed", "upload", "starting", "succeeded" } },
            { "speaker-detection",
                [](const auto& text) { return roundTrip(diarizationStatusFromText, text); },
                { "upload", "starting", "pending", "succeeded", "failed" },
                { "completed", "disabled", "sent" } },
        };
    for (const auto& [kind, read, known, foreign] : kinds) {
        for (const auto& text : known) {
            EXPECT_EQ(read(text), text) << kind;
        }
        // Another kind's states (a mixed-up table would take them) and near misses.
        auto refused = foreign;
        refused.insert(refused.end(), { "", "done", "Pending", "pending ", "fail" });
        for (const auto& text : refused) {
            EXPECT_THAT(read(text), ::testing::HasSubstr(kind + " status \"" + text + "\""));
        }
    }
}

using StoredStatus = StoreFileTest;

// A row the store cannot read stops the request instead of reaching the client as some other state.
TEST_F(StoredStatus, ARowWithAnUnknownStatusIsRefused)
{
    std::string recordingId;
    std::string accountId;
    {
        Store store(m_path);
        accountId = store.ensureAccount("ann@example.com", "Ann").id;
        recordingId = store.saveRecording(accountId, "key", { "Hello.", 0, "", "app" }, 1 << 20).first.id;
        store.prepareDiarization(accountId, recordingId, "capability");
    }
    const std::vector<std::pair<const char*, std::function<void(Store&)>>> cases {
        { "UPDATE recordings SET cleanupStatus = 'filed'", [&](Store& s) { s.recording(recordingId); } },
        { "UPDATE recordings SET emailStatus = 'mailed'", [&](Store& s) { s.recordings(accountId); } },
        { "UPDATE diarizations SET status = 'done'",
            [&](Store& s) { s.diarization(accountId, recordingId); } },
    };
    for (const auto& [damage, read] : cases) {
        SCOPED_TRACE(damage);
        rawExecute(damage);
        Store store(m_path);
        EXPECT_THROW(read(store), std::runtime_error);
        rawExecute("UPDATE recordings SET cleanupStatus = 'pending', emailStatus = 'disabled'; "
                   "UPDATE diarizations SET status = 'upload';");
        EXPECT_NO_THROW(read(store));
    }
}

} // namespace
