#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Random identifiers and the hashes under which secrets are stored.
namespace server::Secrets {

// 256 random bits as URL-safe text; used for bearer tokens, sign-in codes and upload capabilities.
std::string randomToken();

// Hex SHA-256; tokens and capabilities are stored only in this form.
std::string sha256Hex(std::string_view text);

// Raw SHA-256, for signatures and PKCE challenges.
std::string sha256(std::string_view bytes);

std::vector<unsigned char> randomBytes(std::size_t count);

// Standard, padded base64 (RFC 4648).
std::string base64(std::string_view bytes);
// Base64url without padding (RFC 7515), and back; the decoder refuses other characters.
std::string base64Url(std::string_view bytes);
std::optional<std::string> fromBase64Url(std::string_view text);

// Lower-case hex, and back; unhex refuses anything else.
std::string hex(const unsigned char* bytes, std::size_t size);
std::optional<std::vector<unsigned char>> unhex(std::string_view text);

// A random (version 4) UUID in upper-case canonical form.
std::string newUuid();

} // namespace server::Secrets
