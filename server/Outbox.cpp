#include "Outbox.h"

#include "Secrets.h"
#include "Store.h"
#include "WireFormat.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <stdexcept>
#include <sys/stat.h>

namespace server::Outbox {

namespace {

constexpr std::size_t kHeaderTextBytes = 200;

// Header values come from stored input. Any control character, C0 or C1, and the
// Unicode line and paragraph separators could forge or hide header lines.
std::string headerText(const std::string& value)
{
    std::string result;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const auto byte = static_cast<unsigned char>(value[i]);
        const auto next = i + 1 < value.size() ? static_cast<unsigned char>(value[i + 1]) : 0;
        const auto third = i + 2 < value.size() ? static_cast<unsigned char>(value[i + 2]) : 0;
        if (byte < 0x20 || byte == 0x7F) {
            result += ' ';
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            result += ' ';
            ++i;
        } else if (byte == 0xE2 && next == 0x80 && (third == 0xA8 || third == 0xA9)) {
            result += ' ';
            i += 2;
        } else {
            result += static_cast<char>(byte);
        }
    }
    // Cut at a character boundary.
    if (result.size() > kHeaderTextBytes) {
        std::size_t end = kHeaderTextBytes;
        while (end > 0 && (static_cast<unsigned char>(result[end]) & 0xC0) == 0x80) {
            --end;
        }
        result.resize(end);
    }
    return result;
}

// Plain ASCII as it is; anything else as an RFC 2047 encoded word.
std::string encodedHeader(const std::string& value)
{
    const std::string text = headerText(value);
    const bool ascii
        = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return ascii ? text : "=?utf-8?B?" + Secrets::base64(text) + "?=";
}

// Quoted-printable keeps every line short and every byte intact, and writes a
// line's leading "." as "=2E", so no transfer agent can read it as the end.
void writeQuotedPrintable(std::ostream& out, const std::string& text)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::size_t column = 0;
    const auto put = [&](const std::string& piece) {
        if (column + piece.size() > 75) {
            out << "=\r\n";
            column = 0;
        }
        out << piece;
        column += piece.size();
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\r') {
            continue;
        }
        if (byte == '\n') {
            out << "\r\n";
            column = 0;
            continue;
        }
        const bool lineEnd = i + 1 == text.size() || text[i + 1] == '\n' || text[i + 1] == '\r';
        const bool plain = (byte >= 0x21 && byte <= 0x7E && byte != '=' && !(byte == '.' && column == 0))
            || ((byte == ' ' || byte == '\t') && !lineEnd);
        put(plain ? std::string(1, static_cast<char>(byte))
                  : std::string { '=', kDigits[byte >> 4], kDigits[byte & 0xF] });
    }
}

std::string rfc2822Date(std::int64_t unixMs)
{
    const std::time_t seconds = static_cast<std::time_t>(unixMs / 1000);
    std::tm utc {};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &utc);
    return text;
}

} // namespace

std::string deliver(const std::string& outboxDir, const Recording& recording)
{
    namespace fs = std::filesystem;
    fs::create_directories(outboxDir);
    fs::permissions(outboxDir, fs::perms::owner_all, fs::perm_options::replace);
    const std::string path = outboxDir + "/" + recording.id + ".eml";
    const std::string partial = path + ".part";
    {
        std::ofstream file(partial, std::ios::binary | std::ios::trunc);
        ::chmod(partial.c_str(), 0600);
        file << "From: Tallisen <tallisen@localhost>\r\n"
             << "To: " << headerText(recording.emailTo) << "\r\n"
             << "Subject: " << encodedHeader("Transcript: " + recording.title) << "\r\n"
             << "Date: " << rfc2822Date(WireFormat::nowMs()) << "\r\n"
             << "Message-ID: <" << recording.id << "@tallisen.localhost>\r\n"
             << "MIME-Version: 1.0\r\n"
             << "Content-Type: text/plain; charset=utf-8\r\n"
             << "Content-Transfer-Encoding: quoted-printable\r\n\r\n";
        writeQuotedPrintable(file,
            "Recorded at " + WireFormat::formatDate(recording.recordedAtMs) + "\n\n" + recording.transcript
                + "\n");
        if (!file.flush()) {
            throw std::runtime_error("The e-mail could not be written to the outbox.");
        }
    }
    fs::rename(partial, path);
    return path;
}

} // namespace server::Outbox
