// Speaker detection for one job: prepare the server's detection job for the
// recording, upload the audio only while the server asks for it, start it,
// then poll. The server keeps one detection job per recording id, so a new
// call after any failure resumes that job and never submits a second one.

#include "api/APIClient.h"

#include "api/ServerTexts.h"
#include "api/URLError.h"
#include "core/FileSystemError.h"
#include "core/Uuids.h"
#include "store/PendingRecording.h"

#include <QFile>

#include <cerrno>
#include <sys/stat.h>

namespace {

constexpr qint64 kMaximumUploadBytes = 1'000'000'000;
constexpr int kMaximumPolls = 900;
constexpr std::chrono::milliseconds kPollInterval { 2'000 };
constexpr std::chrono::milliseconds kRecordingUploadTimeout { 1'800'000 };

QString diarizationPath(const PendingRecording& job, const QString& suffix = {})
{
    return QStringLiteral("/v1/diarizations/") + Uuids::text(job.id) + suffix;
}

// A POST without a body still says so: without a length some servers wait
// for a body until the connection closes.
void makeEmptyPost(APIRequest& request)
{
    request.method = QByteArrayLiteral("POST");
    request.request.setHeader(QNetworkRequest::ContentLengthHeader, 0);
}

APIClientError failedOrUnconfirmed(const std::optional<QString>& reason = std::nullopt)
{
    const QString why = reason ? QStringLiteral(" The server said: ") + *reason : QString();
    return APIClientError(QStringLiteral("Speaker detection failed or its submission could not be confirmed.")
        + why
        + QStringLiteral(
            " Audio is saved. Use Transcribe without speakers to continue; no duplicate speaker job "
            "will be submitted."));
}

} // namespace

QCoro::Task<std::vector<SpeakerSegment>> APIClient::detectSpeakers(PendingRecording job, Progress progress)
{
    const ServerTexts texts = ServerTexts::of(m_baseURL);
    report(progress,
        QStringLiteral("Preparing speaker detection %1 %2…")
            .arg(texts.speakerServicePreposition, texts.speakerService));
    APIRequest prepare = authorizedRequest(diarizationPath(job, QStringLiteral("/prepare")));
    makeEmptyPost(prepare);
    const auto prepared = co_await sendWithRetry<DiarizationResponse>(prepare);

    if (prepared.status == u"upload") {
        co_await uploadForSpeakerDetection(job, prepared.uploadURL, progress);
        APIRequest start = authorizedRequest(diarizationPath(job, QStringLiteral("/start")));
        makeEmptyPost(start);
        co_await sendWithRetry<DiarizationResponse>(start);
    }

    report(progress, QStringLiteral("Detecting speakers across the whole meeting…"));
    for (int poll = 0;; ++poll) {
        const auto answer
            = co_await sendWithRetry<DiarizationResponse>(authorizedRequest(diarizationPath(job)));
        if (answer.status == u"succeeded") {
            if (!answer.segments) {
                throw APIClientError(QStringLiteral("Missing speaker-detection result."));
            }
            co_return *answer.segments;
        }
        if (answer.status == u"failed" || answer.status == u"unknown") {
            throw failedOrUnconfirmed(answer.error);
        }
        if (answer.status != u"pending" && answer.status != u"starting") {
            throw APIClientError(QStringLiteral("Speaker detection was not started. Retry to resume."));
        }
        co_await wait(kPollInterval);
        if (poll + 1 == kMaximumPolls) {
            throw APIClientError(
                QStringLiteral("Speaker detection is still processing. Retry later to resume the same job."));
        }
    }
}

QCoro::Task<void> APIClient::uploadForSpeakerDetection(
    PendingRecording job, std::optional<QUrl> uploadURL, Progress progress)
{
    if (!uploadURL || uploadURL->scheme() != u"https") {
        throw APIClientError(
            QStringLiteral("The server did not provide a secure speaker-detection upload URL."));
    }
    const QString audio = job.audio();
    struct stat status
    {
    };
    if (::stat(QFile::encodeName(audio).constData(), &status) != 0) {
        throw FileSystemError::fromErrno(QStringLiteral("Reading the size of the recording"), audio, errno);
    }
    if (!S_ISREG(status.st_mode) || status.st_size < 1 || status.st_size > kMaximumUploadBytes) {
        throw APIClientError(
            QStringLiteral("Speaker detection supports recordings up to 1 GB. Use Transcribe "
                           "without speakers for this recording."));
    }

    report(progress,
        QStringLiteral("Uploading recording to %1 for speaker detection…")
            .arg(ServerTexts::of(m_baseURL).speakerService));
    // Not a server request: no Authorization and no header of ours; the
    // storage service only sees the file, streamed from disk.
    APIRequest upload { .request = QNetworkRequest(*uploadURL), .method = QByteArrayLiteral("PUT") };
    upload.request.setTransferTimeout(static_cast<int>(kRecordingUploadTimeout.count()));
    upload.bodyFile = audio;
    HTTPAnswer answer;
    try {
        answer = co_await perform(std::move(upload));
    } catch (const URLError& error) {
        if (error.code() != URLError::Code::badServerResponse) {
            throw;
        }
    }
    if (answer.status < 200 || answer.status > 299) {
        throw APIClientError(QStringLiteral("Speaker audio upload failed. Retry to resume."));
    }
}
