#include "support/SecretServiceItems.h"

#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

#include <stdexcept>

namespace SecretServiceItems {
namespace {

const SecretSchema* schema(const char* name, SecretSchemaFlags flags)
{
    return secret_schema_new(name, flags, "service", SECRET_SCHEMA_ATTRIBUTE_STRING, "account",
        SECRET_SCHEMA_ATTRIBUTE_STRING, nullptr);
}

} // namespace

int countTokenItems()
{
    static const SecretSchema* const kAny = schema("any", SECRET_SCHEMA_DONT_MATCH_NAME);
    GError* error = nullptr;
    GList* items = secret_password_search_sync(kAny, SECRET_SEARCH_ALL, nullptr, &error, "service",
        "com.tallisen.mac", "account", "session", nullptr);
    if (error) {
        const std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
    const int count = static_cast<int>(g_list_length(items));
    g_list_free_full(items, g_object_unref);
    return count;
}

void storeForeignItem(const QByteArray& bytes, const std::string& contentType)
{
    static const SecretSchema* const kForeign = schema("org.example.Foreign", SECRET_SCHEMA_NONE);
    SecretValue* value = secret_value_new(bytes.constData(), bytes.size(), contentType.c_str());
    GError* error = nullptr;
    secret_password_store_binary_sync(kForeign, SECRET_COLLECTION_DEFAULT, "foreign", value, nullptr, &error,
        "service", "com.tallisen.mac", "account", "session", nullptr);
    secret_value_unref(value);
    if (error) {
        const std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
}

} // namespace SecretServiceItems
