#include "export/TranscriptTurns.h"

#include "pipeline/TranscriptAlignment.h"

#include <QRegularExpression>

#include <stdexcept>

namespace TranscriptTurns {

namespace {

const QString kParagraphBreak = QStringLiteral("\n\n");
const QString kTimeUnavailable = QStringLiteral("time unavailable");

const QRegularExpression& turnPattern()
{
    // The speaker ends at the first ": ", which is why a name may not hold one.
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral(R"(\[([^\]\n]+)\] ([^\n]+?): (.*))")),
        QRegularExpression::DotMatchesEverythingOption);
    return pattern;
}

// The stamp's seconds, or nothing when it is not exactly what timeStamp writes
// (so "00:99:00" stays a plain paragraph and the text round-trips).
std::optional<double> stampSeconds(const QString& stamp)
{
    const QStringList fields = stamp.split(QLatin1Char(':'));
    if (fields.size() != 3) {
        return std::nullopt;
    }
    double seconds = 0;
    for (const QString& field : fields) {
        bool ok = false;
        const qint64 value = field.toLongLong(&ok);
        if (!ok || value < 0) {
            return std::nullopt;
        }
        seconds = seconds * 60 + static_cast<double>(value);
    }
    if (TranscriptAlignment::timeStamp(seconds) != stamp) {
        return std::nullopt;
    }
    return seconds;
}

TranscriptTurn turnOf(const QString& paragraph)
{
    const QRegularExpressionMatch match = turnPattern().match(paragraph);
    if (!match.hasMatch()) {
        return TranscriptTurn { .start = std::nullopt, .speaker = std::nullopt, .text = paragraph };
    }
    const QString stamp = match.captured(1);
    const std::optional<double> start = stampSeconds(stamp);
    if (!start && stamp != kTimeUnavailable) {
        return TranscriptTurn { .start = std::nullopt, .speaker = std::nullopt, .text = paragraph };
    }
    return TranscriptTurn { .start = start, .speaker = match.captured(2), .text = match.captured(3) };
}

QString paragraphOf(const TranscriptTurn& turn)
{
    if (!turn.speaker) {
        return turn.text;
    }
    const QString stamp = turn.start ? TranscriptAlignment::timeStamp(*turn.start) : kTimeUnavailable;
    return QStringLiteral("[%1] %2: %3").arg(stamp, *turn.speaker, turn.text);
}

void checkSpeakerName(const QString& name)
{
    if (name.isEmpty()) {
        throw std::invalid_argument("A speaker's name cannot be empty.");
    }
    if (name.contains(QLatin1Char('\n')) || name.contains(QLatin1Char('\r'))) {
        throw std::invalid_argument("A speaker's name must fit on one line.");
    }
    if (name.contains(QStringLiteral(": "))) {
        throw std::invalid_argument("A speaker's name cannot contain a colon followed by a space.");
    }
}

} // namespace

std::vector<TranscriptTurn> parsed(const QString& transcript)
{
    std::vector<TranscriptTurn> turns;
    if (transcript.isEmpty()) {
        return turns;
    }
    for (const QString& paragraph : transcript.split(kParagraphBreak)) {
        turns.push_back(turnOf(paragraph));
    }
    return turns;
}

QString joined(const std::vector<TranscriptTurn>& turns)
{
    QStringList paragraphs;
    paragraphs.reserve(static_cast<qsizetype>(turns.size()));
    for (const TranscriptTurn& turn : turns) {
        paragraphs.append(paragraphOf(turn));
    }
    return paragraphs.join(kParagraphBreak);
}

QStringList speakerNames(const QString& transcript)
{
    QStringList names;
    for (const TranscriptTurn& turn : parsed(transcript)) {
        if (turn.speaker && !names.contains(*turn.speaker)) {
            names.append(*turn.speaker);
        }
    }
    return names;
}

QString renamedSpeaker(const QString& transcript, const QString& from, const QString& to)
{
    const QString name = to.trimmed();
    checkSpeakerName(name);
    std::vector<TranscriptTurn> turns = parsed(transcript);
    bool found = false;
    for (TranscriptTurn& turn : turns) {
        if (turn.speaker == from) {
            turn.speaker = name;
            found = true;
        }
    }
    if (!found) {
        throw std::invalid_argument(
            QStringLiteral("The transcript has no speaker named “%1”.").arg(from).toStdString());
    }
    return joined(turns);
}

} // namespace TranscriptTurns
