#pragma once

#include <string>

namespace server::Certificates {

struct Paths
{
    std::string caCertificate;
    std::string certificate;
    std::string privateKey;
};

// A local CA and a server certificate it signs, for localhost, 127.0.0.1, ::1 and `host`.
// Made once in `directory` (0700, keys 0600) and reused while they exist.
Paths ensureSelfSigned(const std::string& directory, const std::string& host);

} // namespace server::Certificates
