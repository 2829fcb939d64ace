#include "pipeline/TranscriptionRequests.h"

#include "core/APIClientError.h"
#include "core/Uuids.h"
#include "store/PendingRecording.h"

#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextBoundaryFinder>
#include <QUuid>

#include <cmath>

namespace TranscriptionRequests {
namespace {

const QByteArray kLineEnd = QByteArrayLiteral("\r\n");

// Counting grapheme clusters keeps a letter and its combining marks, or a
// surrogate pair, from being cut apart at the start of the prompt.
QString lastCharacters(const QString& text, int count)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.toEnd();
    qsizetype position = text.size();
    for (int i = 0; i < count; ++i) {
        const qsizetype previous = finder.toPreviousBoundary();
        if (previous < 0) {
            return text;
        }
        position = previous;
    }
    return text.mid(position);
}

bool keptUnescaped(char32_t codePoint)
{
    return QChar::isLetterOrNumber(codePoint) || QChar::isMark(codePoint);
}

void appendEscaped(QByteArray& out, const QByteArray& utf8)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char byte : utf8) {
        const auto value = static_cast<unsigned char>(byte);
        out.append('%');
        out.append(kHex[value >> 4]);
        out.append(kHex[value & 0x0F]);
    }
}

} // namespace

std::optional<QByteArray> promptHeader(const QString& previousText)
{
    const QString tail = lastCharacters(previousText, kPromptCharacters);
    QByteArray encoded(""); // not null: an empty previous text still sends the header
    for (qsizetype i = 0; i < tail.size(); ++i) {
        char32_t codePoint = tail[i].unicode();
        if (QChar::isHighSurrogate(codePoint) && i + 1 < tail.size() && tail[i + 1].isLowSurrogate()) {
            codePoint = QChar::surrogateToUcs4(tail[i], tail[i + 1]);
            ++i;
        } else if (QChar::isSurrogate(codePoint)) {
            return std::nullopt;
        }
        const QByteArray utf8 = QString::fromUcs4(&codePoint, 1).toUtf8();
        if (keptUnescaped(codePoint)) {
            encoded.append(utf8);
        } else {
            appendEscaped(encoded, utf8);
        }
    }
    return encoded;
}

QString newBoundary()
{
    return QStringLiteral("Tallisen-") + Uuids::text(QUuid::createUuid());
}

QByteArray alignmentContentType(const QString& boundary)
{
    return QByteArrayLiteral("multipart/form-data; boundary=") + boundary.toUtf8();
}

QByteArray alignmentBody(const QString& boundary, const QString& text, const QByteArray& audio)
{
    const QByteArray delimiter = QByteArrayLiteral("--") + boundary.toUtf8();
    QByteArray body;
    body.reserve(audio.size() + text.size() * 3 + 512);
    body += delimiter + kLineEnd;
    body += QByteArrayLiteral("Content-Disposition: form-data; name=\"text\"") + kLineEnd;
    body += kLineEnd;
    body += text.toUtf8() + kLineEnd;
    body += delimiter + kLineEnd;
    body += QByteArrayLiteral("Content-Disposition: form-data; name=\"file\"; filename=\"") + kUploadFileName
        + QByteArrayLiteral("\"") + kLineEnd;
    body += QByteArrayLiteral("Content-Type: ") + kAudioContentType + kLineEnd;
    body += kLineEnd;
    body += audio + kLineEnd;
    body += delimiter + QByteArrayLiteral("--") + kLineEnd;
    return body;
}

QString submissionDate(Date date)
{
    const auto seconds = static_cast<qint64>(std::floor(date.unixSeconds()));
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC)
        .toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

QByteArray submissionBody(const QString& transcript, Date recordedAt, const QString& emailTo)
{
    const QJsonObject body {
        { QStringLiteral("transcript"), transcript },
        { QStringLiteral("recordedAt"), submissionDate(recordedAt) },
        { QStringLiteral("emailTo"), emailTo },
        { QStringLiteral("source"), QStringLiteral("linux") },
    };
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

QString chunkPath(const PendingRecording& job, const QString& filename)
{
    const bool plainName = !filename.isEmpty() && filename != u"." && filename != u".."
        && !filename.contains(u'/') && !filename.contains(QChar(u'\0'));
    if (!plainName) {
        throw APIClientError(QStringLiteral("The job file names an audio chunk outside its folder. "
                                            "The audio has been kept."));
    }
    return QDir(job.folder()).filePath(filename);
}

} // namespace TranscriptionRequests
