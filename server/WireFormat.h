#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Text forms shared by every endpoint: ids, dates and header encodings.
namespace server::WireFormat {

// The 8-4-4-4-12 form in either case, returned in upper case; nothing else is accepted.
std::optional<std::string> canonicalUuid(std::string_view text);

// ISO 8601 internet date-time, with or without fractional seconds, "Z" or a "+hh:mm" offset.
// Milliseconds since the Unix epoch.
std::optional<std::int64_t> parseDate(std::string_view text);
std::string formatDate(std::int64_t unixMs);

std::int64_t nowMs();

// %XX escapes back to bytes; malformed escapes make the whole text invalid.
std::optional<std::string> percentDecode(std::string_view text);
// Every byte but RFC 3986's unreserved characters as %XX, for query values.
std::string percentEncode(std::string_view text);

// Strict UTF-8 (RFC 3629): no overlong forms, surrogates or code points past U+10FFFF.
bool isValidUtf8(std::string_view text);

// One address, printable ASCII without spaces or the characters that separate
// addresses; a mail header cannot be broken out of with it.
bool isPlausibleEmail(std::string_view address);

// ASCII letters in lower case; addresses are compared in this form.
std::string lowerCase(std::string_view text);

// The compact {"error": message} body every refusal carries.
std::string errorBody(const std::string& message);

} // namespace server::WireFormat
