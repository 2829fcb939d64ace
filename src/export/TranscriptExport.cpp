#include "export/TranscriptExport.h"

#include "core/FileSystemError.h"
#include "export/TranscriptTurns.h"
#include "pipeline/TranscriptAlignment.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <stdexcept>

namespace TranscriptExport {

namespace {

// How long a cue without a following time stays up: an unhurried speaking pace.
constexpr double kWordsPerSecond = 2.5;
constexpr double kShortestCueSeconds = 1.0;

const std::pair<ExportFormat, QString> kNames[] {
    { ExportFormat::text, QStringLiteral("text") },
    { ExportFormat::markdown, QStringLiteral("markdown") },
    { ExportFormat::srt, QStringLiteral("srt") },
    { ExportFormat::vtt, QStringLiteral("vtt") },
    { ExportFormat::json, QStringLiteral("json") },
};

struct CueLine
{
    std::optional<QString> speaker;
    QString text;
};

struct Cue
{
    double start = 0;
    double end = 0;
    bool timed = false;
    std::vector<CueLine> lines;
};

double speakingSeconds(const std::vector<CueLine>& lines)
{
    qsizetype words = 0;
    for (const CueLine& line : lines) {
        words += line.text.split(QLatin1Char(' '), Qt::SkipEmptyParts).size();
    }
    return std::max(kShortestCueSeconds, static_cast<double>(words) / kWordsPerSecond);
}

// An untimed turn after a timed one joins that cue: its words were said within
// or after it, but when exactly is unknown. Untimed turns with no timed turn
// before them (every paragraph of a plain transcript) follow each other at
// speaking pace from the start.
std::vector<Cue> cuesOf(const QString& transcript)
{
    std::vector<Cue> cues;
    for (const TranscriptTurn& turn : TranscriptTurns::parsed(transcript)) {
        CueLine line { turn.speaker, turn.text.simplified() };
        if (line.text.isEmpty()) {
            continue;
        }
        if (!turn.start && !cues.empty() && cues.back().timed) {
            cues.back().lines.push_back(std::move(line));
            continue;
        }
        const double start = turn.start.value_or(cues.empty() ? 0.0 : cues.back().end);
        Cue cue { .start = start, .end = 0, .timed = turn.start.has_value(), .lines = { std::move(line) } };
        cue.end = start + speakingSeconds(cue.lines);
        cues.push_back(std::move(cue));
    }
    for (size_t i = 0; i < cues.size(); ++i) {
        cues[i].end = cues[i].start + speakingSeconds(cues[i].lines);
        if (i + 1 < cues.size() && cues[i + 1].start > cues[i].start) {
            cues[i].end = cues[i + 1].start;
        }
    }
    return cues;
}

QString cueTime(double seconds, QChar fractionMark)
{
    const auto milliseconds = static_cast<qint64>(std::llround(seconds * 1000.0));
    return QString::asprintf("%02lld:%02lld:%02lld", milliseconds / 3'600'000, (milliseconds / 60'000) % 60,
               (milliseconds / 1000) % 60)
        + fractionMark + QString::asprintf("%03lld", milliseconds % 1000);
}

QString srt(const Recording& recording)
{
    QString out;
    int number = 0;
    for (const Cue& cue : cuesOf(recording.transcript)) {
        out += QString::number(++number) + QLatin1Char('\n');
        out += cueTime(cue.start, QLatin1Char(',')) + QStringLiteral(" --> ")
            + cueTime(cue.end, QLatin1Char(',')) + QLatin1Char('\n');
        for (const CueLine& line : cue.lines) {
            out += (line.speaker ? *line.speaker + QStringLiteral(": ") : QString()) + line.text
                + QLatin1Char('\n');
        }
        out += QLatin1Char('\n');
    }
    return out;
}

QString vttEscaped(QString text)
{
    return text.replace(QLatin1Char('&'), QStringLiteral("&amp;"))
        .replace(QLatin1Char('<'), QStringLiteral("&lt;"))
        .replace(QLatin1Char('>'), QStringLiteral("&gt;"));
}

QString vtt(const Recording& recording)
{
    QString out = QStringLiteral("WEBVTT\n\n");
    for (const Cue& cue : cuesOf(recording.transcript)) {
        out += cueTime(cue.start, QLatin1Char('.')) + QStringLiteral(" --> ")
            + cueTime(cue.end, QLatin1Char('.')) + QLatin1Char('\n');
        for (const CueLine& line : cue.lines) {
            const QString voice
                = line.speaker ? QStringLiteral("<v %1>").arg(vttEscaped(*line.speaker)) : QString();
            out += voice + vttEscaped(line.text) + QLatin1Char('\n');
        }
        out += QLatin1Char('\n');
    }
    return out;
}

// Escapes what Markdown would read as formatting, so the words show as said.
QString markdownEscaped(const QString& text)
{
    static const QRegularExpression inline_(QStringLiteral(R"(([\\`*_\[\]<>]))"));
    static const QRegularExpression marker(
        QStringLiteral(R"(^(\s*)([#+=-]))"), QRegularExpression::MultilineOption);
    static const QRegularExpression numbered(
        QStringLiteral(R"(^(\s*\d+)([.)])(?=\s|$))"), QRegularExpression::MultilineOption);
    QString escaped = text;
    escaped.replace(inline_, QStringLiteral("\\\\1"));
    escaped.replace(marker, QStringLiteral("\\1\\\\2"));
    return escaped.replace(numbered, QStringLiteral("\\1\\\\2"));
}

QString markdown(const Recording& recording)
{
    QStringList blocks { QStringLiteral("# ") + markdownEscaped(recording.title) };
    QString about = recording.recordedAt.toLocalText();
    if (recording.category) {
        about += QStringLiteral(" · ") + markdownEscaped(*recording.category);
    }
    blocks.append(about);
    for (const TranscriptTurn& turn : TranscriptTurns::parsed(recording.transcript)) {
        if (!turn.speaker) {
            blocks.append(markdownEscaped(turn.text));
            continue;
        }
        const QString time
            = turn.start ? TranscriptAlignment::timeStamp(*turn.start) : QStringLiteral("time unavailable");
        // The backslash is a hard line break: the words start on the next line.
        blocks.append(QStringLiteral("**%1** [%2]\\\n%3")
                          .arg(markdownEscaped(*turn.speaker), time, markdownEscaped(turn.text)));
    }
    return blocks.join(QStringLiteral("\n\n")) + QLatin1Char('\n');
}

QString json(const Recording& recording)
{
    QJsonArray turns;
    for (const TranscriptTurn& turn : TranscriptTurns::parsed(recording.transcript)) {
        turns.append(QJsonObject {
            { QStringLiteral("start"), turn.start ? QJsonValue(*turn.start) : QJsonValue() },
            { QStringLiteral("speaker"), turn.speaker ? QJsonValue(*turn.speaker) : QJsonValue() },
            { QStringLiteral("text"), turn.text },
        });
    }
    QJsonObject object = recording.toJson();
    object.insert(QStringLiteral("turns"), turns);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
}

} // namespace

QString formatName(ExportFormat format)
{
    for (const auto& [value, name] : kNames) {
        if (value == format) {
            return name;
        }
    }
    return {};
}

QStringList formatNames()
{
    QStringList names;
    for (const auto& entry : kNames) {
        names.append(entry.second);
    }
    return names;
}

ExportFormat formatNamed(const QString& name)
{
    for (const auto& [value, known] : kNames) {
        if (known == name) {
            return value;
        }
    }
    throw std::invalid_argument(QStringLiteral("“%1” is not an export format; choose one of %2.")
                                    .arg(name, formatNames().join(QStringLiteral(", ")))
                                    .toStdString());
}

QString exported(const Recording& recording, ExportFormat format)
{
    switch (format) {
    case ExportFormat::text:
        return recording.transcript;
    case ExportFormat::markdown:
        return markdown(recording);
    case ExportFormat::srt:
        return srt(recording);
    case ExportFormat::vtt:
        return vtt(recording);
    case ExportFormat::json:
        return json(recording);
    }
    return {};
}

void exportTo(const Recording& recording, ExportFormat format, const QString& path)
{
    const QByteArray bytes = exported(recording, format).toUtf8();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || file.write(bytes) != bytes.size() || !file.commit()) {
        const int code = errno;
        throw FileSystemError(
            QStringLiteral("The transcript could not be saved to %1: %2.").arg(path, file.errorString()),
            code);
    }
}

} // namespace TranscriptExport
