#pragma once

// An in-process HTTP/1.1 server on 127.0.0.1 speaking the transcription
// server's contract as far as the model needs it. It runs on the test's event
// loop, so handlers see requests in order and may change their answers
// between requests. Unrouted requests get 404 with an "error" body.

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QUrl>

#include <QTcpSocket>

#include <functional>
#include <stdexcept>
#include <vector>

class ModelTestServer : public QObject
{
public:
    struct Request
    {
        QByteArray method;
        QString path;
        // Header names in lower case.
        QHash<QByteArray, QByteArray> headers;
        QByteArray body;
    };
    struct Answer
    {
        int status = 200;
        QByteArray body;
    };
    using Handler = std::function<Answer(const Request&)>;

    ModelTestServer();

    // http://127.0.0.1:<port>, no trailing slash.
    QUrl url() const;
    void route(const QByteArray& method, const QString& path, Handler handler);
    const std::vector<Request>& requests() const { return m_requests; }
    int count(const QByteArray& method, const QString& path) const;

private:
    void accept();
    void serve(QTcpSocket* socket);

    QTcpServer m_server;
    QHash<QByteArray, Handler> m_routes;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    std::vector<Request> m_requests;
};

namespace modeltestserver {

inline QByteArray routeKey(const QByteArray& method, const QString& path)
{
    return method + ' ' + path.toUtf8();
}

inline QByteArray reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    default:
        return "Status";
    }
}

} // namespace modeltestserver

inline ModelTestServer::ModelTestServer()
{
    if (!m_server.listen(QHostAddress::LocalHost, 0)) {
        throw std::runtime_error("The test server could not listen on loopback.");
    }
    connect(&m_server, &QTcpServer::newConnection, this, &ModelTestServer::accept);
}

inline QUrl ModelTestServer::url() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()));
}

inline void ModelTestServer::route(const QByteArray& method, const QString& path, Handler handler)
{
    m_routes.insert(modeltestserver::routeKey(method, path), std::move(handler));
}

inline int ModelTestServer::count(const QByteArray& method, const QString& path) const
{
    int total = 0;
    for (const Request& request : m_requests) {
        total += request.method == method && request.path == path ? 1 : 0;
    }
    return total;
}

inline void ModelTestServer::accept()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

// Handles every complete request in the socket's buffer (keep-alive).
inline void ModelTestServer::serve(QTcpSocket* socket)
{
    QByteArray& buffer = m_buffers[socket];
    buffer += socket->readAll();
    for (;;) {
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0) {
            return;
        }
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        Request request { .method = requestLine.value(0), .path = QString::fromUtf8(requestLine.value(1)) };
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0) {
                request.headers.insert(
                    lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
            }
        }
        const qsizetype length = request.headers.value("content-length", "0").toLongLong();
        if (buffer.size() < headerEnd + 4 + length) {
            return;
        }
        request.body = buffer.mid(headerEnd + 4, length);
        buffer.remove(0, headerEnd + 4 + length);
        m_requests.push_back(request);

        const auto handler = m_routes.constFind(modeltestserver::routeKey(request.method, request.path));
        const Answer answer = handler == m_routes.constEnd() ? Answer { 404, R"({"error":"Not found."})" }
                                                             : (*handler)(request);
        socket->write("HTTP/1.1 " + QByteArray::number(answer.status) + ' '
            + modeltestserver::reason(answer.status)
            + "\r\nContent-Type: application/json\r\nContent-Length: "
            + QByteArray::number(answer.body.size()) + "\r\n\r\n" + answer.body);
    }
}
