#pragma once

#include <string>

// Passwords are kept only as salted scrypt hashes, with their cost in the text
// so that a later, dearer setting still reads the old ones.
namespace server::Passwords {

constexpr std::size_t kMinimumLength = 10;

// "scrypt$N$r$p$salt$hash", salt and hash in hex.
std::string hash(const std::string& password);

// Constant in the hash's length. False for an empty or malformed stored hash too,
// after costing as much as a real check, so timing does not tell which accounts exist.
bool verify(const std::string& password, const std::string& stored);

// Throws std::invalid_argument with a sentence when a password is too weak to set.
void checkStrength(const std::string& password);

} // namespace server::Passwords
