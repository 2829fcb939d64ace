#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// A stored transcript read as turns and written back. Pure functions on
// copies; any thread. A transcript with speakers holds paragraphs
// "[hh:mm:ss] Speaker: words" or "[time unavailable] Speaker: words"; one
// without speakers holds plain paragraphs. Both are joined by a blank line.

struct TranscriptTurn
{
    // Seconds from the start of the recording; absent when the time is unavailable.
    std::optional<double> start;
    // Absent for a plain paragraph.
    std::optional<QString> speaker;
    QString text;

    bool operator==(const TranscriptTurn&) const = default;
};

namespace TranscriptTurns {

// Any text parses: a paragraph that is not a speaker turn becomes a plain one,
// so joined(parsed(text)) == text byte for byte.
std::vector<TranscriptTurn> parsed(const QString& transcript);
QString joined(const std::vector<TranscriptTurn>& turns);

// Each speaker once, in the order they first speak.
QStringList speakerNames(const QString& transcript);

// The transcript with every turn of `from` spoken by `to` instead. Throws
// std::invalid_argument for a name that could not be read back as a speaker
// (empty, several lines or containing ": ") or a speaker the transcript lacks.
QString renamedSpeaker(const QString& transcript, const QString& from, const QString& to);

} // namespace TranscriptTurns
