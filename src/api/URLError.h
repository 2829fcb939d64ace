#pragma once

#include <QNetworkReply>
#include <QString>

#include <stdexcept>

// A transport-level failure of a request to the server, kept apart from the
// server's own answers (APIClientError) so that the retry rule can tell a
// dropped connection from a refused request.
class URLError : public std::runtime_error
{
public:
    enum class Code
    {
        // The six transport conditions a retry may cure.
        timedOut,
        networkConnectionLost,
        notConnectedToInternet,
        cannotConnectToHost,
        cannotFindHost,
        dnsLookupFailed,
        // Conditions a retry cannot cure.
        badServerResponse,
        userAuthenticationRequired,
        cannotLoadFromNetwork,
        secureConnectionRequired,
        cancelled,
        // Anything else Qt reports; the text is Qt's own.
        other,
    };

    explicit URLError(Code code, const QString& otherText = {});

    // Maps a failed reply onto a code. Qt reports a transfer time-out as a
    // cancellation, so the caller says whether the reply's own timer fired.
    static URLError fromNetworkError(
        QNetworkReply::NetworkError error, const QString& qtText, bool transferTimedOut);

    Code code() const { return m_code; }
    bool isRetryable() const;

private:
    Code m_code;
};
