#pragma once

#include <optional>
#include <string>
#include <vector>

// The local naming and filing of a saved transcript: a title from its opening
// words and a category from keyword rules. Deterministic and offline.
namespace server::Librarian {

struct Filing
{
    std::string title;
    // Absent when no rule is convincing; "Uncategorized" is never stored.
    std::optional<std::string> category;
    std::vector<std::string> languageCodes;
};

Filing file(const std::string& transcript);

} // namespace server::Librarian
