#include "api/WireRecords.h"

#include "api/Iso8601.h"
#include "core/DecodingError.h"
#include "core/JsonFields.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>

// The bodies are written with nlohmann-json, as the fake server writes them,
// so the client's decoding is checked against an independent JSON writer.
namespace {

using nlohmann::json;

QJsonObject object(const json& value)
{
    return JsonFields::parseObject(QByteArray::fromStdString(value.dump()));
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

std::string decodingFailure(const std::function<void()>& decode)
{
    try {
        decode();
    } catch (const DecodingError& error) {
        return error.detail();
    }
    return "decoded";
}

} // namespace

TEST(WireRecords, RecordingDecodesEveryField)
{
    const Recording recording = Recording::fromJson(object(recordingJson()));
    EXPECT_EQ(recording.id, QUuid(QStringLiteral("{0F8FAD5B-D9CB-469F-A165-70867728950E}")));
    EXPECT_EQ(recording.title, QStringLiteral("Weekly planning"));
    EXPECT_EQ(recording.transcript, QStringLiteral("Hello."));
    EXPECT_EQ(recording.languageCodes, QStringList({ QStringLiteral("en"), QStringLiteral("de") }));
    EXPECT_EQ(recording.recordedAt, *Iso8601::parse(QStringLiteral("2026-03-01T09:30:00Z")));
    EXPECT_DOUBLE_EQ(recording.createdAt.unixSeconds() - recording.recordedAt.unixSeconds(), 1800.25);
    EXPECT_EQ(recording.category, QStringLiteral("Meetings"));
    EXPECT_EQ(recording.cleanupStatus, QStringLiteral("pending"));
    EXPECT_EQ(recording.emailStatus, QStringLiteral("disabled"));
}

TEST(WireRecords, RecordingOptionalFieldsAbsentOrNullReadAsAbsent)
{
    json absent = recordingJson();
    absent.erase("category");
    absent.erase("cleanupStatus");
    absent.erase("emailStatus");
    json null = recordingJson();
    null["category"] = nullptr;
    null["cleanupStatus"] = nullptr;
    null["emailStatus"] = nullptr;
    for (const json& body : { absent, null }) {
        const Recording recording = Recording::fromJson(object(body));
        EXPECT_FALSE(recording.category);
        EXPECT_FALSE(recording.cleanupStatus);
        EXPECT_FALSE(recording.emailStatus);
    }
    json wrongType = recordingJson();
    wrongType["category"] = 3;
    EXPECT_NE(decodingFailure([&] { Recording::fromJson(object(wrongType)); }), "decoded");
}

TEST(WireRecords, RecordingRequiredFieldsMustBePresentNonNullAndTyped)
{
    for (const char* key : { "id", "title", "transcript", "languageCodes", "recordedAt", "createdAt" }) {
        json missing = recordingJson();
        missing.erase(key);
        EXPECT_NE(decodingFailure([&] { Recording::fromJson(object(missing)); }), "decoded") << key;
        json null = recordingJson();
        null[key] = nullptr;
        EXPECT_NE(decodingFailure([&] { Recording::fromJson(object(null)); }), "decoded") << key;
        json number = recordingJson();
        number[key] = 7;
        EXPECT_NE(decodingFailure([&] { Recording::fromJson(object(number)); }), "decoded") << key;
    }
    json badId = recordingJson();
    badId["id"] = "{0f8fad5b-d9cb-469f-a165-70867728950e}";
    EXPECT_NE(decodingFailure([&] { Recording::fromJson(object(badId)); }), "decoded");
    json mixedCodes = recordingJson();
    mixedCodes["languageCodes"] = { "en", 1 };
    EXPECT_NE(decodingFailure([&] { Recording::fromJson(object(mixedCodes)); }), "decoded");
}

TEST(WireRecords, RecordingAcceptsEmptyLanguageCodesAndIgnoresExtraKeys)
{
    json body = recordingJson();
    body["languageCodes"] = json::array();
    body["futureField"] = { { "nested", true } };
    body["Title"] = 5;
    const Recording recording = Recording::fromJson(object(body));
    EXPECT_TRUE(recording.languageCodes.isEmpty());
    EXPECT_EQ(recording.title, QStringLiteral("Weekly planning"));
}

TEST(WireRecords, OneBadElementFailsTheWholeList)
{
    json second = recordingJson();
    second["createdAt"] = "2026-03-01";
    const json list = { { "recordings", { recordingJson(), second } } };
    EXPECT_EQ(decodingFailure([&] { RecordingList::fromJson(object(list)); }), "Invalid ISO 8601 date");

    const json order = { { "recordings", { recordingJson(), recordingJson() } } };
    EXPECT_EQ(RecordingList::fromJson(object(order)).recordings.size(), 2U);
    EXPECT_TRUE(RecordingList::fromJson(object({ { "recordings", json::array() } })).recordings.empty());
    EXPECT_NE(decodingFailure([&] {
        RecordingList::fromJson(object({ { "recordings", { 1 } } }));
    }),
        "decoded");
}

TEST(WireRecords, CurrentUserIdReadsEitherCase)
{
    const QUuid lower
        = CurrentUser::fromJson(object({ { "id", "0f8fad5b-d9cb-469f-a165-70867728950e" } })).id;
    const QUuid upper
        = CurrentUser::fromJson(object({ { "id", "0F8FAD5B-D9CB-469F-A165-70867728950E" } })).id;
    EXPECT_EQ(lower, upper);
    EXPECT_FALSE(lower.isNull());
}

TEST(WireRecords, DeleteResponseNeedsABooleanButAcceptsFalse)
{
    EXPECT_FALSE(DeleteResponse::fromJson(object({ { "deleted", false } })).deleted);
    EXPECT_TRUE(DeleteResponse::fromJson(object({ { "deleted", true } })).deleted);
    EXPECT_NE(decodingFailure([&] { DeleteResponse::fromJson(object(json::object())); }), "decoded");
    EXPECT_NE(decodingFailure([&] {
        DeleteResponse::fromJson(object({ { "deleted", "false" } }));
    }),
        "decoded");
    EXPECT_NE(decodingFailure([&] { DeleteResponse::fromJson(object({ { "deleted", 0 } })); }), "decoded");
}

TEST(WireRecords, SignInStartNeedsAnAbsoluteUrlAndACode)
{
    const SignInStart start = SignInStart::fromJson(
        object({ { "url", "https://accounts.example.com/signin?state=x" }, { "code", "c0de" } }));
    EXPECT_EQ(start.url, QUrl(QStringLiteral("https://accounts.example.com/signin?state=x")));
    EXPECT_EQ(start.code, QStringLiteral("c0de"));
    EXPECT_NE(decodingFailure([&] {
        SignInStart::fromJson(object({ { "url", "/signin" }, { "code", "c" } }));
    }),
        "decoded");
    EXPECT_NE(decodingFailure([&] {
        SignInStart::fromJson(object({ { "url", "https://a.example" } }));
    }),
        "decoded");
}

TEST(WireRecords, SingleFieldAnswers)
{
    EXPECT_EQ(TokenResponse::fromJson(object({ { "token", "t" } })).token, QStringLiteral("t"));
    EXPECT_NE(decodingFailure([&] { TokenResponse::fromJson(object({ { "token", 1 } })); }), "decoded");
    EXPECT_EQ(TranscriptionResponse::fromJson(object({ { "text", "" } })).text, QString());
    EXPECT_EQ(
        APIError::fromJson(object({ { "error", "Nope" }, { "code", 3 } })).error, QStringLiteral("Nope"));
    EXPECT_NE(decodingFailure([&] { APIError::fromJson(object({ { "message", "Nope" } })); }), "decoded");

    const AlignmentResponse alignment = AlignmentResponse::fromJson(object(
        { { "words", { { { "text", "Hi" }, { "start", 0.5 }, { "end", 0.9 } }, { { "text", "," } } } } }));
    ASSERT_EQ(alignment.words.size(), 2U);
    EXPECT_EQ(alignment.words[0].start, 0.5);
    EXPECT_FALSE(alignment.words[1].start);
}

TEST(WireRecords, DiarizationResponseOptionalParts)
{
    const DiarizationResponse pending = DiarizationResponse::fromJson(object({ { "status", "pending" } }));
    EXPECT_EQ(pending.status, QStringLiteral("pending"));
    EXPECT_FALSE(pending.uploadURL);
    EXPECT_FALSE(pending.segments);

    const DiarizationResponse done
        = DiarizationResponse::fromJson(object({ { "status", "succeeded" }, { "uploadURL", nullptr },
            { "segments", { { { "start", 0.0 }, { "end", 2.5 }, { "speaker", "SPEAKER_00" } } } } }));
    EXPECT_FALSE(done.uploadURL);
    ASSERT_TRUE(done.segments);
    EXPECT_EQ(done.segments->at(0).speaker, QStringLiteral("SPEAKER_00"));
    EXPECT_FALSE(done.error);

    const DiarizationResponse failed = DiarizationResponse::fromJson(object(
        { { "status", "failed" }, { "error", "The upload is not an audio file the server can read." } }));
    EXPECT_EQ(failed.error, QStringLiteral("The upload is not an audio file the server can read."));

    const DiarizationResponse upload = DiarizationResponse::fromJson(
        object({ { "status", "upload" }, { "uploadURL", "https://storage.example.com/put?sig=1" } }));
    EXPECT_EQ(upload.uploadURL, QUrl(QStringLiteral("https://storage.example.com/put?sig=1")));
    EXPECT_NE(decodingFailure([&] {
        DiarizationResponse::fromJson(object({ { "status", "upload" }, { "uploadURL", "not a url" } }));
    }),
        "decoded");
    EXPECT_NE(decodingFailure([&] {
        DiarizationResponse::fromJson(object({ { "segments", json::array() } }));
    }),
        "decoded");
}
