#pragma once

// Turns a recording made elsewhere (any audio or video file FFmpeg reads)
// into the audio a pending job holds: mono 48 kHz AAC in M4A. Synchronous and
// blocking: call it from a worker thread. The original is only ever read.

#include "core/Date.h"

#include <QString>

#include <functional>
#include <stdexcept>

// Why a file could not be imported; what() names the file and is shown to the user.
class AudioImportError : public std::runtime_error
{
public:
    enum class Kind
    {
        unreadable,
        noAudio,
        tooLong,
        cannotWrite,
        cancelled,
    };

    AudioImportError(Kind kind, const QString& sentence);

    Kind kind() const { return m_kind; }

private:
    Kind m_kind;
};

namespace AudioImport {

inline constexpr int kSampleRate = 48000;
// Longer files are refused: the server's queue and a day's review have no
// use for them, and they are usually a recording left running.
inline constexpr double kMaximumSeconds = 4 * 60 * 60;

struct Callbacks
{
    // The fraction done (0 to 1) of the duration the file states; not called
    // when it states none.
    std::function<void(double)> progress;
    // Polled between blocks; true ends the conversion with Kind::cancelled.
    std::function<bool()> cancelled;
};

// Writes `to` (a new file, 0600; an existing file is an error) from the first
// audio stream of `from`, downmixed and resampled. On any failure `to` is
// removed. Throws AudioImportError.
void convert(const QString& from, const QString& to, const Callbacks& callbacks = {});

// When the recording was made: the file's "creation_time" tag (of the
// container, else of its first stream carrying one), else its modification time.
Date recordedAt(const QString& path);

} // namespace AudioImport
