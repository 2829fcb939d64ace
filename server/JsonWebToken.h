#pragma once

#include <nlohmann/json.hpp>

#include <string>

// Signed ID tokens (JWS compact form) as identity providers issue them.
namespace server::JsonWebToken {

// The claims of an RS256 token that a key of `keys` (a JWK set) signed. Throws
// HttpError 401 for anything else: other algorithms (none, HS256 among them), an
// unknown key, a bad signature or a malformed token.
nlohmann::json verifiedClaims(const std::string& token, const nlohmann::json& keys);

// The member `key` when it is a string; empty otherwise, so odd JSON cannot throw.
std::string stringMember(const nlohmann::json& object, const char* key);

// Whether `keys` holds the key the token names, so that a caller can fetch the set afresh once.
bool namesKnownKey(const std::string& token, const nlohmann::json& keys);

} // namespace server::JsonWebToken
