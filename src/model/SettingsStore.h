#pragma once

// The user's settings: one JSON object in $XDG_CONFIG_HOME/Tallisen/Tallisen.json,
// read and written through QSettings with a JSON format that keeps each value's
// JSON type, so a stored Boolean reads back as a Boolean and a text as a text.
// Every write reaches the disk at once through an atomic replace of the file.
// Used on the main thread only.

#include <QSettings>
#include <QString>
#include <QVariantMap>

#include <optional>

class SettingsStore
{
public:
    static inline const QString kTranscriptEmail = QStringLiteral("transcriptEmail");
    static inline const QString kServer = QStringLiteral("server");
    static inline const QString kDiarizationEnabled = QStringLiteral("diarizationEnabled");
    static inline const QString kAutoRecordEnabled = QStringLiteral("autoRecordEnabled");
    // The account id each server last gave, by server, for recording while it
    // cannot be reached.
    static inline const QString kAccountIDs = QStringLiteral("accountIDs");

    // The file under the XDG config dir as the environment names it now.
    SettingsStore();
    explicit SettingsStore(const QString& fileName);
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    static QString defaultFileName();
    // The typed JSON format, registered with QSettings on first use.
    static QSettings::Format jsonFormat();

    QString fileName() const { return m_settings.fileName(); }

    // Absent when the key is missing or holds a value of another type.
    std::optional<QString> string(const QString& key) const;
    std::optional<bool> boolean(const QString& key) const;
    // A JSON object as a map; empty when missing or not an object.
    QVariantMap map(const QString& key) const;

    void setString(const QString& key, const QString& value);
    void setBoolean(const QString& key, bool value);
    void setMap(const QString& key, const QVariantMap& value);

private:
    void write(const QString& key, const QVariant& value);

    QSettings m_settings;
};
