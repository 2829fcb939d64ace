// Feeds arbitrary bytes to every server answer decoder: each must either
// decode or throw DecodingError, never crash or throw anything else.
#include "api/WireRecords.h"
#include "core/DecodingError.h"
#include "core/JsonFields.h"

#include <cstdint>
#include <cstdlib>

namespace {

template <typename Record> void decode(const QJsonObject& object)
{
    try {
        Record::fromJson(object);
    } catch (const DecodingError&) { }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QJsonObject object;
    try {
        object = JsonFields::parseObject(bytes);
    } catch (const DecodingError&) {
        return 0;
    }
    decode<Recording>(object);
    decode<RecordingList>(object);
    decode<CurrentUser>(object);
    decode<DeleteResponse>(object);
    decode<SignInStart>(object);
    decode<TokenResponse>(object);
    decode<TranscriptionResponse>(object);
    decode<AlignmentResponse>(object);
    decode<DiarizationResponse>(object);
    decode<APIError>(object);
    return 0;
}
