#include "WireFormat.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace server::WireFormat {

namespace {

bool isHex(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// Reads exactly `count` digits at `pos`.
std::optional<int> digits(std::string_view text, std::size_t pos, std::size_t count)
{
    if (pos + count > text.size()) {
        return std::nullopt;
    }
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return std::nullopt;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

} // namespace

std::optional<std::string> canonicalUuid(std::string_view text)
{
    if (text.size() != 36) {
        return std::nullopt;
    }
    std::string upper;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash != (text[i] == '-')) {
            return std::nullopt;
        }
        if (!dash && !isHex(text[i])) {
            return std::nullopt;
        }
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    }
    return upper;
}

std::optional<std::int64_t> parseDate(std::string_view text)
{
    const auto year = digits(text, 0, 4);
    const auto month = digits(text, 5, 2);
    const auto day = digits(text, 8, 2);
    const auto hour = digits(text, 11, 2);
    const auto minute = digits(text, 14, 2);
    const auto second = digits(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second || text[4] != '-' || text[7] != '-'
        || text[10] != 'T' || text[13] != ':' || text[16] != ':') {
        return std::nullopt;
    }
    if (*month < 1 || *month > 12 || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 || *second > 60) {
        return std::nullopt;
    }
    std::size_t pos = 19;
    std::int64_t millis = 0;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        const std::size_t first = pos;
        int scale = 100;
        while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
            millis += (text[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == first) {
            return std::nullopt;
        }
    }
    std::int64_t offsetSeconds = 0;
    const std::string_view zone = text.substr(std::min(pos, text.size()));
    if (zone == "Z") {
        offsetSeconds = 0;
    } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
        const auto offsetHours = digits(zone, 1, 2);
        const auto offsetMinutes = digits(zone, 4, 2);
        if (!offsetHours || !offsetMinutes || *offsetHours > 23 || *offsetMinutes > 59) {
            return std::nullopt;
        }
        offsetSeconds = (*offsetHours * 3600 + *offsetMinutes * 60) * (zone[0] == '+' ? 1 : -1);
    } else {
        return std::nullopt;
    }
    const std::chrono::year_month_day date { std::chrono::year(*year), std::chrono::month(*month),
        std::chrono::day(*day) };
    if (!date.ok()) {
        return std::nullopt;
    }
    const auto days = std::chrono::sys_days(date).time_since_epoch().count();
    const std::int64_t seconds = days * 86400LL + *hour * 3600 + *minute * 60 + *second - offsetSeconds;
    return seconds * 1000 + millis;
}

std::string formatDate(std::int64_t unixMs)
{
    const auto days = std::chrono::floor<std::chrono::days>(
        std::chrono::sys_time<std::chrono::milliseconds>(std::chrono::milliseconds(unixMs)));
    const std::chrono::year_month_day date(days);
    const std::int64_t inDay = unixMs - days.time_since_epoch().count() * 86400000LL;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ",
        static_cast<int>(date.year()), static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<long long>(inDay / 3600000), static_cast<long long>(inDay / 60000 % 60),
        static_cast<long long>(inDay / 1000 % 60), static_cast<long long>(inDay % 1000));
    return text;
}

std::int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::optional<std::string> percentDecode(std::string_view text)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            bytes += text[i];
            continue;
        }
        if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) {
            return std::nullopt;
        }
        bytes += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
        i += 2;
    }
    return bytes;
}

std::string percentEncode(std::string_view text)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
            encoded += c;
            continue;
        }
        encoded += '%';
        encoded += kDigits[byte >> 4];
        encoded += kDigits[byte & 0xF];
    }
    return encoded;
}

bool isValidUtf8(std::string_view text)
{
    // RFC 3629: besides the shape of each sequence, the first continuation
    // byte's range excludes overlong forms, UTF-16 surrogates and code points
    // past U+10FFFF, all of which the JSON writer refuses later.
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        const auto first = static_cast<unsigned char>(text[i + 1]);
        if (first < low || first > high) {
            return false;
        }
        for (std::size_t k = 2; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) >> 6) != 2) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

std::string errorBody(const std::string& message)
{
    return nlohmann::json { { "error", message } }.dump();
}

bool isPlausibleEmail(std::string_view address)
{
    const auto at = address.find('@');
    const bool printable = std::all_of(address.begin(), address.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte > 0x20 && byte < 0x7F;
    });
    return printable && address.size() <= 254 && at != std::string_view::npos && at > 0
        && at + 1 < address.size() && address.find('@', at + 1) == std::string_view::npos
        && address.find_first_of("<>,;\"()[]\\:") == std::string_view::npos;
}

std::string lowerCase(std::string_view text)
{
    std::string result(text);
    for (char& c : result) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return result;
}

} // namespace server::WireFormat
