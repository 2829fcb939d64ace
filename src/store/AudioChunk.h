#pragma once

#include "store/AlignedWord.h"

#include <QJsonObject>
#include <QString>

#include <optional>
#include <vector>

// One upload-sized piece of a job's recording and what has been learnt about
// it. start/end are the core range on the recording's timeline; audioStart/
// audioEnd the range the chunk file actually holds (core plus context).
struct AudioChunk
{
    QString filename;
    double start = 0;
    double end = 0;
    std::optional<QString> text;
    std::optional<QString> speaker;
    std::optional<double> audioStart;
    std::optional<double> audioEnd;
    // Absent: not aligned yet. Empty: aligned, and the chunk holds no words.
    std::optional<std::vector<AlignedWord>> words;

    double fileStart() const { return audioStart.value_or(start); }
    double fileEnd() const { return audioEnd.value_or(end); }
    double fileDuration() const { return fileEnd() - fileStart(); }

    static AudioChunk fromJson(const QJsonObject& object);
    QJsonObject toJson() const;

    bool operator==(const AudioChunk&) const = default;
};
