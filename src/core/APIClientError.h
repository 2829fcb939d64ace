#pragma once

#include <QString>

#include <optional>
#include <stdexcept>

// The system's general user-facing error: a complete sentence shown verbatim,
// with the HTTP status only when it was made from a non-2xx server answer.
class APIClientError : public std::runtime_error
{
public:
    explicit APIClientError(const QString& message, std::optional<int> statusCode = std::nullopt)
        : std::runtime_error(message.toStdString())
        , m_message(message)
        , m_statusCode(statusCode)
    { }

    const QString& message() const { return m_message; }
    std::optional<int> statusCode() const { return m_statusCode; }

private:
    QString m_message;
    std::optional<int> m_statusCode;
};
