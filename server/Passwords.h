#pragma once

#include <string>

// Passwords are kept only as salted scrypt hashes, with their cost in the text
// so that a later, dearer setting still reads the old ones.
namespace server::Passwords {

constexpr std::size_t kMinimumLength = 10;

// "scrypt$N$r$p$salt$hash", salt and hash in hex.
std::string hash(const std::string& password);

// Constant in the hash's length; false for a malformed stored hash too.
bool verify(const std::string& password, const std::string& stored);

// Costs as much as a verify, for unknown accounts, so timing does not tell which exist.
void spendVerifyCost(const std::string& password);

// Throws std::invalid_argument with a sentence when a password is too weak to set.
void checkStrength(const std::string& password);

} // namespace server::Passwords
