#pragma once

#include "Transcriber.h"

#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// The last few recognitions, by account and audio. The app sends each chunk
// twice, to be transcribed and then to have the text aligned to it: the
// second request reuses the recognition that produced the text instead of
// running the engine again.
namespace server {

class RecognitionCache
{
public:
    explicit RecognitionCache(std::size_t capacity);

    static std::string keyFor(const std::string& accountId, std::string_view audio);
    std::optional<Recognition> find(const std::string& key);
    void store(const std::string& key, Recognition recognition);

private:
    std::mutex m_mutex;
    std::size_t m_capacity;
    // Most recently used first.
    std::list<std::pair<std::string, Recognition>> m_entries;
};

} // namespace server
