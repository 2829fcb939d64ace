#pragma once

#include <QByteArray>

#include <string>

// Direct access to the Secret Service for the tests, independent of
// KeychainStore: counts and writes items with its service and account.
namespace SecretServiceItems {

int countTokenItems();
// Stores bytes under another schema name with the same two attributes.
void storeForeignItem(const QByteArray& bytes, const std::string& contentType);

} // namespace SecretServiceItems
