#pragma once

// Captures a crashed or killed run left behind: the recorder keeps a sidecar
// next to every raw capture until a stop() has finished it, so a raw capture
// with its sidecar found at start-up is a meeting nobody turned into a job.

#include "store/PendingRecording.h"

#include <QJsonObject>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <optional>
#include <vector>

namespace CaptureAdoption {

struct Orphan
{
    QString capture;
    QString sidecar;
};

// What startRecording() stores in the sidecar, enough to make the job.
QJsonObject details(const QUuid& userID, const QUrl& server, const QString& emailTo, bool diarizationEnabled);

// Raw captures in `directory` that still have their sidecar, oldest name first.
std::vector<Orphan> find(const QString& directory);

// A new job (`id`, no progress) from the sidecar's start time and details;
// absent when the sidecar cannot be read or lacks a field.
std::optional<PendingRecording> jobFromSidecar(const QString& sidecar, const QUuid& id);

} // namespace CaptureAdoption
