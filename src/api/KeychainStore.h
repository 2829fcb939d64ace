#pragma once

#include <QString>
#include <QUrl>

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
// secret with the attributes service "com.tallisen.mac", account "session"
// and server, the server that issued it, so that the token is never sent to
// any other. Synchronous libsecret calls, made on the main thread; no state
// of its own.
namespace KeychainStore {

// The server attribute of a base URL: the URL without trailing slashes, so
// "https://host/" and "https://host" name one server.
QString serverAttribute(const QUrl& server);

// Replaces any stored token, so exactly one item remains.
void saveToken(const QString& token, const QUrl& server);

// The token the server issued. Absent when there is no item for that server
// (an item without a server attribute, as older versions stored it, is none),
// no Secret Service, or the secret is not UTF-8.
std::optional<QString> loadToken(const QUrl& server);

// Removes every matching item; failures are ignored.
void clearToken();

} // namespace KeychainStore
