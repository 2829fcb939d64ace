#include "JsonWebToken.h"

#include "HttpError.h"
#include "Secrets.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>
#include <optional>

namespace server::JsonWebToken {

namespace {

constexpr auto text = stringMember;

[[noreturn]] void refuse(const std::string& why)
{
    throw HttpError(401, "The identity provider's token was refused: " + why + ".");
}

struct Parts
{
    nlohmann::json header;
    nlohmann::json claims;
    std::string signedText;
    std::string signature;
};

nlohmann::json decodedObject(std::string_view text)
{
    const auto bytes = Secrets::fromBase64Url(text);
    if (!bytes) {
        refuse("it is not base64url");
    }
    auto object = nlohmann::json::parse(*bytes, nullptr, false);
    if (!object.is_object()) {
        refuse("it does not hold JSON objects");
    }
    return object;
}

Parts split(const std::string& token)
{
    const auto first = token.find('.');
    const auto second = first == std::string::npos ? first : token.find('.', first + 1);
    if (second == std::string::npos || token.find('.', second + 1) != std::string::npos) {
        refuse("it is not a signed token of three parts");
    }
    const auto signature = Secrets::fromBase64Url(std::string_view(token).substr(second + 1));
    if (!signature) {
        refuse("its signature is not base64url");
    }
    return { decodedObject(std::string_view(token).substr(0, first)),
        decodedObject(std::string_view(token).substr(first + 1, second - first - 1)), token.substr(0, second),
        *signature };
}

std::optional<nlohmann::json> keyFor(const nlohmann::json& header, const nlohmann::json& keys)
{
    if (!keys.is_object() || !keys.contains("keys") || !keys["keys"].is_array()) {
        return std::nullopt;
    }
    const std::string kid = text(header, "kid");
    std::optional<nlohmann::json> found;
    int candidates = 0;
    for (const auto& key : keys["keys"]) {
        if (!key.is_object() || text(key, "kty") != "RSA"
            || (key.contains("use") && text(key, "use") != "sig")) {
            continue;
        }
        if (!kid.empty() && text(key, "kid") != kid) {
            continue;
        }
        found = key;
        ++candidates;
    }
    // Without a key id, only a set of one key is unambiguous.
    if (candidates != 1) {
        return std::nullopt;
    }
    return found;
}

struct PkeyFree
{
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

Pkey rsaKey(const nlohmann::json& jwk)
{
    const auto modulus = Secrets::fromBase64Url(text(jwk, "n"));
    const auto exponent = Secrets::fromBase64Url(text(jwk, "e"));
    if (!modulus || !exponent || modulus->size() < 256 || exponent->empty()) {
        refuse("the provider's key is not an RSA key of at least 2048 bits");
    }
    std::unique_ptr<BIGNUM, decltype(&BN_free)> n(
        BN_bin2bn(reinterpret_cast<const unsigned char*>(modulus->data()), static_cast<int>(modulus->size()),
            nullptr),
        BN_free);
    std::unique_ptr<BIGNUM, decltype(&BN_free)> e(
        BN_bin2bn(reinterpret_cast<const unsigned char*>(exponent->data()),
            static_cast<int>(exponent->size()), nullptr),
        BN_free);
    std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> builder(
        OSSL_PARAM_BLD_new(), OSSL_PARAM_BLD_free);
    if (!n || !e || !builder || !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get())
        || !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get())) {
        refuse("the provider's key could not be read");
    }
    std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(
        OSSL_PARAM_BLD_to_param(builder.get()), OSSL_PARAM_free);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* key = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1
        || EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        refuse("the provider's key could not be read");
    }
    return Pkey(key);
}

bool signatureHolds(EVP_PKEY* key, const std::string& text, const std::string& signature)
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    return context && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1
        && EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
               signature.size(), reinterpret_cast<const unsigned char*>(text.data()), text.size())
        == 1;
}

} // namespace

std::string stringMember(const nlohmann::json& object, const char* key)
{
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

bool namesKnownKey(const std::string& token, const nlohmann::json& keys)
{
    try {
        return keyFor(split(token).header, keys).has_value();
    } catch (const HttpError&) {
        // Malformed: fetching the keys again cannot help; verifiedClaims says why.
        return true;
    }
}

nlohmann::json verifiedClaims(const std::string& token, const nlohmann::json& keys)
{
    const Parts parts = split(token);
    // The algorithm is ours to choose, never the token's.
    if (text(parts.header, "alg") != "RS256") {
        refuse("only RS256 signatures are accepted");
    }
    const auto jwk = keyFor(parts.header, keys);
    if (!jwk) {
        refuse("no key of the provider matches it");
    }
    const Pkey key = rsaKey(*jwk);
    if (!signatureHolds(key.get(), parts.signedText, parts.signature)) {
        refuse("its signature does not hold");
    }
    return parts.claims;
}

} // namespace server::JsonWebToken
