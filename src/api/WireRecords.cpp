#include "api/WireRecords.h"

#include "api/Iso8601.h"
#include "core/JsonFields.h"
#include "core/Uuids.h"

namespace {

Date requiredDate(const QJsonObject& object, const QString& key)
{
    return Iso8601::parseOrThrow(JsonFields::requiredString(object, key));
}

QStringList requiredStrings(const QJsonObject& object, const QString& key)
{
    QStringList strings;
    for (const QJsonValue& value : JsonFields::requiredArray(object, key)) {
        if (!value.isString()) {
            throw DecodingError("expected strings in the array for key \"" + key.toStdString() + "\"");
        }
        strings.append(value.toString());
    }
    return strings;
}

} // namespace

Recording Recording::fromJson(const QJsonObject& object)
{
    return Recording {
        .id = JsonFields::requiredUuid(object, QStringLiteral("id")),
        .title = JsonFields::requiredString(object, QStringLiteral("title")),
        .transcript = JsonFields::requiredString(object, QStringLiteral("transcript")),
        .languageCodes = requiredStrings(object, QStringLiteral("languageCodes")),
        .recordedAt = requiredDate(object, QStringLiteral("recordedAt")),
        .createdAt = requiredDate(object, QStringLiteral("createdAt")),
        .category = JsonFields::optionalString(object, QStringLiteral("category")),
        .cleanupStatus = JsonFields::optionalString(object, QStringLiteral("cleanupStatus")),
        .emailStatus = JsonFields::optionalString(object, QStringLiteral("emailStatus")),
        .version = JsonFields::optionalInt64(object, QStringLiteral("version")),
    };
}

QJsonObject Recording::toJson() const
{
    QJsonObject object {
        { QStringLiteral("id"), Uuids::text(id) },
        { QStringLiteral("title"), title },
        { QStringLiteral("transcript"), transcript },
        { QStringLiteral("languageCodes"), QJsonArray::fromStringList(languageCodes) },
        { QStringLiteral("recordedAt"), Iso8601::formatWholeSeconds(recordedAt) },
        { QStringLiteral("createdAt"), Iso8601::formatWholeSeconds(createdAt) },
    };
    const std::pair<QString, const std::optional<QString>&> optionals[] {
        { QStringLiteral("category"), category },
        { QStringLiteral("cleanupStatus"), cleanupStatus },
        { QStringLiteral("emailStatus"), emailStatus },
    };
    for (const auto& [key, value] : optionals) {
        if (value) {
            object.insert(key, *value);
        }
    }
    if (version) {
        object.insert(QStringLiteral("version"), *version);
    }
    return object;
}

RecordingList RecordingList::fromJson(const QJsonObject& object)
{
    return RecordingList { JsonFields::records<Recording>(
        JsonFields::requiredArray(object, QStringLiteral("recordings"))) };
}

CurrentUser CurrentUser::fromJson(const QJsonObject& object)
{
    return CurrentUser { JsonFields::requiredUuid(object, QStringLiteral("id")) };
}

DeleteResponse DeleteResponse::fromJson(const QJsonObject& object)
{
    return DeleteResponse { JsonFields::requiredBool(object, QStringLiteral("deleted")) };
}

SignInStart SignInStart::fromJson(const QJsonObject& object)
{
    return SignInStart {
        .url = JsonFields::requiredUrl(object, QStringLiteral("url")),
        .code = JsonFields::requiredString(object, QStringLiteral("code")),
    };
}

TokenResponse TokenResponse::fromJson(const QJsonObject& object)
{
    return TokenResponse { JsonFields::requiredString(object, QStringLiteral("token")) };
}

TranscriptionResponse TranscriptionResponse::fromJson(const QJsonObject& object)
{
    return TranscriptionResponse { JsonFields::requiredString(object, QStringLiteral("text")) };
}

AlignmentResponse AlignmentResponse::fromJson(const QJsonObject& object)
{
    return AlignmentResponse { JsonFields::records<AlignedWord>(
        JsonFields::requiredArray(object, QStringLiteral("words"))) };
}

DiarizationResponse DiarizationResponse::fromJson(const QJsonObject& object)
{
    DiarizationResponse response {
        .status = JsonFields::requiredString(object, QStringLiteral("status")),
        .uploadURL = std::nullopt,
        .segments = std::nullopt,
        .error = JsonFields::optionalString(object, QStringLiteral("error")),
    };
    if (JsonFields::optionalString(object, QStringLiteral("uploadURL"))) {
        response.uploadURL = JsonFields::requiredUrl(object, QStringLiteral("uploadURL"));
    }
    if (const auto segments = JsonFields::optionalArray(object, QStringLiteral("segments"))) {
        response.segments = JsonFields::records<SpeakerSegment>(*segments);
    }
    return response;
}

APIError APIError::fromJson(const QJsonObject& object)
{
    return APIError { JsonFields::requiredString(object, QStringLiteral("error")) };
}
