#pragma once

// Mixes every audio track of a media file into one AAC track in an M4A file.
// Each track keeps its own start time on the common timeline; with several
// tracks each plays at 0.7, a single track at 1.0, and the sum is not
// normalised. Synchronous and self-contained: call it from a worker thread.
// A long mix is cut into segments encoded on every processor at once.

#include <QString>

namespace TrackMixer {

inline constexpr double kSharedGain = 0.7;

// Writes `to` under a temporary name and renames it when complete, removing
// it when the mix fails; `from` is never touched. segments: how many parts of
// the timeline are encoded in parallel; 0 chooses one per processor for a
// long mix. Throws RecorderError (noAudio, cannotMix, also for a track that
// starts after the longest one has ended) or FFmpeg::Error.
void mix(const QString& from, const QString& to, int segments = 0);

} // namespace TrackMixer
