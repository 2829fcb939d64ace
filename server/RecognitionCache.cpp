#include "RecognitionCache.h"

#include "Secrets.h"

namespace server {

RecognitionCache::RecognitionCache(std::size_t capacity)
    : m_capacity(capacity)
{ }

std::string RecognitionCache::keyFor(const std::string& accountId, std::string_view audio)
{
    return accountId + ":" + Secrets::sha256Hex(audio);
}

std::optional<Recognition> RecognitionCache::find(const std::string& key)
{
    const std::lock_guard lock(m_mutex);
    for (auto entry = m_entries.begin(); entry != m_entries.end(); ++entry) {
        if (entry->first != key) {
            continue;
        }
        m_entries.splice(m_entries.begin(), m_entries, entry);
        return m_entries.front().second;
    }
    return std::nullopt;
}

void RecognitionCache::store(const std::string& key, Recognition recognition)
{
    const std::lock_guard lock(m_mutex);
    std::erase_if(m_entries, [&](const auto& entry) { return entry.first == key; });
    m_entries.emplace_front(key, std::move(recognition));
    if (m_entries.size() > m_capacity) {
        m_entries.pop_back();
    }
}

} // namespace server
