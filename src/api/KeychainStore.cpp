#include "api/KeychainStore.h"

#include <QStringDecoder>

// GLib names a struct member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

#include <memory>

namespace {

constexpr const char* kService = "com.tallisen.mac";
constexpr const char* kAccount = "session";
constexpr const char* kLabel = "Tallisen sign-in";

struct ErrorDeleter
{
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPointer = std::unique_ptr<GError, ErrorDeleter>;

struct ValueDeleter
{
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using ValuePointer = std::unique_ptr<SecretValue, ValueDeleter>;

struct SchemaDeleter
{
    void operator()(SecretSchema* schema) const { secret_schema_unref(schema); }
};

// Matches on the attributes alone, so items written under another schema
// name with the same service and account are found and replaced too.
const SecretSchema* schema()
{
    static const std::unique_ptr<SecretSchema, SchemaDeleter> kSchema(secret_schema_new(
        "com.tallisen.mac.Session", SECRET_SCHEMA_DONT_MATCH_NAME, "service", SECRET_SCHEMA_ATTRIBUTE_STRING,
        "account", SECRET_SCHEMA_ATTRIBUTE_STRING, "server", SECRET_SCHEMA_ATTRIBUTE_STRING, nullptr));
    return kSchema.get();
}

bool meansNoSecretService(const GError* error)
{
    return error->domain == G_DBUS_ERROR
        && (error->code == G_DBUS_ERROR_SERVICE_UNKNOWN || error->code == G_DBUS_ERROR_NAME_HAS_NO_OWNER);
}

QString sentence(const char* text)
{
    QString message = QString::fromUtf8(text).trimmed();
    if (!message.isEmpty() && !message.endsWith(u'.')) {
        message.append(u'.');
    }
    return message;
}

KeychainError errorFrom(const GError* error)
{
    if (meansNoSecretService(error)) {
        return KeychainError(error->code,
            QStringLiteral("No secret store (GNOME Keyring, KWallet or another Secret Service) "
                           "is running, so the sign-in cannot be remembered: ")
                + sentence(error->message));
    }
    return KeychainError(error->code, sentence(error->message));
}

} // namespace

KeychainError::KeychainError(std::int32_t status, const QString& platformMessage)
    : std::runtime_error(platformMessage.isEmpty() ? "Keychain error " + std::to_string(status)
                                                   : platformMessage.toStdString())
    , m_status(status)
{ }

namespace KeychainStore {

QString serverAttribute(const QUrl& server)
{
    QString text = server.toString(QUrl::FullyEncoded);
    while (text.endsWith(u'/')) {
        text.chop(1);
    }
    return text;
}

void saveToken(const QString& token, const QUrl& server)
{
    clearToken();
    const QByteArray issuer = serverAttribute(server).toUtf8();
    const QByteArray bytes = token.toUtf8();
    const ValuePointer value(secret_value_new(bytes.constData(), bytes.size(), "text/plain"));
    GError* rawError = nullptr;
    const gboolean stored
        = secret_password_store_binary_sync(schema(), SECRET_COLLECTION_DEFAULT, kLabel, value.get(), nullptr,
            &rawError, "service", kService, "account", kAccount, "server", issuer.constData(), nullptr);
    const ErrorPointer error(rawError);
    if (error) {
        throw errorFrom(error.get());
    }
    if (!stored) {
        throw KeychainError(-1);
    }
}

std::optional<QString> loadToken(const QUrl& server)
{
    const QByteArray issuer = serverAttribute(server).toUtf8();
    GError* rawError = nullptr;
    const ValuePointer value(secret_password_lookup_binary_sync(schema(), nullptr, &rawError, "service",
        kService, "account", kAccount, "server", issuer.constData(), nullptr));
    const ErrorPointer error(rawError);
    if (error || !value) {
        return std::nullopt;
    }
    gsize length = 0;
    const gchar* data = secret_value_get(value.get(), &length);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString token = decoder.decode(QByteArrayView(data, static_cast<qsizetype>(length)));
    if (decoder.hasError()) {
        return std::nullopt;
    }
    return token;
}

void clearToken()
{
    GError* rawError = nullptr;
    secret_password_clear_sync(
        schema(), nullptr, &rawError, "service", kService, "account", kAccount, nullptr);
    const ErrorPointer error(rawError);
}

} // namespace KeychainStore
