#include "Statuses.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>
#include <utility>

namespace server {

namespace {

template <typename Status> using Names = std::pair<Status, std::string_view>;

constexpr std::array<Names<CleanupStatus>, 3> kCleanupNames { {
    { CleanupStatus::Pending, "pending" },
    { CleanupStatus::Completed, "completed" },
    { CleanupStatus::Failed, "failed" },
} };

constexpr std::array<Names<EmailStatus>, 4> kEmailNames { {
    { EmailStatus::Disabled, "disabled" },
    { EmailStatus::Pending, "pending" },
    { EmailStatus::Sent, "sent" },
    { EmailStatus::Failed, "failed" },
} };

constexpr std::array<Names<DiarizationStatus>, 5> kDiarizationNames { {
    { DiarizationStatus::Upload, "upload" },
    { DiarizationStatus::Starting, "starting" },
    { DiarizationStatus::Pending, "pending" },
    { DiarizationStatus::Succeeded, "succeeded" },
    { DiarizationStatus::Failed, "failed" },
} };

template <typename Status, std::size_t N>
std::string_view nameOf(const std::array<Names<Status>, N>& names, Status status)
{
    const auto found = std::find_if(
        names.begin(), names.end(), [status](const auto& entry) { return entry.first == status; });
    if (found == names.end()) {
        throw std::logic_error("A status without a name.");
    }
    return found->second;
}

// The text comes from the database, so an unknown one means a damaged file or a newer server.
template <typename Status, std::size_t N>
Status statusNamed(const std::array<Names<Status>, N>& names, std::string_view text, const char* kind)
{
    const auto found = std::find_if(
        names.begin(), names.end(), [text](const auto& entry) { return entry.second == text; });
    if (found == names.end()) {
        throw std::runtime_error(std::string("The server's database holds an unknown ") + kind + " status \""
            + std::string(text) + "\".");
    }
    return found->first;
}

} // namespace

std::string_view toText(CleanupStatus status)
{
    return nameOf(kCleanupNames, status);
}

std::string_view toText(EmailStatus status)
{
    return nameOf(kEmailNames, status);
}

std::string_view toText(DiarizationStatus status)
{
    return nameOf(kDiarizationNames, status);
}

CleanupStatus cleanupStatusFromText(std::string_view text)
{
    return statusNamed(kCleanupNames, text, "cleanup");
}

EmailStatus emailStatusFromText(std::string_view text)
{
    return statusNamed(kEmailNames, text, "email");
}

DiarizationStatus diarizationStatusFromText(std::string_view text)
{
    return statusNamed(kDiarizationNames, text, "speaker-detection");
}

} // namespace server
