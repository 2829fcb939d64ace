#pragma once

#include "Sqlite.h"
#include "Statuses.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// Everything the server keeps: accounts, hashed tokens, sign-in codes, transcripts,
// idempotency keys and speaker-detection jobs, in one SQLite file (WAL). One
// connection serialised by a mutex; every method may be called from any thread.
namespace server {

struct Account
{
    std::string id;
    std::string email;
    std::string displayName;
};

struct Credentials
{
    Account account;
    // None for accounts made by a loopback server's automatic sign-in.
    std::optional<std::string> passwordHash;
};

struct UserSummary
{
    Account account;
    bool hasPassword = false;
    std::int64_t createdAtMs = 0;
    std::int64_t tokens = 0;
    std::int64_t recordings = 0;
};

struct TokenSummary
{
    std::string id;
    std::int64_t createdAtMs = 0;
    std::int64_t lastUsedAtMs = 0;
};

struct Recording
{
    std::string id;
    std::string accountId;
    std::string title;
    std::string transcript;
    std::vector<std::string> languageCodes;
    std::int64_t recordedAtMs = 0;
    std::int64_t createdAtMs = 0;
    std::optional<std::string> category;
    CleanupStatus cleanupStatus = CleanupStatus::Pending;
    EmailStatus emailStatus = EmailStatus::Disabled;
    std::string emailTo;
    std::string source;
    // Starts at 1; each edit by the owner adds one (what If-Match names).
    std::int64_t version = 1;

    nlohmann::json toJson() const;
};

struct NewRecording
{
    std::string transcript;
    std::int64_t recordedAtMs = 0;
    std::string emailTo;
    std::string source;
};

// The owner's edit of a saved transcript; an absent field stays as it is.
struct RecordingEdit
{
    std::optional<std::string> title;
    std::optional<std::string> transcript;
};

enum class EditOutcome
{
    Updated,
    Unknown,
    Stale
};

struct EditResult
{
    EditOutcome outcome = EditOutcome::Unknown;
    // The recording after the edit, when it was Updated.
    Recording recording;
};

struct DiarizationJob
{
    std::string accountId;
    std::string recordingId;
    DiarizationStatus status = DiarizationStatus::Upload;
    std::optional<std::string> audioPath;
    std::optional<std::string> segmentsJson;
    // Why a failed job failed, as a sentence for the user.
    std::optional<std::string> error;
};

enum class ExchangeOutcome
{
    Pending,
    Unknown,
    Expired,
    Used,
    Issued
};

struct ExchangeResult
{
    ExchangeOutcome outcome = ExchangeOutcome::Unknown;
    std::string token;
};

enum class SignInOutcome
{
    Completed,
    Unknown,
    Expired,
    Used
};

// A new transcript would take the account past its share of the server's disk.
struct QuotaExceeded : std::runtime_error
{
    QuotaExceeded()
        : std::runtime_error("quota exceeded")
    { }
};

class Store
{
public:
    static constexpr std::int64_t kSignInLifetimeMs = 10 * 60 * 1000;
    static constexpr std::size_t kMaximumOpenSignIns = 10'000;
    // What PRAGMA user_version reads once every migration step has run.
    static const std::size_t kSchemaVersion;

    explicit Store(const std::string& path);

    // Sign-in: a code is stored only as its hash, binds to the first account that
    // completes it, and is good for one exchange.
    // None while too many codes wait to be completed.
    std::optional<std::string> createSignIn();
    // Completed means the code can still be completed.
    SignInOutcome signInStatus(const std::string& code);
    SignInOutcome completeSignIn(const std::string& code, const std::string& accountId);
    ExchangeResult exchange(const std::string& code);
    // A token unused for longer than `idleLimitMs` is forgotten.
    std::optional<Account> accountForToken(const std::string& token, std::int64_t idleLimitMs);

    // Users, managed by the server's owner. Addresses are compared as given: callers lower-case them.
    std::optional<Account> addUser(
        const std::string& email, const std::string& displayName, const std::string& passwordHash);
    // For a loopback server that signs everyone in as one address.
    Account ensureAccount(const std::string& email, const std::string& displayName);
    std::optional<Credentials> credentials(const std::string& email);
    std::vector<UserSummary> users();
    // Removes the account with its tokens, transcripts and jobs.
    bool removeUser(const std::string& email);
    bool setPassword(const std::string& email, const std::string& passwordHash);
    std::vector<TokenSummary> tokens(const std::string& email);
    // Transcripts are mailed only to the account's own address and those its owner allowed.
    bool allowRecipient(const std::string& email, const std::string& address, bool allowed);
    bool mayMail(const std::string& accountId, const std::string& address);
    // Every token of the account, or the one whose id is given; returns how many went.
    std::int64_t revokeTokens(const std::string& email, const std::optional<std::string>& tokenId);

    std::vector<Recording> recordings(const std::string& accountId);
    std::optional<Recording> recording(const std::string& id);
    bool deleteRecording(const std::string& accountId, const std::string& id);
    // At most one transcript per key and account; a repeat returns the first answer and false.
    // Throws QuotaExceeded when a new one would take the account's transcripts past `quotaBytes`.
    std::pair<Recording, bool> saveRecording(const std::string& accountId, const std::string& idempotencyKey,
        const NewRecording& fields, std::int64_t quotaBytes);
    // Applies the edit only while the stored version is `expectedVersion`, so of
    // two edits made from the same version exactly one lands.
    // Throws QuotaExceeded when a longer transcript would pass `quotaBytes`.
    EditResult editRecording(const std::string& accountId, const std::string& id,
        std::int64_t expectedVersion, const RecordingEdit& edit, std::int64_t quotaBytes);
    // Keeps a title the owner gave: only the placeholder is replaced.
    void updateCleanup(const std::string& id, const std::string& title,
        const std::optional<std::string>& category, const std::vector<std::string>& languageCodes,
        CleanupStatus status);
    void updateEmailStatus(const std::string& id, EmailStatus status);

    // Speaker detection: one job per account and recording id.
    DiarizationJob prepareDiarization(
        const std::string& accountId, const std::string& recordingId, const std::string& capabilityHash);
    std::optional<DiarizationJob> diarization(const std::string& accountId, const std::string& recordingId);
    std::optional<DiarizationJob> diarizationForCapability(const std::string& capabilityHash);
    // Only a job still waiting for its audio accepts it; the capability dies with the upload.
    bool acceptUpload(const std::string& capabilityHash, const std::string& audioPath);
    void setDiarizationStatus(const std::string& accountId, const std::string& recordingId,
        DiarizationStatus status, const std::optional<std::string>& segmentsJson = std::nullopt,
        const std::optional<std::string>& error = std::nullopt);
    std::vector<DiarizationJob> diarizationsWithStatus(DiarizationStatus status);

private:
    void migrate();
    Account insertAccount(const std::string& email, const std::string& displayName,
        const std::optional<std::string>& passwordHash);
    std::optional<Account> accountWhere(const char* sql, const std::string& value);
    std::optional<Account> accountByEmail(const std::string& email);
    static Recording readRecording(Statement& statement);
    static DiarizationJob readDiarization(Statement& statement);

    std::mutex m_mutex;
    Database m_db;
};

} // namespace server
