#include "Store.h"

#include "Secrets.h"
#include "WireFormat.h"

#include <array>
#include <stdexcept>

namespace server {

namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS accounts (
    id TEXT PRIMARY KEY,
    email TEXT NOT NULL UNIQUE,
    displayName TEXT NOT NULL,
    createdAt INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS tokens (
    hash TEXT PRIMARY KEY,
    accountId TEXT NOT NULL REFERENCES accounts(id),
    createdAt INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS signIns (
    codeHash TEXT PRIMARY KEY,
    accountId TEXT REFERENCES accounts(id),
    createdAt INTEGER NOT NULL,
    exchanged INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS recordings (
    id TEXT PRIMARY KEY,
    accountId TEXT NOT NULL REFERENCES accounts(id),
    title TEXT NOT NULL,
    transcript TEXT NOT NULL,
    languageCodes TEXT NOT NULL,
    recordedAt INTEGER NOT NULL,
    createdAt INTEGER NOT NULL,
    category TEXT,
    cleanupStatus TEXT NOT NULL,
    emailStatus TEXT NOT NULL,
    emailTo TEXT NOT NULL,
    source TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS recordingsByAccount ON recordings(accountId, createdAt DESC);
CREATE TABLE IF NOT EXISTS idempotencyKeys (
    accountId TEXT NOT NULL,
    key TEXT NOT NULL,
    recordingId TEXT NOT NULL,
    answer TEXT NOT NULL,
    PRIMARY KEY (accountId, key));
CREATE TABLE IF NOT EXISTS diarizations (
    accountId TEXT NOT NULL,
    recordingId TEXT NOT NULL,
    status TEXT NOT NULL,
    capabilityHash TEXT UNIQUE,
    audioPath TEXT,
    segments TEXT,
    updatedAt INTEGER NOT NULL,
    PRIMARY KEY (accountId, recordingId));
)sql";

// Each step brings a database from the version before it (PRAGMA user_version) to the next.
constexpr std::array<const char*, 2> kMigrations {
    "ALTER TABLE accounts ADD COLUMN passwordHash TEXT;"
    "ALTER TABLE tokens ADD COLUMN lastUsedAt INTEGER;"
    "CREATE TABLE recipients (accountId TEXT NOT NULL REFERENCES accounts(id), address TEXT NOT NULL, "
    "PRIMARY KEY (accountId, address));"
    "ALTER TABLE diarizations ADD COLUMN error TEXT;",
    "ALTER TABLE recordings ADD COLUMN version INTEGER NOT NULL DEFAULT 1;",
};

constexpr const char* kPlaceholderTitle = "Untitled meeting";

constexpr const char* kRecordingColumns
    = "id, accountId, title, transcript, languageCodes, recordedAt, createdAt, category, cleanupStatus, "
      "emailStatus, emailTo, source, version";

constexpr const char* kDiarizationColumns = "accountId, recordingId, status, audioPath, segments, error";

} // namespace

const std::size_t Store::kSchemaVersion = kMigrations.size();

nlohmann::json Recording::toJson() const
{
    nlohmann::json object {
        { "id", id },
        { "title", title },
        { "transcript", transcript },
        { "languageCodes", languageCodes },
        { "recordedAt", WireFormat::formatDate(recordedAtMs) },
        { "createdAt", WireFormat::formatDate(createdAtMs) },
        { "cleanupStatus", toText(cleanupStatus) },
        { "emailStatus", toText(emailStatus) },
        { "version", version },
    };
    if (category) {
        object["category"] = *category;
    }
    return object;
}

Store::Store(const std::string& path)
    : m_db(path)
{
    migrate();
}

void Store::migrate()
{
    auto version = m_db.prepare("PRAGMA user_version");
    version.step();
    const auto current = static_cast<std::size_t>(version.integer(0));
    // Before any table is created: a newer server may have renamed or dropped one.
    if (current > kMigrations.size()) {
        throw std::runtime_error("The server's database was written by a newer tallisen-server; update it.");
    }
    m_db.execute(kSchema);
    for (std::size_t next = current; next < kMigrations.size(); ++next) {
        Transaction transaction(m_db);
        m_db.execute(kMigrations[next]);
        m_db.execute("PRAGMA user_version = " + std::to_string(next + 1));
        transaction.commit();
    }
}

Recording Store::readRecording(Statement& statement)
{
    Recording recording;
    recording.id = statement.text(0);
    recording.accountId = statement.text(1);
    recording.title = statement.text(2);
    recording.transcript = statement.text(3);
    recording.languageCodes = nlohmann::json::parse(statement.text(4)).get<std::vector<std::string>>();
    recording.recordedAtMs = statement.integer(5);
    recording.createdAtMs = statement.integer(6);
    recording.category = statement.optionalText(7);
    recording.cleanupStatus = cleanupStatusFromText(statement.text(8));
    recording.emailStatus = emailStatusFromText(statement.text(9));
    recording.emailTo = statement.text(10);
    recording.source = statement.text(11);
    recording.version = statement.integer(12);
    return recording;
}

std::vector<Recording> Store::recordings(const std::string& accountId)
{
    std::lock_guard lock(m_mutex);
    auto query = m_db.prepare(std::string("SELECT ") + kRecordingColumns
        + " FROM recordings WHERE accountId = ? ORDER BY createdAt DESC, rowid DESC");
    query.bind(1, accountId);
    std::vector<Recording> list;
    while (query.step()) {
        list.push_back(readRecording(query));
    }
    return list;
}

std::optional<Recording> Store::recording(const std::string& id)
{
    std::lock_guard lock(m_mutex);
    auto query = m_db.prepare(std::string("SELECT ") + kRecordingColumns + " FROM recordings WHERE id = ?");
    query.bind(1, id);
    if (!query.step()) {
        return std::nullopt;
    }
    return readRecording(query);
}

bool Store::deleteRecording(const std::string& accountId, const std::string& id)
{
    std::lock_guard lock(m_mutex);
    m_db.prepare("DELETE FROM recordings WHERE id = ? AND accountId = ?")
        .bind(1, id)
        .bind(2, accountId)
        .run();
    return m_db.changes() > 0;
}

std::pair<Recording, bool> Store::saveRecording(const std::string& accountId,
    const std::string& idempotencyKey, const NewRecording& fields, std::int64_t quotaBytes)
{
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db);
    auto previous
        = m_db.prepare("SELECT recordingId, answer FROM idempotencyKeys WHERE accountId = ? AND key = ?");
    previous.bind(1, accountId).bind(2, idempotencyKey);
    if (previous.step()) {
        // The current state when the transcript still exists, else the answer first given.
        auto current
            = m_db.prepare(std::string("SELECT ") + kRecordingColumns + " FROM recordings WHERE id = ?");
        current.bind(1, previous.text(0));
        if (current.step()) {
            return { readRecording(current), false };
        }
        const auto answer = nlohmann::json::parse(previous.text(1));
        Recording recorded;
        recorded.id = answer.at("id");
        recorded.accountId = accountId;
        recorded.title = answer.at("title");
        recorded.transcript = answer.at("transcript");
        recorded.languageCodes = answer.at("languageCodes").get<std::vector<std::string>>();
        recorded.recordedAtMs = *WireFormat::parseDate(answer.at("recordedAt").get<std::string>());
        recorded.createdAtMs = *WireFormat::parseDate(answer.at("createdAt").get<std::string>());
        recorded.cleanupStatus = cleanupStatusFromText(answer.at("cleanupStatus").get<std::string>());
        recorded.emailStatus = emailStatusFromText(answer.at("emailStatus").get<std::string>());
        // Answers stored before versions existed name none.
        recorded.version = answer.value("version", std::int64_t { 1 });
        return { recorded, false };
    }
    auto used
        = m_db.prepare("SELECT coalesce(sum(length(CAST(transcript AS BLOB))), 0) FROM recordings WHERE "
                       "accountId = ?");
    used.bind(1, accountId);
    used.step();
    if (used.integer(0) + static_cast<std::int64_t>(fields.transcript.size()) > quotaBytes) {
        throw QuotaExceeded();
    }
    Recording recording;
    recording.id = Secrets::newUuid();
    recording.accountId = accountId;
    recording.title = kPlaceholderTitle;
    recording.transcript = fields.transcript;
    recording.recordedAtMs = fields.recordedAtMs;
    recording.createdAtMs = WireFormat::nowMs();
    recording.cleanupStatus = CleanupStatus::Pending;
    recording.emailStatus = fields.emailTo.empty() ? EmailStatus::Disabled : EmailStatus::Pending;
    recording.emailTo = fields.emailTo;
    recording.source = fields.source;
    m_db.prepare(std::string("INSERT INTO recordings (") + kRecordingColumns
            + ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
        .bind(1, recording.id)
        .bind(2, accountId)
        .bind(3, recording.title)
        .bind(4, recording.transcript)
        .bind(5, nlohmann::json(recording.languageCodes).dump())
        .bind(6, recording.recordedAtMs)
        .bind(7, recording.createdAtMs)
        .bindNull(8)
        .bind(9, toText(recording.cleanupStatus))
        .bind(10, toText(recording.emailStatus))
        .bind(11, recording.emailTo)
        .bind(12, recording.source)
        .bind(13, recording.version)
        .run();
    m_db.prepare("INSERT INTO idempotencyKeys (accountId, key, recordingId, answer) VALUES (?, ?, ?, ?)")
        .bind(1, accountId)
        .bind(2, idempotencyKey)
        .bind(3, recording.id)
        .bind(4, recording.toJson().dump())
        .run();
    transaction.commit();
    return { recording, true };
}

void Store::updateCleanup(const std::string& id, const std::string& title,
    const std::optional<std::string>& category, const std::vector<std::string>& languageCodes,
    CleanupStatus status)
{
    std::lock_guard lock(m_mutex);
    m_db.prepare("UPDATE recordings SET title = CASE WHEN title = ?6 THEN ?1 ELSE title END, category = ?2, "
                 "languageCodes = ?3, cleanupStatus = ?4 WHERE id = ?5")
        .bind(1, title)
        .bindOptional(2, category)
        .bind(3, nlohmann::json(languageCodes).dump())
        .bind(4, toText(status))
        .bind(5, id)
        .bind(6, std::string_view(kPlaceholderTitle))
        .run();
}

EditResult Store::editRecording(const std::string& accountId, const std::string& id,
    std::int64_t expectedVersion, const RecordingEdit& edit, std::int64_t quotaBytes)
{
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db);
    auto current = m_db.prepare(
        std::string("SELECT ") + kRecordingColumns + " FROM recordings WHERE id = ? AND accountId = ?");
    current.bind(1, id).bind(2, accountId);
    if (!current.step()) {
        return { EditOutcome::Unknown, {} };
    }
    Recording recording = readRecording(current);
    if (recording.version != expectedVersion) {
        return { EditOutcome::Stale, recording };
    }
    if (edit.transcript && edit.transcript->size() > recording.transcript.size()) {
        auto used = m_db.prepare(
            "SELECT coalesce(sum(length(CAST(transcript AS BLOB))), 0) FROM recordings WHERE accountId = ?");
        used.bind(1, accountId);
        used.step();
        const auto grown = static_cast<std::int64_t>(edit.transcript->size() - recording.transcript.size());
        if (used.integer(0) + grown > quotaBytes) {
            throw QuotaExceeded();
        }
    }
    recording.title = edit.title.value_or(recording.title);
    recording.transcript = edit.transcript.value_or(recording.transcript);
    ++recording.version;
    m_db.prepare("UPDATE recordings SET title = ?, transcript = ?, version = ? WHERE id = ?")
        .bind(1, recording.title)
        .bind(2, recording.transcript)
        .bind(3, recording.version)
        .bind(4, id)
        .run();
    transaction.commit();
    return { EditOutcome::Updated, recording };
}

void Store::updateEmailStatus(const std::string& id, EmailStatus status)
{
    std::lock_guard lock(m_mutex);
    m_db.prepare("UPDATE recordings SET emailStatus = ? WHERE id = ?")
        .bind(1, toText(status))
        .bind(2, id)
        .run();
}

DiarizationJob Store::readDiarization(Statement& statement)
{
    return { statement.text(0), statement.text(1), diarizationStatusFromText(statement.text(2)),
        statement.optionalText(3), statement.optionalText(4), statement.optionalText(5) };
}

DiarizationJob Store::prepareDiarization(
    const std::string& accountId, const std::string& recordingId, const std::string& capabilityHash)
{
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db);
    // A job still waiting for audio gets a fresh capability, so only the newest address works.
    m_db.prepare("INSERT INTO diarizations (accountId, recordingId, status, capabilityHash, updatedAt) "
                 "VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT (accountId, recordingId) DO UPDATE SET "
                 "capabilityHash = excluded.capabilityHash, updatedAt = excluded.updatedAt WHERE status = ?3")
        .bind(1, accountId)
        .bind(2, recordingId)
        .bind(3, toText(DiarizationStatus::Upload))
        .bind(4, capabilityHash)
        .bind(5, WireFormat::nowMs())
        .run();
    auto query = m_db.prepare(std::string("SELECT ") + kDiarizationColumns
        + " FROM diarizations WHERE accountId = ? AND recordingId = ?");
    query.bind(1, accountId).bind(2, recordingId);
    query.step();
    DiarizationJob job = readDiarization(query);
    transaction.commit();
    return job;
}

std::optional<DiarizationJob> Store::diarization(const std::string& accountId, const std::string& recordingId)
{
    std::lock_guard lock(m_mutex);
    auto query = m_db.prepare(std::string("SELECT ") + kDiarizationColumns
        + " FROM diarizations WHERE accountId = ? AND recordingId = ?");
    query.bind(1, accountId).bind(2, recordingId);
    if (!query.step()) {
        return std::nullopt;
    }
    return readDiarization(query);
}

std::optional<DiarizationJob> Store::diarizationForCapability(const std::string& capabilityHash)
{
    std::lock_guard lock(m_mutex);
    auto query = m_db.prepare(std::string("SELECT ") + kDiarizationColumns
        + " FROM diarizations WHERE capabilityHash = ? AND status = ?");
    query.bind(1, capabilityHash).bind(2, toText(DiarizationStatus::Upload));
    if (!query.step()) {
        return std::nullopt;
    }
    return readDiarization(query);
}

bool Store::acceptUpload(const std::string& capabilityHash, const std::string& audioPath)
{
    std::lock_guard lock(m_mutex);
    m_db.prepare("UPDATE diarizations SET status = ?, audioPath = ?, capabilityHash = NULL, updatedAt = ? "
                 "WHERE capabilityHash = ? AND status = ?")
        .bind(1, toText(DiarizationStatus::Starting))
        .bind(2, audioPath)
        .bind(3, WireFormat::nowMs())
        .bind(4, capabilityHash)
        .bind(5, toText(DiarizationStatus::Upload))
        .run();
    return m_db.changes() > 0;
}

void Store::setDiarizationStatus(const std::string& accountId, const std::string& recordingId,
    DiarizationStatus status, const std::optional<std::string>& segmentsJson,
    const std::optional<std::string>& error)
{
    std::lock_guard lock(m_mutex);
    m_db.prepare(
            "UPDATE diarizations SET status = ?, segments = ?, error = ?, updatedAt = ? WHERE accountId = ? "
            "AND recordingId = ?")
        .bind(1, toText(status))
        .bindOptional(2, segmentsJson)
        .bindOptional(3, error)
        .bind(4, WireFormat::nowMs())
        .bind(5, accountId)
        .bind(6, recordingId)
        .run();
}

std::vector<DiarizationJob> Store::diarizationsWithStatus(DiarizationStatus status)
{
    std::lock_guard lock(m_mutex);
    auto query
        = m_db.prepare(std::string("SELECT ") + kDiarizationColumns + " FROM diarizations WHERE status = ?");
    query.bind(1, toText(status));
    std::vector<DiarizationJob> jobs;
    while (query.step()) {
        jobs.push_back(readDiarization(query));
    }
    return jobs;
}

} // namespace server
