#pragma once

#include <QDateTime>

#include <compare>

// A point in time as seconds since 2001-01-01T00:00:00Z, the form the job file
// stores, so a date read from a job file is written back bit for bit.
struct Date
{
    double sinceReferenceDate = 0;

    // Seconds between the Unix epoch and the reference date.
    static constexpr double kReferenceOffset = 978307200.0;

    static Date now();
    static Date fromUnixSeconds(double seconds) { return Date { seconds - kReferenceOffset }; }
    static Date fromQDateTime(const QDateTime& dateTime);

    double unixSeconds() const { return sinceReferenceDate + kReferenceOffset; }
    QDateTime toQDateTime() const;
    // The user's local time in the locale's short form: how every window shows a date.
    QString toLocalText() const;

    auto operator<=>(const Date&) const = default;
};
