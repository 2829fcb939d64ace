// Adoption of captures a crashed run left behind. The recording session
// alone would lose a meeting when the process dies while recording: its raw
// capture stays in the captures folder with nobody to stop it. At start-up
// every such capture is mixed and becomes a pending job, so the meeting is
// listed like any other and can be transcribed.

#include "model/AppModel.h"

#include "capture/Recorder.h"
#include "core/FileSystemError.h"
#include "model/CaptureAdoption.h"
#include "model/JobFolder.h"
#include "model/RecordingLock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

std::vector<CaptureAdoption::Orphan> AppModel::capturesNobodyRecords()
{
    try {
        // Held while listing: a process that starts recording afterwards
        // makes its capture after this list was taken.
        if (const std::unique_ptr<RecordingLock> lock = RecordingLock::tryAcquire()) {
            return CaptureAdoption::find(Recorder::capturesDirectory());
        }
    } catch (const FileSystemError&) {
        // Without the lock nobody can record either; the captures wait for a start that has it.
    }
    return {};
}

QCoro::Task<void> AppModel::adoptOrphanedCaptures(std::vector<CaptureAdoption::Orphan> orphans)
{
    int adopted = 0;
    QStringList notes;
    for (const CaptureAdoption::Orphan& orphan : orphans) {
        const QUuid id = Recorder::captureID(orphan.capture).value_or(QUuid::createUuid());
        const std::optional<PendingRecording> job = CaptureAdoption::jobFromSidecar(orphan.sidecar, id);
        std::exception_ptr failure;
        try {
            if (job && QFileInfo(QDir(job->folder()).filePath(PendingRecording::kJobFileName)).isFile()) {
                // The run that made this job died before it could tidy up.
                Recorder::discardCapture(orphan.capture);
                continue;
            }
            if (!job) {
                // Without its details the audio cannot become a job; it is
                // salvaged where the user can find it, the original copied along.
                const QString salvaged = co_await Recorder::recoverAudio(orphan.capture);
                QFile::rename(orphan.sidecar, salvaged + QStringLiteral(".json"));
                Recorder::discardCapture(orphan.capture);
                notes.append(
                    QStringLiteral("Audio of an interrupted recording without its details was saved to %1.")
                        .arg(salvaged));
                continue;
            }
            const QString mixed = Recorder::mixedPath(orphan.capture);
            co_await Recorder::mixAudio(orphan.capture, mixed);
            try {
                JobFolder::create(*job, mixed);
            } catch (...) {
                QFile::remove(mixed);
                throw;
            }
            Recorder::discardCapture(orphan.capture);
            ++adopted;
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            notes.append(
                QStringLiteral("An interrupted recording could not be recovered (%1); it remains at %2.")
                    .arg(describe(failure), orphan.capture));
        }
    }
    if (adopted > 0) {
        reloadPendingRecordings();
        notes.prepend(adopted == 1
                ? QStringLiteral("A recording interrupted by a crash was recovered and may end early.")
                : QStringLiteral("%1 recordings interrupted by a crash were recovered and may end early.")
                      .arg(adopted));
    }
    if (!notes.isEmpty()) {
        setCaptureWarning(notes.join(u' '));
    }
}
