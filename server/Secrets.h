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

std::vector<unsigned char> randomBytes(std::size_t count);

// Lower-case hex, and back; unhex refuses anything else.
std::string hex(const unsigned char* bytes, std::size_t size);
std::optional<std::vector<unsigned char>> unhex(std::string_view text);

// A random (version 4) UUID in upper-case canonical form.
std::string newUuid();

} // namespace server::Secrets
