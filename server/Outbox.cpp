#include "Outbox.h"

#include "Store.h"
#include "WireFormat.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>

namespace server::Outbox {

namespace {

// Header values come from stored input; line breaks would forge headers.
std::string headerSafe(const std::string& value)
{
    std::string result;
    for (char c : value)
        result += (c == '\r' || c == '\n') ? ' ' : c;
    return result;
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
             << "To: " << headerSafe(recording.emailTo) << "\r\n"
             << "Subject: Transcript: " << headerSafe(recording.title) << "\r\n"
             << "Date: " << rfc2822Date(WireFormat::nowMs()) << "\r\n"
             << "Message-ID: <" << recording.id << "@tallisen.localhost>\r\n"
             << "MIME-Version: 1.0\r\n"
             << "Content-Type: text/plain; charset=utf-8\r\n"
             << "Content-Transfer-Encoding: 8bit\r\n\r\n"
             << "Recorded at " << WireFormat::formatDate(recording.recordedAtMs) << "\r\n\r\n";
        for (char c : recording.transcript) {
            if (c == '\n')
                file << "\r\n";
            else if (c != '\r')
                file << c;
        }
        file << "\r\n";
        if (!file.flush())
            throw std::runtime_error("The e-mail could not be written to the outbox.");
    }
    fs::rename(partial, path);
    return path;
}

} // namespace server::Outbox
