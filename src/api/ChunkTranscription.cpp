// Turns one pending job into its finished transcript. Every finished step is
// written into the job and saved before the next request, so a new call after
// any failure, crash or quit continues where the last one stopped and repeats
// no finished request.

#include "api/APIClient.h"

#include "core/FileSystemError.h"
#include "pipeline/AudioChunker.h"
#include "pipeline/TranscriptAlignment.h"
#include "pipeline/TranscriptionRequests.h"
#include "store/PendingRecording.h"

#include <QFile>

#include <cerrno>

namespace {

constexpr double kChunkSeconds = 300.0;
constexpr std::int64_t kChunkBytes = 20'000'000;
constexpr double kAlignmentContextSeconds = 2.5;
constexpr qint64 kCurrentAlignmentVersion = 1;
constexpr std::chrono::milliseconds kChunkUploadTimeout { 300'000 };

QString partOf(qsizetype index, qsizetype count)
{
    return QStringLiteral("part %1 of %2…").arg(index + 1).arg(count);
}

QByteArray readChunkFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw FileSystemError::fromErrno(QStringLiteral("Reading an audio chunk"), path, errno);
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        throw FileSystemError::fromErrno(QStringLiteral("Reading an audio chunk"), path, errno);
    }
    return bytes;
}

} // namespace

void APIClient::report(const Progress& progress, const QString& line)
{
    if (progress) {
        progress(line);
    }
}

QCoro::Task<void> APIClient::checkAccount(PendingRecording job)
{
    const APIClientError wrongAccount(
        QStringLiteral("Sign in to the original account and server to retry this recording."));
    if (job.server != m_baseURL) {
        throw wrongAccount;
    }
    if (co_await currentUserID() != job.userID) {
        throw wrongAccount;
    }
}

QCoro::Task<QString> APIClient::transcribeChunk(PendingRecording job, qsizetype index)
{
    const AudioChunk& chunk = job.chunks[static_cast<size_t>(index)];
    APIRequest request = authorizedRequest(QStringLiteral("/v1/transcriptions"));
    request.method = QByteArrayLiteral("POST");
    request.request.setRawHeader("Content-Type", TranscriptionRequests::kAudioContentType);
    if (index > 0) {
        const auto& previousText = job.chunks[static_cast<size_t>(index - 1)].text;
        const auto prompt = previousText ? TranscriptionRequests::promptHeader(*previousText) : std::nullopt;
        if (prompt) {
            request.request.setRawHeader(TranscriptionRequests::kPromptHeader, *prompt);
        }
    }
    request.request.setTransferTimeout(static_cast<int>(kChunkUploadTimeout.count()));
    request.body = readChunkFile(TranscriptionRequests::chunkPath(job, chunk.filename));
    const auto answer = co_await sendWithRetry<TranscriptionResponse>(std::move(request));
    co_return answer.text;
}

QCoro::Task<std::vector<AlignedWord>> APIClient::alignChunk(PendingRecording job, qsizetype index)
{
    const AudioChunk& chunk = job.chunks[static_cast<size_t>(index)];
    const QString text = chunk.text.value_or(QString());
    APIRequest request = authorizedRequest(QStringLiteral("/v1/transcriptions/align"));
    request.method = QByteArrayLiteral("POST");
    request.request.setTransferTimeout(static_cast<int>(kChunkUploadTimeout.count()));
    const QString boundary = TranscriptionRequests::newBoundary();
    request.request.setRawHeader("Content-Type", TranscriptionRequests::alignmentContentType(boundary));
    request.body = TranscriptionRequests::alignmentBody(
        boundary, text, readChunkFile(TranscriptionRequests::chunkPath(job, chunk.filename)));
    auto answer = co_await sendWithRetry<AlignmentResponse>(std::move(request));
    TranscriptAlignment::validate(answer.words, text, chunk.fileDuration());
    co_return std::move(answer.words);
}

QCoro::Task<PendingRecording> APIClient::splitIntoChunks(PendingRecording job, Progress progress)
{
    const bool withSpeakers = job.diarizationEnabled.value_or(false);
    if (withSpeakers && !job.speakerSegments) {
        job.speakerSegments = co_await detectSpeakers(job, progress);
        job.save();
    }
    report(progress, QStringLiteral("Splitting audio into upload-sized chunks…"));
    job.chunks = co_await AudioChunker::split(
        job.audio(), job.folder(), kChunkSeconds, kChunkBytes, withSpeakers ? kAlignmentContextSeconds : 0.0);
    job.alignmentVersion = withSpeakers ? std::optional(kCurrentAlignmentVersion) : std::nullopt;
    job.save();
    co_return job;
}

QCoro::Task<APIClient::PreparedTranscript> APIClient::prepareTranscript(
    PendingRecording job, Progress progress)
{
    co_await checkAccount(job);
    if (job.chunks.empty()) {
        job = co_await splitIntoChunks(std::move(job), progress);
    }

    const bool aligned = job.alignmentVersion == kCurrentAlignmentVersion;
    const auto count = static_cast<qsizetype>(job.chunks.size());
    for (qsizetype i = 0; i < count; ++i) {
        if (!job.chunks[static_cast<size_t>(i)].text) {
            report(progress, QStringLiteral("Transcribing ") + partOf(i, count));
            QString text = co_await transcribeChunk(job, i);
            job.chunks[static_cast<size_t>(i)].text = std::move(text);
            job.save();
        }
        if (aligned && !job.chunks[static_cast<size_t>(i)].words) {
            report(progress, QStringLiteral("Aligning words in ") + partOf(i, count));
            std::vector<AlignedWord> words;
            if (!job.chunks[static_cast<size_t>(i)].text.value_or(QString()).trimmed().isEmpty()) {
                words = co_await alignChunk(job, i);
            }
            job.chunks[static_cast<size_t>(i)].words = std::move(words);
            job.save();
        }
    }

    QString transcript = aligned
        ? TranscriptAlignment::merged(job.chunks, job.speakerSegments.value_or(std::vector<SpeakerSegment>()))
        : mergedTranscript(job.chunks);
    if (transcript.isEmpty()) {
        throw APIClientError(QStringLiteral("No speech was transcribed. The audio has been kept."));
    }
    co_return PreparedTranscript { .job = std::move(job), .transcript = std::move(transcript) };
}
