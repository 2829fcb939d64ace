// Feeds arbitrary bytes to the job-file decoder. Whatever decodes must encode
// and decode again to the same job, so nothing read is silently rewritten.
#include "core/DecodingError.h"
#include "store/PendingRecording.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    try {
        const PendingRecording job = PendingRecording::decode(bytes);
        const PendingRecording again = PendingRecording::decode(job.encode());
        if (!(again == job)) {
            std::abort();
        }
    } catch (const DecodingError&) { }
    return 0;
}
