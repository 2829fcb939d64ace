#pragma once

#include <string_view>

// The states a transcript's filing and mailing and a speaker-detection job go
// through. Their texts are what the database stores and the wire carries, so
// each has one mapping, in Statuses.cpp.
namespace server {

enum class CleanupStatus
{
    Pending,
    Completed,
    Failed
};

enum class EmailStatus
{
    // No address was given.
    Disabled,
    Pending,
    Sent,
    Failed
};

enum class DiarizationStatus
{
    // Waiting for the recording's audio.
    Upload,
    Starting,
    Pending,
    Succeeded,
    Failed
};

std::string_view toText(CleanupStatus status);
std::string_view toText(EmailStatus status);
std::string_view toText(DiarizationStatus status);

// Throw std::runtime_error naming the text when it is none of the known ones.
CleanupStatus cleanupStatusFromText(std::string_view text);
EmailStatus emailStatusFromText(std::string_view text);
DiarizationStatus diarizationStatusFromText(std::string_view text);

} // namespace server
