// The prompt header, from both ends. The first byte picks the direction:
// - text the app sends: whatever UTF-8 the previous chunk held, the header the
//   app builds must be a plain header value, and the server must decode it
//   back to exactly the tail of that text;
// - bytes anyone sends: the server's decoder must not crash, and any text it
//   accepts must be UTF-8 that the rest of the server (JSON answers, the
//   transcriber) can carry.
#include "pipeline/TranscriptionRequests.h"

#include "WireFormat.h"

#include <QTextBoundaryFinder>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// Anything but a visible character would be cut, folded or refused on the way
// through an HTTP header; bytes of non-ASCII letters go through untouched.
bool plainHeaderValue(const QByteArray& value)
{
    for (const char byte : value) {
        const auto code = static_cast<unsigned char>(byte);
        if (code <= 0x20 || code == 0x7F) {
            return false;
        }
    }
    return true;
}

// The JSON writer the server answers with refuses every byte sequence that is
// not strict UTF-8, so it serves as an independent judge.
bool carriedByJson(const std::string& text)
{
    try {
        const std::string dumped = nlohmann::json(text).dump();
        return nlohmann::json::parse(dumped).get<std::string>() == text;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

void sentByTheApp(std::string_view bytes)
{
    const QString text = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    const auto header = TranscriptionRequests::promptHeader(text);
    require(header.has_value()); // decoded UTF-8 never holds a lone surrogate
    require(plainHeaderValue(*header));

    const auto decoded = server::WireFormat::percentDecode(header->toStdString());
    require(decoded.has_value());
    require(server::WireFormat::isValidUtf8(*decoded));

    const QByteArray whole = text.toUtf8();
    const auto tail = QByteArray::fromStdString(*decoded);
    require(whole.endsWith(tail));
    require(tail.isEmpty() == text.isEmpty());
    if (text.size() <= TranscriptionRequests::kPromptCharacters) {
        require(tail == whole);
        return;
    }
    // A cut between a letter and its marks would change the text the
    // transcriber is primed with.
    const qsizetype start = text.size() - QString::fromUtf8(tail).size();
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.setPosition(start);
    require(finder.isAtBoundary());
}

void sentByAnyone(std::string_view bytes)
{
    const auto decoded = server::WireFormat::percentDecode(bytes);
    if (!decoded || !server::WireFormat::isValidUtf8(*decoded)) {
        return;
    }
    require(carriedByJson(*decoded));
    const QByteArray asBytes = QByteArray::fromStdString(*decoded);
    require(QString::fromUtf8(asBytes).toUtf8() == asBytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1) {
        sentByTheApp(rest);
    } else {
        sentByAnyone(rest);
    }
    return 0;
}
