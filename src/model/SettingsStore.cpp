#include "model/SettingsStore.h"

#include <QIODevice>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStandardPaths>

namespace {

// Keys stay flat: QSettings groups ("a/b") are stored under the joined key.
bool readJson(QIODevice& device, QSettings::SettingsMap& map)
{
    const QByteArray bytes = device.readAll();
    if (bytes.trimmed().isEmpty()) {
        return true;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return false;
    }
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        map.insert(it.key(), it.value().toVariant());
    }
    return true;
}

bool writeJson(QIODevice& device, const QSettings::SettingsMap& map)
{
    QJsonObject object;
    for (auto it = map.begin(); it != map.end(); ++it) {
        const QJsonValue value = QJsonValue::fromVariant(it.value());
        if (value.isNull() && !it.value().isNull()) {
            return false;
        }
        object.insert(it.key(), value);
    }
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Indented);
    return device.write(bytes) == bytes.size();
}

} // namespace

SettingsStore::SettingsStore()
    : SettingsStore(defaultFileName())
{ }

SettingsStore::SettingsStore(const QString& fileName)
    : m_settings(fileName, jsonFormat())
{
    m_settings.setAtomicSyncRequired(true);
}

QString SettingsStore::defaultFileName()
{
    // Computed here rather than left to QSettings, which caches the XDG paths
    // of the first instance for the life of the process.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/Tallisen/Tallisen.json");
}

QSettings::Format SettingsStore::jsonFormat()
{
    static const QSettings::Format format
        = QSettings::registerFormat(QStringLiteral("json"), readJson, writeJson);
    return format;
}

std::optional<QString> SettingsStore::string(const QString& key) const
{
    const QVariant value = m_settings.value(key);
    if (value.typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    return value.toString();
}

std::optional<bool> SettingsStore::boolean(const QString& key) const
{
    const QVariant value = m_settings.value(key);
    if (value.typeId() != QMetaType::Bool) {
        return std::nullopt;
    }
    return value.toBool();
}

QVariantMap SettingsStore::map(const QString& key) const
{
    const QVariant value = m_settings.value(key);
    return value.typeId() == QMetaType::QVariantMap ? value.toMap() : QVariantMap();
}

void SettingsStore::setString(const QString& key, const QString& value)
{
    write(key, value);
}

void SettingsStore::setBoolean(const QString& key, bool value)
{
    write(key, value);
}

void SettingsStore::setMap(const QString& key, const QVariantMap& value)
{
    write(key, value);
}

void SettingsStore::write(const QString& key, const QVariant& value)
{
    m_settings.setValue(key, value);
    m_settings.sync();
}
