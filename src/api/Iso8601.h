#pragma once

#include "core/Date.h"

#include <QString>

#include <optional>

// Internet date-times exactly as the server writes them:
// YYYY-MM-DDThh:mm:ss[.fraction](Z|±hh:mm), nothing looser (no date alone,
// no space for T, no offset without a colon).
namespace Iso8601 {

std::optional<Date> parse(QStringView text);

// Throws DecodingError("Invalid ISO 8601 date") when the text is not a date.
Date parseOrThrow(QStringView text);

// UTC with whole seconds and the suffix Z; the fraction is dropped, not rounded.
QString formatWholeSeconds(Date date);

} // namespace Iso8601
