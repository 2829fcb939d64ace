#include "core/JsonFields.h"

#include "core/Uuids.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <cmath>

namespace JsonFields {
namespace {

std::string name(const QString& key)
{
    return key.toStdString();
}

QJsonValue present(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull()) {
        throw DecodingError("missing value for key \"" + name(key) + "\"");
    }
    return value;
}

[[noreturn]] void wrongType(const QString& key, const char* expected)
{
    throw DecodingError("expected " + std::string(expected) + " for key \"" + name(key) + "\"");
}

bool isAbsent(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    return value.isUndefined() || value.isNull();
}

double finiteDouble(const QJsonValue& value, const QString& key)
{
    if (!value.isDouble() || !std::isfinite(value.toDouble())) {
        wrongType(key, "a number");
    }
    return value.toDouble();
}

qint64 int64(const QJsonValue& value, const QString& key)
{
    const double number = finiteDouble(value, key);
    // 2^63 is exactly representable; anything at or past it does not fit.
    if (number != std::trunc(number) || number < -9223372036854775808.0 || number >= 9223372036854775808.0) {
        wrongType(key, "a 64-bit integer");
    }
    return static_cast<qint64>(number);
}

} // namespace

QJsonObject parseObject(const QByteArray& bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError) {
        throw DecodingError("invalid JSON: " + error.errorString().toStdString());
    }
    if (!document.isObject()) {
        throw DecodingError("expected a JSON object");
    }
    return document.object();
}

QString requiredString(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = present(object, key);
    if (!value.isString()) {
        wrongType(key, "a string");
    }
    return value.toString();
}

double requiredDouble(const QJsonObject& object, const QString& key)
{
    return finiteDouble(present(object, key), key);
}

bool requiredBool(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = present(object, key);
    if (!value.isBool()) {
        wrongType(key, "a Boolean");
    }
    return value.toBool();
}

qint64 requiredInt64(const QJsonObject& object, const QString& key)
{
    return int64(present(object, key), key);
}

QJsonArray requiredArray(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = present(object, key);
    if (!value.isArray()) {
        wrongType(key, "an array");
    }
    return value.toArray();
}

QJsonObject requiredObject(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = present(object, key);
    if (!value.isObject()) {
        wrongType(key, "an object");
    }
    return value.toObject();
}

QUuid requiredUuid(const QJsonObject& object, const QString& key)
{
    const auto id = Uuids::parse(requiredString(object, key));
    if (!id) {
        wrongType(key, "a UUID");
    }
    return *id;
}

QUrl requiredUrl(const QJsonObject& object, const QString& key)
{
    const QUrl url(requiredString(object, key), QUrl::StrictMode);
    if (!url.isValid() || url.isRelative()) {
        wrongType(key, "an absolute URL");
    }
    // A URL that reads back differently once written (a "#" inside its fragment,
    // say) would be silently rewritten in the job file: refuse it instead.
    if (QUrl(url.toString(QUrl::FullyEncoded), QUrl::StrictMode) != url) {
        wrongType(key, "a URL in its written form");
    }
    return url;
}

std::optional<QString> optionalString(const QJsonObject& object, const QString& key)
{
    if (isAbsent(object, key)) {
        return std::nullopt;
    }
    return requiredString(object, key);
}

std::optional<double> optionalDouble(const QJsonObject& object, const QString& key)
{
    if (isAbsent(object, key)) {
        return std::nullopt;
    }
    return requiredDouble(object, key);
}

std::optional<bool> optionalBool(const QJsonObject& object, const QString& key)
{
    if (isAbsent(object, key)) {
        return std::nullopt;
    }
    return requiredBool(object, key);
}

std::optional<qint64> optionalInt64(const QJsonObject& object, const QString& key)
{
    if (isAbsent(object, key)) {
        return std::nullopt;
    }
    return requiredInt64(object, key);
}

std::optional<QJsonArray> optionalArray(const QJsonObject& object, const QString& key)
{
    if (isAbsent(object, key)) {
        return std::nullopt;
    }
    return requiredArray(object, key);
}

} // namespace JsonFields
