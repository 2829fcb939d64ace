#pragma once

#include "store/PendingRecording.h"

#include <QString>

// Turns a finished capture into a pending job on disk.
namespace JobFolder {

// Creates the job folder (0700, with its parents), copies `audio` to the
// job's audio location (0600) and saves "job.json". Leaves `audio` in place.
// Throws FileSystemError; a folder without a job file may remain.
void create(const PendingRecording& job, const QString& audio);

} // namespace JobFolder
