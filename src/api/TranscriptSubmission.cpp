// Ends the road of one job: the whole pipeline, then one post of the finished
// text under an idempotency key made from the job id, so that a retry after a
// lost answer or a crash can never save the transcript twice.

#include "api/APIClient.h"

#include "core/Uuids.h"
#include "pipeline/TranscriptionRequests.h"
#include "store/PendingRecording.h"

QCoro::Task<Recording> APIClient::finish(PendingRecording job, Progress progress)
{
    PreparedTranscript prepared = co_await prepareTranscript(std::move(job), progress);
    if (progress) {
        progress(QStringLiteral("Saving the complete meeting transcript…"));
    }
    APIRequest request = authorizedRequest(QStringLiteral("/v1/recordings/text"));
    request.method = QByteArrayLiteral("POST");
    request.request.setRawHeader("Content-Type", "application/json");
    request.request.setRawHeader("Idempotency-Key", Uuids::text(prepared.job.id).toUtf8());
    request.body = TranscriptionRequests::submissionBody(
        prepared.transcript, prepared.job.recordedAt, prepared.job.emailTo);
    // Saved before the first post: from here on the job counts as submitted,
    // and any later run posts again under the same key.
    prepared.job.submissionStarted = true;
    prepared.job.save();
    co_return co_await sendWithRetry<Recording>(std::move(request));
}
