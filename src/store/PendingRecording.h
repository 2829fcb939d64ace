#pragma once

// The pending recording store: one folder per job under root(), holding the
// mixed audio, the chunk files and "job.json". The folder tree is the store:
// no cache, no index, no lock. Every call is a synchronous file-system call on
// the calling thread; the atomic write in save() keeps a concurrent loadAll()
// from ever seeing a partial job file.

#include "core/Date.h"
#include "store/AudioChunk.h"
#include "store/SpeakerSegment.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <optional>
#include <vector>

struct PendingRecording
{
    QUuid id;
    QUuid userID;
    QUrl server;
    Date recordedAt;
    QString emailTo;
    std::vector<AudioChunk> chunks;
    std::optional<bool> diarizationEnabled;
    std::optional<std::vector<SpeakerSegment>> speakerSegments;
    std::optional<qint64> alignmentVersion;
    std::optional<bool> submissionStarted;
    // The file an imported recording was made from; absent for one recorded here.
    std::optional<QString> importedFrom;

    static inline const QString kJobFileName = QStringLiteral("job.json");
    static inline const QString kAudioFileName = QStringLiteral("recording.m4a");

    // $XDG_DATA_HOME/Tallisen/PendingRecordings; computed on every call, never created here.
    static QString root();
    // root() joined with the upper-case id.
    QString folder() const;
    // The mixed audio of the whole meeting inside the job folder.
    QString audio() const;

    // Atomically and durably replaces "job.json" (mode 0600). Throws
    // FileSystemError; never creates the job folder.
    void save() const;
    // Every valid job under root(), earliest recordedAt first. Never throws;
    // anything unreadable is left out of the list and left on disk untouched.
    static std::vector<PendingRecording> loadAll();
    // Deletes the job folder permanently. Throws FileSystemError.
    void remove() const;

    bool canRetryWithoutSpeakers() const;
    void resetEmptyTranscriptions();

    static PendingRecording fromJson(const QJsonObject& object);
    QJsonObject toJson() const;
    // Decodes the bytes of a job file; throws DecodingError.
    static PendingRecording decode(const QByteArray& bytes);
    QByteArray encode() const;

    bool operator==(const PendingRecording&) const = default;
};
