#include "PipelineFixture.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <map>

namespace {

using namespace PipelineTesting;

// A plain HTTP/1.1 server on the test's own event loop that keeps the request
// heads byte for byte (httplib decodes header values before anyone sees them).
class RawHttpServer
{
public:
    explicit RawHttpServer(std::vector<QByteArray> transcripts)
        : m_transcripts(std::move(transcripts))
    {
        EXPECT_TRUE(m_server.listen(QHostAddress::LocalHost));
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, [this, socket] { read(socket); });
            }
        });
    }

    QUrl baseURL() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort())); }
    const std::vector<QByteArray>& heads() const { return m_heads; }

private:
    void read(QTcpSocket* socket)
    {
        QByteArray& buffer = m_buffers[socket];
        buffer += socket->readAll();
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            return;
        }
        const QByteArray head = buffer.left(headEnd + 4);
        const QByteArray lengthKey = "\r\nContent-Length: ";
        const qsizetype lengthAt = head.indexOf(lengthKey);
        const qsizetype length = lengthAt < 0
            ? 0
            : head.mid(lengthAt + lengthKey.size(),
                      head.indexOf("\r\n", lengthAt + 2) - lengthAt - lengthKey.size())
                  .toLongLong();
        if (buffer.size() < head.size() + length) {
            return;
        }
        m_heads.push_back(head);
        m_buffers.erase(socket);
        const QByteArray body = head.startsWith("GET /v1/me ")
            ? QByteArray(R"({"id":")") + PipelineServer::Settings().userID.c_str() + "\"}"
            : QByteArray(R"({"text":")") + m_transcripts.at(m_served++) + "\"}";
        socket->write(
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    std::vector<QByteArray> m_transcripts;
    size_t m_served = 0;
    std::map<QTcpSocket*, QByteArray> m_buffers;
    std::vector<QByteArray> m_heads;
};

TEST(PromptHeaderOnTheWire, IsAbsentFirstThenTheEncodedPreviousTextAndEmptyAfterABlankChunk)
{
    TemporaryXdg xdg;
    RawHttpServer raw({ QByteArray("Gr\xC3\xBC\xC3\x9F"
                                   "e, Welt!\\n100%"),
        QByteArray(), QByteArray("Ende.") });
    TestClient client(raw.baseURL(), kToken);
    PendingRecording job { .id = QUuid::createUuid(),
        .userID = QUuid::fromString(QString::fromStdString(PipelineServer::Settings().userID)),
        .server = raw.baseURL(),
        .diarizationEnabled = false };
    ASSERT_TRUE(QDir().mkpath(job.folder()));
    job.chunks = chunkFiles(job.folder(), 3);
    job.save();

    const auto result = TestTasks::run(client.prepareTranscript(job, {}));

    EXPECT_EQ(result.transcript, QStringLiteral("Grüße, Welt!\n100%\n\nEnde."));
    const auto& heads = raw.heads();
    ASSERT_EQ(heads.size(), 4U);
    EXPECT_FALSE(heads[1].contains("X-Tallisen-Prompt"));
    EXPECT_TRUE(heads[2].contains("\r\nX-Tallisen-Prompt: Gr\xC3\xBC\xC3\x9F"
                                  "e%2C%20Welt%21%0A100%25\r\n"))
        << heads[2].toStdString();
    EXPECT_TRUE(heads[3].contains("\r\nX-Tallisen-Prompt: \r\n")) << heads[3].toStdString();
    EXPECT_TRUE(heads[3].contains("\r\nContent-Type: audio/x-m4a\r\n"));
}

} // namespace
