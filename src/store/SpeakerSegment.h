#pragma once

#include <QJsonObject>
#include <QString>

// One speaker turn, in seconds from the start of the recording. The speaker
// label is an opaque key that is never shown to the user.
struct SpeakerSegment
{
    double start = 0;
    double end = 0;
    QString speaker;

    static SpeakerSegment fromJson(const QJsonObject& object);
    QJsonObject toJson() const;

    bool operator==(const SpeakerSegment&) const = default;
};
