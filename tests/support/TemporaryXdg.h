#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <map>
#include <optional>

// Points XDG_DATA_HOME, XDG_CONFIG_HOME and XDG_CACHE_HOME at a fresh
// temporary directory for the lifetime of the object, and restores them after.
class TemporaryXdg
{
public:
    TemporaryXdg();
    TemporaryXdg(const TemporaryXdg&) = delete;
    TemporaryXdg& operator=(const TemporaryXdg&) = delete;
    ~TemporaryXdg();

    QString path() const { return m_directory.path(); }
    QString dataHome() const { return m_directory.path() + QStringLiteral("/data"); }
    QString configHome() const { return m_directory.path() + QStringLiteral("/config"); }

private:
    QTemporaryDir m_directory;
    std::map<QByteArray, std::optional<QByteArray>> m_saved;
};
