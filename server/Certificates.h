#pragma once

#include <string>
#include <vector>

namespace server::Certificates {

struct Paths
{
    std::string caCertificate;
    std::string certificate;
    std::string privateKey;
};

// A local CA and the one server certificate it signs, for localhost, 127.0.0.1, ::1
// and `hosts`. The CA is limited to those names and its key is never written, so
// trusting it trusts nothing else. Made in `directory` (0700, key 0600); reused
// while the names stay the same, made afresh when they change.
Paths ensureSelfSigned(const std::string& directory, const std::vector<std::string>& hosts);

} // namespace server::Certificates
