#include "pipeline/AudioChunker.h"

#include "core/FileSystemError.h"
#include "core/Uuids.h"
#include "core/WorkerThread.h"
#include "pipeline/AacRangeCopy.h"
#include "pipeline/AudioReader.h"
#include "pipeline/M4aWriter.h"

#include <QDir>
#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <exception>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

namespace {

// With five-minute chunks the search covers the last 3 s before each cut.
constexpr double kSearchSeconds = 3.0;
constexpr double kSmallestShrinkableSpan = 1.0;
constexpr int kWindowsPerSecond = 10;
// FFmpeg's native AAC encoder has no spectral band replication, so it needs
// about 64 kb/s per channel to keep speech free of artefacts; even in stereo a
// full five-minute chunk is then under 5 MB, far below the upload limit.
constexpr int kBitRatePerChannel = 64000;
// Transcription gains nothing from surround channels.
constexpr int kMaximumChannels = 2;
constexpr int kCopyFrames = 4096;

struct ExportedFile
{
    QString filename;
    std::int64_t size = 0;
};

// The steps of a split run one after another anyway; a single worker thread
// keeps them in one allocator arena, so peak memory does not depend on how
// many threads happened to run them.
WorkerThread& chunkerThread()
{
    static WorkerThread thread;
    return thread;
}

bool validParameters(double maximumSeconds, std::int64_t maximumBytes, double contextSeconds)
{
    return std::isfinite(maximumSeconds) && maximumSeconds > 0 && maximumBytes >= 1
        && std::isfinite(contextSeconds) && contextSeconds >= 0 && 2 * contextSeconds < maximumSeconds;
}

QString chunkPath(const QString& directory, const QString& filename)
{
    return QDir(directory).filePath(filename);
}

void createPrivateFile(const QString& path)
{
    const int descriptor = ::open(
        QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (descriptor < 0) {
        throw FileSystemError::fromErrno(QStringLiteral("Creating the audio chunk"), path, errno);
    }
    ::close(descriptor);
}

void makePrivate(const QString& path)
{
    if (::chmod(QFile::encodeName(path).constData(), S_IRUSR | S_IWUSR) != 0) {
        throw FileSystemError::fromErrno(QStringLiteral("Setting the permissions"), path, errno);
    }
}

std::int64_t fileSize(const QString& path)
{
    struct stat status
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &status) != 0) {
        throw FileSystemError::fromErrno(QStringLiteral("Reading the size"), path, errno);
    }
    return status.st_size;
}

void removeFile(const QString& path)
{
    if (::unlink(QFile::encodeName(path).constData()) != 0) {
        throw FileSystemError::fromErrno(QStringLiteral("Removing the audio chunk"), path, errno);
    }
}

// Removes a chunk file unless the export that writes it completes.
class PartialFile
{
public:
    explicit PartialFile(QString path)
        : m_path(std::move(path))
    { }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;
    ~PartialFile()
    {
        if (!m_kept) {
            ::unlink(QFile::encodeName(m_path).constData());
        }
    }
    void keep() { m_kept = true; }

private:
    QString m_path;
    bool m_kept = false;
};

template <typename Work> auto reading(Work work)
{
    try {
        return work();
    } catch (const FFmpeg::Error&) {
        throw AudioChunkError(AudioChunkError::Kind::invalidAudio);
    }
}

// Failures of the operating system (a full disk, a vanished folder) keep their
// own kind; anything the encoder rejects means the audio cannot be chunked.
// FFmpeg reports parameters its encoder cannot take (a sample rate AAC does
// not have) as EINVAL, which is no file-system failure.
template <typename Work> auto writing(const QString& path, Work work)
{
    try {
        return work();
    } catch (const FFmpeg::Error& error) {
        if (const int code = error.systemErrorCode(); code != 0 && code != EINVAL) {
            throw FileSystemError::fromErrno(QStringLiteral("Writing the audio chunk"), path, code);
        }
        throw AudioChunkError(AudioChunkError::Kind::invalidAudio);
    }
}

// The recording, opened once for a whole split on the chunker's thread: a
// long M4A's index of every packet costs more to build, and to hold twice,
// than its chunks cost to copy. The quiet-point search and the copies share it.
class SplitSource
{
public:
    explicit SplitSource(QString path)
        : m_path(std::move(path))
    { }

    const QString& path() const { return m_path; }

    AudioReader& reader()
    {
        if (!m_reader) {
            m_reader = reading([&] { return std::make_unique<AudioReader>(m_path); });
        }
        return *m_reader;
    }

    // False when the range must be re-encoded instead.
    bool copy(const QString& chunk, double audioStart, double audioEnd)
    {
        AudioReader& source = reader();
        if (!m_copyable) {
            return false;
        }
        AVFormatContext& input = source.borrowInput();
        m_copyable = AacRangeCopy::copyable(input, source.streamIndex(), kMaximumChannels);
        if (m_copyable && AacRangeCopy::copy(input, source.streamIndex(), chunk, audioStart, audioEnd)) {
            return true;
        }
        m_reader.reset();
        return false;
    }

private:
    QString m_path;
    std::unique_ptr<AudioReader> m_reader;
    bool m_copyable = true;
};

std::int64_t samplePosition(double seconds, int sampleRate)
{
    return std::llround(seconds * sampleRate);
}

void encodeRange(const QString& source, const QString& path, double audioStart, double audioEnd)
{
    auto reader = reading([&] { return std::make_unique<AudioReader>(source, kMaximumChannels); });
    const int channels = reader->channelCount();
    const int sampleRate = reader->sampleRate();
    auto writer = writing(path, [&] {
        return std::make_unique<M4aWriter>(path, sampleRate, channels, kBitRatePerChannel * channels);
    });

    std::vector<float> samples(std::size_t(kCopyFrames) * channels);
    std::vector<float*> planes(channels);
    for (int channel = 0; channel < channels; ++channel) {
        planes[channel] = samples.data() + std::size_t(channel) * kCopyFrames;
    }
    std::int64_t position = samplePosition(audioStart, sampleRate);
    const std::int64_t last = samplePosition(audioEnd, sampleRate);
    reading([&] { reader->seek(position); });
    while (position < last) {
        const int wanted = int(std::min<std::int64_t>(kCopyFrames, last - position));
        const int delivered = reading([&] { return reader->read(planes.data(), wanted); });
        if (delivered == 0) {
            break;
        }
        writing(path, [&] { writer->write(planes.data(), delivered); });
        position += delivered;
    }
    if (writer->framesWritten() == 0) {
        throw AudioChunkError(AudioChunkError::Kind::invalidAudio);
    }
    writing(path, [&] { writer->finish(); });
}

ExportedFile exportChunk(SplitSource& source, const QString& directory, double audioStart, double audioEnd)
{
    ExportedFile file;
    file.filename = QStringLiteral("chunk-%1.m4a").arg(Uuids::text(QUuid::createUuid()));
    const QString path = chunkPath(directory, file.filename);
    // Created owner-only before any audio is written, so no copy of the
    // recording is ever readable by others.
    createPrivateFile(path);
    PartialFile partial(path);
    const bool copied = writing(path, [&] { return source.copy(path, audioStart, audioEnd); });
    if (!copied) {
        encodeRange(source.path(), path, audioStart, audioEnd);
    }
    makePrivate(path);
    file.size = fileSize(path);
    partial.keep();
    return file;
}

double probeDuration(SplitSource& source)
{
    const double duration = reading([&] { return source.reader().duration(); });
    if (!std::isfinite(duration) || duration <= 0) {
        throw AudioChunkError(AudioChunkError::Kind::invalidAudio);
    }
    return duration;
}

void removeQuietly(const QString& directory, const std::vector<AudioChunk>& chunks)
{
    for (const AudioChunk& chunk : chunks) {
        ::unlink(QFile::encodeName(chunkPath(directory, chunk.filename)).constData());
    }
}

} // namespace

AudioChunkError::AudioChunkError(Kind kind)
    : std::runtime_error(description(kind).toStdString())
    , m_kind(kind)
{ }

QString AudioChunkError::description(Kind kind)
{
    switch (kind) {
    case Kind::invalidAudio:
        return QStringLiteral(
            "The recording could not be split into audio chunks. The original has been kept.");
    case Kind::tooLarge:
        return QStringLiteral(
            "An audio chunk could not be reduced below the upload limit. The original has been kept.");
    }
    return {};
}

namespace AudioChunker {

QCoro::Task<std::vector<AudioChunk>> split(QString source, QString directory, double maximumSeconds,
    std::int64_t maximumBytes, double contextSeconds)
{
    if (!validParameters(maximumSeconds, maximumBytes, contextSeconds)) {
        throw AudioChunkError(AudioChunkError::Kind::invalidAudio);
    }
    // GCC 12 destroys lambda temporaries inside a co_await expression too
    // early, so every task is named before it is awaited.
    const auto opened = std::make_shared<SplitSource>(source);
    auto probing = chunkerThread().run([opened] { return probeDuration(*opened); });
    const double duration = co_await std::move(probing);
    const double step = maximumSeconds - 2 * contextSeconds;

    std::vector<AudioChunk> chunks;
    try {
        double start = 0;
        while (true) {
            double end = std::min(start + step, duration);
            if (end < duration) {
                const double from = std::max(start + step * 0.5, end - kSearchSeconds);
                auto searching = chunkerThread().run(
                    [opened, from, end] { return detail::quietBoundary(opened->reader(), from, end); });
                end = co_await std::move(searching);
            }
            while (true) {
                const double audioStart = std::max(start - contextSeconds, 0.0);
                const double audioEnd = std::min(end + contextSeconds, duration);
                auto exporting = chunkerThread().run([opened, directory, audioStart, audioEnd] {
                    return exportChunk(*opened, directory, audioStart, audioEnd);
                });
                const ExportedFile file = co_await std::move(exporting);
                if (file.size >= 1 && file.size <= maximumBytes) {
                    chunks.push_back(AudioChunk { .filename = file.filename,
                        .start = start,
                        .end = end,
                        .text = std::nullopt,
                        .speaker = std::nullopt,
                        .audioStart = audioStart,
                        .audioEnd = audioEnd,
                        .words = std::nullopt });
                    break;
                }
                removeFile(chunkPath(directory, file.filename));
                const double span = end - start;
                if (span <= kSmallestShrinkableSpan) {
                    throw AudioChunkError(AudioChunkError::Kind::tooLarge);
                }
                end = start + span * 0.5;
            }
            if (end >= duration) {
                co_return chunks;
            }
            start = end;
        }
    } catch (...) {
        // The caller never learns these names, so the files would only linger
        // in the job's folder as unreferenced copies of the recording.
        removeQuietly(directory, chunks);
        throw;
    }
}

namespace detail {

double quietBoundary(AudioReader& reader, double from, double to)
{
    if (!(from < to)) {
        return to;
    }
    try {
        const int sampleRate = reader.sampleRate();
        const int window = sampleRate / kWindowsPerSecond;
        if (window <= 0) {
            return to;
        }
        const int channels = reader.channelCount();
        std::vector<float> samples(std::size_t(window) * channels);
        std::vector<float*> planes(channels);
        for (int channel = 0; channel < channels; ++channel) {
            planes[channel] = samples.data() + std::size_t(channel) * window;
        }

        auto position = static_cast<std::int64_t>(sampleRate * from);
        reader.seek(position);
        double bestEnergy = std::numeric_limits<double>::infinity();
        double bestTime = to;
        while (double(position + window) / sampleRate <= to) {
            int delivered = 0;
            try {
                delivered = reader.read(planes.data(), window);
            } catch (const std::exception&) {
                return bestTime;
            }
            if (delivered == 0) {
                break;
            }
            double energy = 0;
            for (int channel = 0; channel < channels; ++channel) {
                for (int frame = 0; frame < delivered; ++frame) {
                    const double sample = planes[channel][frame];
                    energy += sample * sample;
                }
            }
            if (energy < bestEnergy) {
                bestEnergy = energy;
                bestTime = double(position + delivered / 2) / sampleRate;
            }
            position += delivered;
        }
        return bestTime;
    } catch (const std::exception&) {
        return to;
    }
}

} // namespace detail
} // namespace AudioChunker
