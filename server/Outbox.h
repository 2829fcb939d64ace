#pragma once

#include <string>

namespace server {

struct Recording;

// E-mail delivery into a local outbox: one RFC 5322 message file per transcript,
// written atomically and owner-only, for a mail transfer agent to pick up.
namespace Outbox {

// Returns the message's path; throws std::runtime_error when it cannot be written.
std::string deliver(const std::string& outboxDir, const Recording& recording);

} // namespace Outbox

} // namespace server
