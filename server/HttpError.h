#pragma once

#include <stdexcept>
#include <string>

namespace server {

// A refusal that reaches the client as its status and {"error": message}.
class HttpError : public std::runtime_error
{
public:
    HttpError(int status, const std::string& message)
        : std::runtime_error(message)
        , m_status(status)
    { }

    int status() const { return m_status; }

private:
    int m_status;
};

} // namespace server
