#pragma once

#include "store/PendingRecording.h"

#include <QString>

// Turns a finished capture into a pending job on disk.
namespace JobFolder {

// Creates the job folder (0700, with its parents), copies `audio` to the
// job's audio location (0600, synced) and saves "job.json" last. Leaves
// `audio` in place. Throws FileSystemError, also when the folder already
// holds a job; a folder without a job file may remain, and a later call
// for the same job replaces its audio.
void create(const PendingRecording& job, const QString& audio);

} // namespace JobFolder
