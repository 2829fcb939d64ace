// Pending jobs written to the current XDG data directory, for the start-up
// benchmarks: many saved jobs with transcribed (and optionally aligned) chunks.
#pragma once

#include "store/PendingRecording.h"

#include <QDir>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <vector>

namespace bench {

struct JobShape
{
    int chunks = 10;
    int textRepeats = 20;
    int wordsPerChunk = 0; // 0 leaves the job without word alignment
};

inline PendingRecording pendingJob(int index, const JobShape& shape)
{
    PendingRecording job {
        .id = QUuid::createUuid(),
        .userID = QUuid::createUuid(),
        .server = QUrl("https://api.tallisen.com"),
        .recordedAt = Date { 786000000.0 + index },
        .emailTo = "team@example.com",
        .diarizationEnabled = true,
    };
    if (shape.wordsPerChunk > 0) {
        job.alignmentVersion = 1;
    }
    for (int c = 0; c < shape.chunks; ++c) {
        AudioChunk chunk { .filename = QString("chunk-%1.m4a").arg(c, 3, 10, QChar('0')),
            .start = c * 300.0,
            .end = (c + 1) * 300.0 };
        chunk.text = QString(" a few words of text").repeated(shape.textRepeats);
        if (shape.wordsPerChunk > 0) {
            chunk.audioStart = chunk.start;
            chunk.audioEnd = chunk.end;
            chunk.words = std::vector<AlignedWord> {};
            for (int w = 0; w < shape.wordsPerChunk; ++w) {
                chunk.words->push_back(AlignedWord { " word", w * 1.5, w * 1.5 + 0.4 });
            }
        }
        job.chunks.push_back(chunk);
    }
    return job;
}

// Saves `count` jobs and returns the total size of their job files.
inline qint64 savePendingJobs(int count, const JobShape& shape)
{
    qint64 bytes = 0;
    for (int i = 0; i < count; ++i) {
        const PendingRecording job = pendingJob(i, shape);
        QDir().mkpath(job.folder());
        job.save();
        bytes += job.encode().size();
    }
    return bytes;
}

} // namespace bench
