#include "api/URLError.h"

namespace {

using Code = URLError::Code;

QString sentence(QString text)
{
    text = text.trimmed();
    if (text.isEmpty()) {
        return QStringLiteral("The request failed.");
    }
    if (!text.endsWith(u'.') && !text.endsWith(u'!') && !text.endsWith(u'?')) {
        text.append(u'.');
    }
    return text;
}

QString description(Code code, const QString& otherText)
{
    switch (code) {
    case Code::timedOut:
        return QStringLiteral("The request timed out.");
    case Code::networkConnectionLost:
        return QStringLiteral("The network connection was lost.");
    case Code::notConnectedToInternet:
        return QStringLiteral("The Internet connection appears to be offline.");
    case Code::cannotConnectToHost:
        return QStringLiteral("Could not connect to the server.");
    case Code::cannotFindHost:
        return QStringLiteral("A server with the specified hostname could not be found.");
    case Code::dnsLookupFailed:
        return QStringLiteral("The server's name could not be looked up.");
    case Code::badServerResponse:
        return QStringLiteral("The server's answer could not be understood.");
    case Code::userAuthenticationRequired:
        return QStringLiteral("You are not signed in.");
    case Code::cannotLoadFromNetwork:
        return QStringLiteral("The data could not be loaded from the network.");
    case Code::secureConnectionRequired:
        return QStringLiteral(
            "The server address must use HTTPS; plain HTTP is allowed only for a server on this computer.");
    case Code::cancelled:
        return QStringLiteral("The request was cancelled.");
    case Code::other:
        break;
    }
    return sentence(otherText);
}

} // namespace

URLError::URLError(Code code, const QString& otherText)
    : std::runtime_error(description(code, otherText).toStdString())
    , m_code(code)
{ }

bool URLError::isRetryable() const
{
    switch (m_code) {
    case Code::timedOut:
    case Code::networkConnectionLost:
    case Code::notConnectedToInternet:
    case Code::cannotConnectToHost:
    case Code::cannotFindHost:
    case Code::dnsLookupFailed:
        return true;
    default:
        return false;
    }
}

// How Qt's reply errors map onto the codes:
// - ConnectionRefused (and the proxy's) → cannotConnectToHost: nobody listens.
// - RemoteHostClosed (and the proxy's) → networkConnectionLost: dropped mid-exchange.
// - HostNotFound (and ProxyNotFound) → cannotFindHost. Qt does not tell a name
//   that does not exist from a lookup that failed, so dnsLookupFailed never
//   comes from Qt; it exists for callers that can tell.
// - Timeout (and the proxy's), or a cancellation caused by the reply's own
//   transfer timeout → timedOut.
// - TemporaryNetworkFailure, NetworkSessionFailed, and UnknownNetworkError
//   (Qt's report for an unreachable network) → notConnectedToInternet.
// - ProtocolFailure (an answer that is not HTTP) → badServerResponse.
// - OperationCanceled otherwise → cancelled.
// - Everything else (TLS failures, redirects, unknown schemes, …) → other, with Qt's text.
URLError URLError::fromNetworkError(
    QNetworkReply::NetworkError error, const QString& qtText, bool transferTimedOut)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::ProxyConnectionRefusedError:
        return URLError(Code::cannotConnectToHost);
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::ProxyConnectionClosedError:
        return URLError(Code::networkConnectionLost);
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::ProxyNotFoundError:
        return URLError(Code::cannotFindHost);
    case QNetworkReply::TimeoutError:
    case QNetworkReply::ProxyTimeoutError:
        return URLError(Code::timedOut);
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
        return URLError(Code::notConnectedToInternet);
    case QNetworkReply::ProtocolFailure:
        return URLError(Code::badServerResponse);
    case QNetworkReply::OperationCanceledError:
        return URLError(transferTimedOut ? Code::timedOut : Code::cancelled);
    default:
        return URLError(Code::other, qtText);
    }
}
