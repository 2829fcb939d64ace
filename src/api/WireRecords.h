#pragma once

#include "core/Date.h"
#include "store/AlignedWord.h"
#include "store/SpeakerSegment.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QUuid>

#include <optional>
#include <vector>

// The server's JSON answers. Decoding is strict: keys exactly as written here,
// unknown keys ignored, null equal to absent for optional fields, and a
// missing, null or wrong-typed required field fails the whole record with
// DecodingError.

// One transcript stored on the server.
struct Recording
{
    QUuid id;
    QString title;
    QString transcript;
    QStringList languageCodes;
    Date recordedAt;
    Date createdAt;
    std::optional<QString> category;
    std::optional<QString> cleanupStatus;
    std::optional<QString> emailStatus;
    // What an edit names in If-Match; absent from servers that cannot edit.
    std::optional<qint64> version;

    static Recording fromJson(const QJsonObject& object);
    // The keys fromJson reads; absent optional fields are left out.
    QJsonObject toJson() const;
    bool operator==(const Recording&) const = default;
};

struct RecordingList
{
    std::vector<Recording> recordings;

    static RecordingList fromJson(const QJsonObject& object);
};

struct CurrentUser
{
    QUuid id;

    static CurrentUser fromJson(const QJsonObject& object);
};

struct DeleteResponse
{
    bool deleted = false;

    static DeleteResponse fromJson(const QJsonObject& object);
};

// Where the user signs in with the browser, and the code to poll with.
struct SignInStart
{
    QUrl url;
    QString code;

    static SignInStart fromJson(const QJsonObject& object);
};

struct TokenResponse
{
    QString token;

    static TokenResponse fromJson(const QJsonObject& object);
};

struct TranscriptionResponse
{
    QString text;

    static TranscriptionResponse fromJson(const QJsonObject& object);
};

struct AlignmentResponse
{
    std::vector<AlignedWord> words;

    static AlignmentResponse fromJson(const QJsonObject& object);
};

struct DiarizationResponse
{
    QString status;
    std::optional<QUrl> uploadURL;
    std::optional<std::vector<SpeakerSegment>> segments;
    // The server's reason when the job failed.
    std::optional<QString> error;

    static DiarizationResponse fromJson(const QJsonObject& object);
};

// The body of a non-2xx answer; its text is shown to the user unchanged.
struct APIError
{
    QString error;

    static APIError fromJson(const QJsonObject& object);
};
