#pragma once

#include <stdexcept>
#include <string>

// A JSON document that does not have the expected shape: a missing or null
// required key, a value of the wrong type, a bad date or UUID. Not retryable.
class DecodingError : public std::runtime_error
{
public:
    explicit DecodingError(const std::string& detail)
        : std::runtime_error(
            "The data could not be read because it is not in the correct format (" + detail + ").")
        , m_detail(detail)
    { }

    // The short reason alone, e.g. "Invalid ISO 8601 date".
    const std::string& detail() const { return m_detail; }

private:
    std::string m_detail;
};
