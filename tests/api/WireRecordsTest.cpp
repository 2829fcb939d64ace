#include "api/WireRecords.h"

#include "api/Iso8601.h"
#include "core/DecodingError.h"
#include "core/JsonFields.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

// The bodies are written with nlohmann-json, as the fake server writes them,
// so the client's decoding is checked against an independent JSON writer.
namespace {

using nlohmann::json;

QJsonObject object(const json& value)
{
    return JsonFields::parseObject(QByteArray::fromStdString(value.dump()));
}

template <typename Record> Record decode(const json& body)
{
    return Record::fromJson(object(body));
}

// Whether the body decodes; any failure must be a DecodingError.
template <typename Record> bool decodes(const json& body)
{
    try {
        decode<Record>(body);
        return true;
    } catch (const DecodingError&) {
        return false;
    }
}

json recordingJson()
{
    return {
        { "id", "0f8fad5b-d9cb-469f-a165-70867728950e" },
        { "title", "Weekly planning" },
        { "transcript", "Hello." },
        { "languageCodes", { "en", "de" } },
        { "recordedAt", "2026-03-01T09:30:00Z" },
        { "createdAt", "2026-03-01T10:00:00.250Z" },
        { "category", "Meetings" },
        { "cleanupStatus", "pending" },
        { "emailStatus", "disabled" },
    };
}

json with(json body, const std::string& key, const json& value)
{
    body[key] = value;
    return body;
}

} // namespace

TEST(WireRecords, RecordingDecodesEveryFieldAndIgnoresExtraKeys)
{
    json body = recordingJson();
    body["futureField"] = { { "nested", true } };
    body["Title"] = 5;
    const Recording recording = decode<Recording>(body);
    EXPECT_EQ(recording.id, QUuid(QStringLiteral("{0F8FAD5B-D9CB-469F-A165-70867728950E}")));
    EXPECT_EQ(recording.title, QStringLiteral("Weekly planning"));
    EXPECT_EQ(recording.transcript, QStringLiteral("Hello."));
    EXPECT_EQ(recording.languageCodes, QStringList({ QStringLiteral("en"), QStringLiteral("de") }));
    EXPECT_EQ(recording.recordedAt, *Iso8601::parse(QStringLiteral("2026-03-01T09:30:00Z")));
    EXPECT_DOUBLE_EQ(recording.createdAt.unixSeconds() - recording.recordedAt.unixSeconds(), 1800.25);
    EXPECT_EQ(recording.category, QStringLiteral("Meetings"));
    EXPECT_EQ(recording.cleanupStatus, QStringLiteral("pending"));
    EXPECT_EQ(recording.emailStatus, QStringLiteral("disabled"));
    EXPECT_TRUE(decode<Recording>(with(body, "languageCodes", json::array())).languageCodes.isEmpty());
}

// Required fields must be present and non-null; optional ones may be absent
// or null; none may be of another type.
TEST(WireRecords, RecordingFieldsAreRequiredOrOptionalButAlwaysTyped)
{
    const struct
    {
        const char* key;
        std::optional<QString> Recording::*optional = nullptr;
    } fields[] = { { "id" }, { "title" }, { "transcript" }, { "languageCodes" }, { "recordedAt" },
        { "createdAt" }, { "category", &Recording::category }, { "cleanupStatus", &Recording::cleanupStatus },
        { "emailStatus", &Recording::emailStatus } };
    for (const auto& field : fields) {
        SCOPED_TRACE(field.key);
        json missing = recordingJson();
        missing.erase(field.key);
        for (const json& body : { missing, with(recordingJson(), field.key, nullptr) }) {
            if (field.optional) {
                EXPECT_FALSE(decode<Recording>(body).*field.optional);
            } else {
                EXPECT_FALSE(decodes<Recording>(body));
            }
        }
        EXPECT_FALSE(decodes<Recording>(with(recordingJson(), field.key, 7)));
    }
    EXPECT_FALSE(decodes<Recording>(with(recordingJson(), "id", "{0f8fad5b-d9cb-469f-a165-70867728950e}")));
    EXPECT_FALSE(decodes<Recording>(with(recordingJson(), "languageCodes", { "en", 1 })));
}

TEST(WireRecords, SmallAnswers)
{
    const QUuid lower = decode<CurrentUser>({ { "id", "0f8fad5b-d9cb-469f-a165-70867728950e" } }).id;
    EXPECT_FALSE(lower.isNull());
    EXPECT_EQ(decode<CurrentUser>({ { "id", "0F8FAD5B-D9CB-469F-A165-70867728950E" } }).id, lower);

    EXPECT_FALSE(decode<DeleteResponse>({ { "deleted", false } }).deleted);
    EXPECT_TRUE(decode<DeleteResponse>({ { "deleted", true } }).deleted);
    for (const json& body : { json::object(), json { { "deleted", "false" } }, json { { "deleted", 0 } } }) {
        EXPECT_FALSE(decodes<DeleteResponse>(body)) << body.dump();
    }
    // A list fails whole on one bad element (and on a bad date:
    // AccountEndpoints.ListKeepsTheServersOrderAndFailsWholeOnOneMalformedRecording).
    EXPECT_FALSE(decodes<RecordingList>({ { "recordings", { recordingJson(), 1 } } }));

    const SignInStart start = decode<SignInStart>(
        { { "url", "https://accounts.example.com/signin?state=x" }, { "code", "c0de" } });
    EXPECT_EQ(start.url, QUrl(QStringLiteral("https://accounts.example.com/signin?state=x")));
    EXPECT_EQ(start.code, QStringLiteral("c0de"));
    EXPECT_FALSE(decodes<SignInStart>({ { "url", "/signin" }, { "code", "c" } }));
    EXPECT_FALSE(decodes<SignInStart>({ { "url", "https://a.example" } }));

    EXPECT_EQ(decode<TokenResponse>({ { "token", "t" } }).token, QStringLiteral("t"));
    EXPECT_FALSE(decodes<TokenResponse>({ { "token", 1 } }));
    EXPECT_EQ(decode<TranscriptionResponse>({ { "text", "" } }).text, QString());
    EXPECT_EQ(decode<APIError>({ { "error", "Nope" }, { "code", 3 } }).error, QStringLiteral("Nope"));
    EXPECT_FALSE(decodes<APIError>({ { "message", "Nope" } }));

    const AlignmentResponse alignment = decode<AlignmentResponse>(
        { { "words", { { { "text", "Hi" }, { "start", 0.5 }, { "end", 0.9 } }, { { "text", "," } } } } });
    ASSERT_EQ(alignment.words.size(), 2U);
    EXPECT_EQ(alignment.words[0].start, 0.5);
    EXPECT_FALSE(alignment.words[1].start);
}

TEST(WireRecords, DiarizationResponseOptionalParts)
{
    const auto pending = decode<DiarizationResponse>({ { "status", "pending" } });
    EXPECT_EQ(pending.status, QStringLiteral("pending"));
    EXPECT_FALSE(pending.uploadURL || pending.segments || pending.error);

    const auto done = decode<DiarizationResponse>({ { "status", "succeeded" }, { "uploadURL", nullptr },
        { "segments", { { { "start", 0.0 }, { "end", 2.5 }, { "speaker", "SPEAKER_00" } } } } });
    EXPECT_FALSE(done.uploadURL);
    ASSERT_TRUE(done.segments);
    EXPECT_EQ(done.segments->at(0).speaker, QStringLiteral("SPEAKER_00"));

    const auto failed = decode<DiarizationResponse>(
        { { "status", "failed" }, { "error", "The upload is not an audio file the server can read." } });
    EXPECT_EQ(failed.error, QStringLiteral("The upload is not an audio file the server can read."));

    const auto upload = decode<DiarizationResponse>(
        { { "status", "upload" }, { "uploadURL", "https://storage.example.com/put?sig=1" } });
    EXPECT_EQ(upload.uploadURL, QUrl(QStringLiteral("https://storage.example.com/put?sig=1")));
    EXPECT_FALSE(decodes<DiarizationResponse>({ { "status", "upload" }, { "uploadURL", "not a url" } }));
    EXPECT_FALSE(decodes<DiarizationResponse>({ { "segments", json::array() } }));
}
