#include "api/Iso8601.h"

#include "core/DecodingError.h"

#include <QDateTime>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <cmath>

namespace {

double unixSeconds(const QString& text)
{
    const auto date = Iso8601::parse(text);
    EXPECT_TRUE(date.has_value()) << text.toStdString();
    return date ? date->unixSeconds() : 0;
}

} // namespace

TEST(Iso8601, AgreesWithQtOnWellFormedDatesAcrossCenturiesAndLeapDays)
{
    // Qt's parser is looser, but on well-formed input both must agree.
    const QDateTime first(QDate(1899, 12, 31), QTime(23, 59, 59), QTimeZone::utc());
    for (qint64 step = 0; step < 4000; ++step) {
        const QDateTime moment = first.addSecs(step * 1'577'923 + step % 61);
        const QString text = moment.toString(Qt::ISODate);
        ASSERT_EQ(unixSeconds(text), static_cast<double>(moment.toSecsSinceEpoch())) << text.toStdString();
    }
    EXPECT_TRUE(Iso8601::parse(QStringLiteral("2024-02-29T12:00:00Z")));
    EXPECT_TRUE(Iso8601::parse(QStringLiteral("2000-02-29T12:00:00Z")));
}

TEST(Iso8601, AcceptsFractionsAndColonOffsets)
{
    EXPECT_EQ(unixSeconds(QStringLiteral("1970-01-01T00:00:00Z")), 0.0);
    EXPECT_EQ(Iso8601::parse(QStringLiteral("2001-01-01T00:00:00Z"))->sinceReferenceDate, 0.0);
    const double base = unixSeconds(QStringLiteral("2026-03-01T09:30:00Z"));
    EXPECT_DOUBLE_EQ(unixSeconds(QStringLiteral("2026-03-01T09:30:00.5Z")), base + 0.5);
    EXPECT_DOUBLE_EQ(unixSeconds(QStringLiteral("2026-03-01T09:30:00.250Z")), base + 0.25);
    EXPECT_NEAR(unixSeconds(QStringLiteral("2026-03-01T09:30:00.123456789Z")), base + 0.123456789, 1e-6);
    EXPECT_EQ(unixSeconds(QStringLiteral("2026-03-01T11:30:00+02:00")), base);
    EXPECT_EQ(unixSeconds(QStringLiteral("2026-03-01T10:30:00+01:00")), base);
    EXPECT_EQ(unixSeconds(QStringLiteral("2026-03-01T04:00:00-05:30")), base);
    EXPECT_DOUBLE_EQ(unixSeconds(QStringLiteral("2026-03-01T11:30:00.75+02:00")), base + 0.75);
}

TEST(Iso8601, RejectsEverythingLooserThanTheTwoForms)
{
    const char* const rejected[] = {
        "",
        "2026-03-01",
        "0000-02-01T09:30:00Z",
        "2026-03-01 09:30:00Z",
        "2026-03-01 09:30:00",
        "2026-03-01T09:30:00",
        "2026-03-01T09:30Z",
        "2026-03-01T09:30:00.Z",
        "2026-03-01T09:30:00.5",
        "2026-03-01T09:30:00+0200",
        "2026-03-01T09:30:00+02",
        "2026-03-01T09:30:00 Z",
        "2026-03-01t09:30:00Z",
        "2026-03-01T09:30:00z",
        "20260301T093000Z",
        "2026-3-01T09:30:00Z",
        "12026-03-01T09:30:00Z",
        "2026-03-01T09:30:00Zjunk",
        " 2026-03-01T09:30:00Z",
        "2026-03-01T09:30:00Z ",
        "2026-03-01T09:30:00,5Z",
        "2026-02-29T09:30:00Z",
        "1900-02-29T09:30:00Z",
        "2026-04-31T09:30:00Z",
        "2026-13-01T09:30:00Z",
        "2026-00-01T09:30:00Z",
        "2026-03-00T09:30:00Z",
        "2026-03-01T24:00:00Z",
        "2026-03-01T09:60:00Z",
        "2026-03-01T09:30:60Z",
        "2026-03-01T09:30:00+24:00",
        "2026-03-01T09:30:00+02:60",
        "2026-03-01T09:30:00-02:0",
        "+2026-03-01T09:30:00Z",
        "2026-03-01T09:30:00.-5Z",
    };
    for (const char* text : rejected) {
        EXPECT_FALSE(Iso8601::parse(QString::fromLatin1(text))) << text;
    }
    // Non-ASCII digits count for QChar::isDigit but not here.
    EXPECT_FALSE(Iso8601::parse(QStringLiteral("２０２６-03-01T09:30:00Z")));
    EXPECT_FALSE(Iso8601::parse(QStringLiteral("2026-03-01T09:30:0\u0663Z")));
    try {
        Iso8601::parseOrThrow(QStringLiteral("2026-03-01"));
        ADD_FAILURE() << "a date alone must not parse";
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.detail(), "Invalid ISO 8601 date");
    }
}

TEST(Iso8601, FormatsWholeSecondsInUtcDroppingTheFraction)
{
    const Date date = *Iso8601::parse(QStringLiteral("2026-03-01T10:30:00.750+01:00"));
    const QString text = Iso8601::formatWholeSeconds(date);
    EXPECT_EQ(text, QStringLiteral("2026-03-01T09:30:00Z"));
    EXPECT_EQ(Iso8601::parse(text)->unixSeconds(), std::floor(date.unixSeconds()));
    EXPECT_EQ(Iso8601::formatWholeSeconds(*Iso8601::parse(QStringLiteral("1969-12-31T23:59:59.9Z"))),
        QStringLiteral("1969-12-31T23:59:59Z"));
}
