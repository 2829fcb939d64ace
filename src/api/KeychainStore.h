#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <stdexcept>

// A failed write to the desktop's secret store. status is the GError code and
// the text its message, or "Keychain error N" when the store gave none.
class KeychainError : public std::runtime_error
{
public:
    explicit KeychainError(std::int32_t status, const QString& platformMessage = {});

    std::int32_t status() const { return m_status; }

private:
    std::int32_t m_status;
};

// The sign-in token in the Secret Service (GNOME Keyring, KWallet, …): one
// secret with the attributes service "com.tallisen.mac" and account "session".
// Synchronous libsecret calls, made on the main thread; no state of its own.
namespace KeychainStore {

// Replaces any stored token, so exactly one item remains.
void saveToken(const QString& token);

// Absent when there is no item, no Secret Service, or the secret is not UTF-8.
std::optional<QString> loadToken();

// Removes every matching item; failures are ignored.
void clearToken();

} // namespace KeychainStore
