#include "support/TemporaryXdg.h"

#include <QDir>

#include <cstdlib>

namespace {

const char* const kVariables[] = { "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME" };

} // namespace

TemporaryXdg::TemporaryXdg()
{
    for (const char* name : kVariables) {
        m_saved[name] = qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt;
    }
    QDir().mkpath(dataHome());
    QDir().mkpath(configHome());
    QDir().mkpath(path() + QStringLiteral("/cache"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome()));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(path() + QStringLiteral("/cache")));
}

TemporaryXdg::~TemporaryXdg()
{
    for (const auto& [name, value] : m_saved) {
        if (value) {
            qputenv(name.constData(), *value);
        } else {
            qunsetenv(name.constData());
        }
    }
}
