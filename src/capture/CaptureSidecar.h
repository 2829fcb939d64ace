#pragma once

// The side file next to each raw capture ("tallisen-<UUID>.json"): the
// capture's start time and the details its recorder was started with. It is
// written before the first sample and removed last, so a capture that still
// has one was never turned into a job.

#include "core/Date.h"

#include <QJsonObject>
#include <QString>

#include <optional>

namespace CaptureSidecar {

struct Contents
{
    Date recordedAt;
    QJsonObject details;
};

QString pathFor(const QString& capture);

// Creates the side file once (O_EXCL, 0600, synced). Throws FileSystemError.
void write(const QString& capture, const QJsonObject& details);

// Absent when the file is missing, oversized or not a side file.
std::optional<Contents> read(const QString& sidecar);

} // namespace CaptureSidecar
