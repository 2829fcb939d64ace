#include "WireFormat.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

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
             "2026-03-01T09:30:00+0200", "2026-03-01T24:00:00Z", "2026-03-01T09:30:00Zjunk", "" }) {
        EXPECT_FALSE(parseDate(bad).has_value()) << bad;
    }
    EXPECT_EQ(formatDate(1772357400250), "2026-03-01T09:30:00.250Z");
    EXPECT_EQ(parseDate(formatDate(-86'400'000)), -86'400'000);
}

TEST(WireFormat, UuidsAreCanonicalUpperCase)
{
    EXPECT_EQ(canonicalUuid("0d7c3a5e-1111-4222-8333-123456789abc"), "0D7C3A5E-1111-4222-8333-123456789ABC");
    for (const char* bad : { "{0d7c3a5e-1111-4222-8333-123456789abc}", "0d7c3a5e111142228333123456789abc",
             "0d7c3a5e-1111-4222-8333-123456789abg", "0d7c3a5e-1111-4222-8333-123456789ab", "" }) {
        EXPECT_FALSE(canonicalUuid(bad).has_value()) << bad;
    }
}

// Whatever passes the check is stored (display names) or answered in JSON
// (prompts, alignment text); the JSON writer refuses anything but strict
// UTF-8, so a looser check turned such input into a 500 on every later answer.
TEST(WireFormat, Utf8CheckAcceptsExactlyWhatTheJsonWriterCanCarry)
{
    const auto jsonCarries = [](const std::string& text) {
        try {
            nlohmann::json(text).dump();
            return true;
        } catch (const nlohmann::json::exception&) {
            return false;
        }
    };
    for (const std::string good :
        { "", "\x7F", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80", "\xEF\xBF\xBF",
            "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "Gr\xC3\xBC\xC3\x9F \xF0\x9F\x91\x8B" }) {
        EXPECT_TRUE(isValidUtf8(good)) << good;
        EXPECT_TRUE(jsonCarries(good)) << good;
    }
    for (const std::string bad : { "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xE0\x9F\xBF", "\xF0\x80\x80\x80",
             "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80",
             "\xF8\x88\x80\x80\x80", "\x80", "\xC3", "\xFF", "\xE2\x82", "a\xF0\x9F\x91", "\xE2\x28\xA1" }) {
        EXPECT_FALSE(isValidUtf8(bad)) << bad;
        EXPECT_FALSE(jsonCarries(bad)) << bad;
    }
    // Percent decoding is strict, and what it decodes is checked again.
    EXPECT_EQ(percentDecode("a%20b%2C%C3%BC"), "a b,\xC3\xBC");
    EXPECT_FALSE(percentDecode("%2").has_value());
    EXPECT_FALSE(percentDecode("%zz").has_value());
    EXPECT_FALSE(isValidUtf8(percentDecode("%C0%80").value()));
}

} // namespace
