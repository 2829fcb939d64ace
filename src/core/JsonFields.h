#pragma once

#include "core/DecodingError.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <optional>
#include <vector>

// Strict reading of JSON objects: a required key that is missing, null or of
// the wrong type throws DecodingError; an optional key that is missing or null
// reads as absent, and of the wrong type still throws. Unknown keys are ignored.
namespace JsonFields {

QJsonObject parseObject(const QByteArray& bytes);

QString requiredString(const QJsonObject& object, const QString& key);
double requiredDouble(const QJsonObject& object, const QString& key);
bool requiredBool(const QJsonObject& object, const QString& key);
qint64 requiredInt64(const QJsonObject& object, const QString& key);
QJsonArray requiredArray(const QJsonObject& object, const QString& key);
QJsonObject requiredObject(const QJsonObject& object, const QString& key);
QUuid requiredUuid(const QJsonObject& object, const QString& key);
QUrl requiredUrl(const QJsonObject& object, const QString& key);

std::optional<QString> optionalString(const QJsonObject& object, const QString& key);
std::optional<double> optionalDouble(const QJsonObject& object, const QString& key);
std::optional<bool> optionalBool(const QJsonObject& object, const QString& key);
std::optional<qint64> optionalInt64(const QJsonObject& object, const QString& key);
std::optional<QJsonArray> optionalArray(const QJsonObject& object, const QString& key);

// Decodes every element of an array as an object with Record::fromJson.
template <typename Record> std::vector<Record> records(const QJsonArray& array)
{
    std::vector<Record> result;
    result.reserve(static_cast<size_t>(array.size()));
    for (const QJsonValue& value : array) {
        if (!value.isObject()) {
            throw DecodingError("expected an object in an array");
        }
        result.push_back(Record::fromJson(value.toObject()));
    }
    return result;
}

template <typename Record> QJsonArray toArray(const std::vector<Record>& list)
{
    QJsonArray array;
    for (const Record& record : list) {
        array.append(record.toJson());
    }
    return array;
}

} // namespace JsonFields
