// Feeds arbitrary text to the date parser. Whatever it accepts must have the
// exact shape of the two forms, a finite value, and survive formatting and
// parsing again to the same whole second.
#include "api/Iso8601.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto date = Iso8601::parse(text);
    if (!date) {
        return 0;
    }
    if (text.size() < 20 || text[10] != u'T' || !std::isfinite(date->sinceReferenceDate)) {
        std::abort();
    }
    const auto again = Iso8601::parse(Iso8601::formatWholeSeconds(*date));
    if (!again || again->unixSeconds() != std::floor(date->unixSeconds())) {
        std::abort();
    }
    return 0;
}
