#include "core/Date.h"

#include <QLocale>

#include <chrono>
#include <cmath>

Date Date::now()
{
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return fromUnixSeconds(std::chrono::duration<double>(sinceEpoch).count());
}

Date Date::fromQDateTime(const QDateTime& dateTime)
{
    return fromUnixSeconds(static_cast<double>(dateTime.toMSecsSinceEpoch()) / 1000.0);
}

QDateTime Date::toQDateTime() const
{
    const auto milliseconds = static_cast<qint64>(std::floor(unixSeconds() * 1000.0));
    return QDateTime::fromMSecsSinceEpoch(milliseconds, Qt::UTC);
}

QString Date::toLocalText() const
{
    return QLocale().toString(toQDateTime().toLocalTime(), QLocale::ShortFormat);
}
