#pragma once

#include "store/AudioChunk.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <cstdint>
#include <stdexcept>
#include <vector>

class AudioReader;

// Why a recording could not be split; the description is shown to the user.
class AudioChunkError : public std::runtime_error
{
public:
    enum class Kind
    {
        invalidAudio,
        tooLarge,
    };

    explicit AudioChunkError(Kind kind);

    Kind kind() const { return m_kind; }
    static QString description(Kind kind);

private:
    Kind m_kind;
};

// Cuts a recording into consecutive upload-sized M4A files, each cut moved to
// the quietest tenth of a second shortly before its planned point. split()
// runs on the calling (main) thread and suspends while the decoding and
// encoding run on the chunker's own worker thread, one chunk after another. The chunker
// keeps no state; the source file is only ever read.
namespace AudioChunker {

// Writes the chunk files into directory (an existing folder) and returns the
// chunks in timeline order. Cores touch exactly, the first starts at 0 and the
// last ends at the recording's duration; each file holds its core plus up to
// contextSeconds either side and is at most maximumBytes long. Throws
// AudioChunkError, or FileSystemError when a chunk file cannot be written.
QCoro::Task<std::vector<AudioChunk>> split(QString source, QString directory, double maximumSeconds,
    std::int64_t maximumBytes, double contextSeconds);

namespace detail {

// The middle of the quietest 100 ms window laid back to back from `from`
// (only windows that end by `to`; the earliest among equals). Returns `to`
// when the reader fails or no window fits; never throws. Blocking.
double quietBoundary(AudioReader& reader, double from, double to);

} // namespace detail
} // namespace AudioChunker
