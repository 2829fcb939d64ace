#include "WireFormat.h"

#include <gtest/gtest.h>

namespace {

using namespace server::WireFormat;

TEST(WireFormat, DatesAcceptBothInternetFormsAndNothingLooser)
{
    EXPECT_EQ(parseDate("2026-03-01T09:30:00Z"), 1772357400000);
    EXPECT_EQ(parseDate("2026-03-01T09:30:00.250Z"), 1772357400250);
    EXPECT_EQ(parseDate("2026-03-01T11:30:00+02:00"), 1772357400000);
    EXPECT_EQ(parseDate("2026-03-01T04:00:00-05:30"), 1772357400000);
    for (const char* bad : { "2026-03-01", "2026-03-01 09:30:00Z", "2026-03-01T09:30:00",
             "2026-13-01T09:30:00Z", "2026-02-29T09:30:00Z", "2026-03-01T09:30:00.Z",
             "2026-03-01T09:30:00+0200", "2026-03-01T24:00:00Z", "2026-03-01T09:30:00Zjunk", "" })
        EXPECT_FALSE(parseDate(bad).has_value()) << bad;
    EXPECT_EQ(formatDate(1772357400250), "2026-03-01T09:30:00.250Z");
    EXPECT_EQ(parseDate(formatDate(-86'400'000)), -86'400'000);
}

TEST(WireFormat, UuidsAreCanonicalUpperCase)
{
    EXPECT_EQ(canonicalUuid("0d7c3a5e-1111-4222-8333-123456789abc"), "0D7C3A5E-1111-4222-8333-123456789ABC");
    for (const char* bad : { "{0d7c3a5e-1111-4222-8333-123456789abc}", "0d7c3a5e111142228333123456789abc",
             "0d7c3a5e-1111-4222-8333-123456789abg", "0d7c3a5e-1111-4222-8333-123456789ab", "" })
        EXPECT_FALSE(canonicalUuid(bad).has_value()) << bad;
}

TEST(WireFormat, PercentDecodingIsStrict)
{
    EXPECT_EQ(percentDecode("a%20b%2C%C3%BC"), "a b,\xC3\xBC");
    EXPECT_FALSE(percentDecode("%2").has_value());
    EXPECT_FALSE(percentDecode("%zz").has_value());
    EXPECT_TRUE(isValidUtf8("\xC3\xBC"));
    EXPECT_FALSE(isValidUtf8("\xC3"));
    EXPECT_FALSE(isValidUtf8("\xFF"));
}

} // namespace
