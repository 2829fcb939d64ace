#include "api/Iso8601.h"

#include "core/DecodingError.h"

#include <QDateTime>

#include <cmath>
#include <cstdint>

namespace Iso8601 {
namespace {

// A cursor over the text that accepts only the exact characters asked for.
class Reader
{
public:
    explicit Reader(QStringView text)
        : m_text(text)
    { }

    bool atEnd() const { return m_position == m_text.size(); }

    bool literal(char16_t expected)
    {
        if (atEnd() || m_text[m_position] != expected) {
            return false;
        }
        ++m_position;
        return true;
    }

    bool isDigit() const { return !atEnd() && m_text[m_position] >= u'0' && m_text[m_position] <= u'9'; }

    // Exactly count ASCII digits.
    std::optional<int> digits(int count)
    {
        int value = 0;
        for (int i = 0; i < count; ++i) {
            if (!isDigit()) {
                return std::nullopt;
            }
            value = value * 10 + (m_text[m_position++].unicode() - u'0');
        }
        return value;
    }

    // One or more digits after the decimal point, as a fraction of a second.
    std::optional<double> fraction()
    {
        if (!isDigit()) {
            return std::nullopt;
        }
        double value = 0;
        double scale = 0.1;
        while (isDigit()) {
            value += scale * (m_text[m_position++].unicode() - u'0');
            scale /= 10;
        }
        return value;
    }

private:
    QStringView m_text;
    qsizetype m_position = 0;
};

bool isLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month)
{
    static constexpr int kDays[] = { 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31 };
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
std::int64_t daysFromCivil(int year, int month, int day)
{
    const int y = month <= 2 ? year - 1 : year;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return static_cast<std::int64_t>(era) * 146097 + dayOfEra - 719468;
}

struct Fields
{
    int year, month, day, hour, minute, second;
};

std::optional<Fields> readDateTime(Reader& reader)
{
    const auto year = reader.digits(4);
    if (!year || !reader.literal(u'-')) {
        return std::nullopt;
    }
    const auto month = reader.digits(2);
    if (!month || !reader.literal(u'-')) {
        return std::nullopt;
    }
    const auto day = reader.digits(2);
    if (!day || !reader.literal(u'T')) {
        return std::nullopt;
    }
    const auto hour = reader.digits(2);
    if (!hour || !reader.literal(u':')) {
        return std::nullopt;
    }
    const auto minute = reader.digits(2);
    if (!minute || !reader.literal(u':')) {
        return std::nullopt;
    }
    const auto second = reader.digits(2);
    if (!second) {
        return std::nullopt;
    }
    const Fields fields { *year, *month, *day, *hour, *minute, *second };
    // Year 0000 has no written form in the calendar the formatter uses, so it
    // could not be sent back as it came.
    if (fields.year < 1 || fields.month < 1 || fields.month > 12 || fields.day < 1
        || fields.day > daysInMonth(fields.year, fields.month) || fields.hour > 23 || fields.minute > 59
        || fields.second > 59) {
        return std::nullopt;
    }
    return fields;
}

// Seconds east of UTC, from "Z" or "±hh:mm".
std::optional<int> readZone(Reader& reader)
{
    if (reader.literal(u'Z')) {
        return 0;
    }
    int sign = 0;
    if (reader.literal(u'+')) {
        sign = 1;
    } else if (reader.literal(u'-')) {
        sign = -1;
    } else {
        return std::nullopt;
    }
    const auto hours = reader.digits(2);
    if (!hours || !reader.literal(u':')) {
        return std::nullopt;
    }
    const auto minutes = reader.digits(2);
    if (!minutes || *hours > 23 || *minutes > 59) {
        return std::nullopt;
    }
    return sign * (*hours * 3600 + *minutes * 60);
}

} // namespace

std::optional<Date> parse(QStringView text)
{
    Reader reader(text);
    const auto fields = readDateTime(reader);
    if (!fields) {
        return std::nullopt;
    }
    double fraction = 0;
    if (reader.literal(u'.')) {
        const auto digits = reader.fraction();
        if (!digits) {
            return std::nullopt;
        }
        fraction = *digits;
    }
    const auto zoneSeconds = readZone(reader);
    if (!zoneSeconds || !reader.atEnd()) {
        return std::nullopt;
    }
    const std::int64_t wholeSeconds = daysFromCivil(fields->year, fields->month, fields->day) * 86400
        + fields->hour * 3600 + fields->minute * 60 + fields->second - *zoneSeconds;
    return Date::fromUnixSeconds(static_cast<double>(wholeSeconds) + fraction);
}

Date parseOrThrow(QStringView text)
{
    if (const auto date = parse(text)) {
        return *date;
    }
    throw DecodingError("Invalid ISO 8601 date");
}

QString formatWholeSeconds(Date date)
{
    const auto seconds = static_cast<qint64>(std::floor(date.unixSeconds()));
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC)
        .toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

} // namespace Iso8601
