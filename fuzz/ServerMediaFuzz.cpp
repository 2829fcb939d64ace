// Feeds arbitrary bytes, as an upload, to the server's audio decoder. It must
// either refuse with an HttpError, or return at most the length it was allowed;
// a stored file with the same bytes must decode to the very same samples.
#include "AudioDecoder.h"
#include "HttpError.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr double kMaximumSeconds = 5.0;

void require(bool condition)
{
    if (!condition)
        std::abort();
}

std::optional<std::vector<std::int16_t>> fromBytes(std::string_view bytes)
{
    try {
        return server::AudioDecoder::decodeBytes(bytes, kMaximumSeconds).samples;
    } catch (const server::HttpError& error) {
        require(error.status() == 400 || error.status() == 422);
        return std::nullopt;
    }
}

std::optional<std::vector<std::int16_t>> fromFile(std::string_view bytes)
{
    char path[] = "/tmp/fuzz-server-media-XXXXXX";
    const int fd = ::mkstemp(path);
    require(fd >= 0);
    require(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    ::close(fd);
    std::vector<std::int16_t> samples;
    std::optional<std::vector<std::int16_t>> result;
    try {
        server::AudioDecoder::decodeFileInBlocks(
            path, kMaximumSeconds, [&](const std::int16_t* block, std::size_t count) {
                samples.insert(samples.end(), block, block + count);
            });
        result = std::move(samples);
    } catch (const server::HttpError& error) {
        require(error.status() == 422);
    }
    std::remove(path);
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto decoded = fromBytes(bytes);
    if (decoded)
        require(
            decoded->size() <= static_cast<std::size_t>(kMaximumSeconds * server::AudioDecoder::kSampleRate));
    if (size > 0)
        require(fromFile(bytes) == decoded);
    return 0;
}
