#include "SignInThrottle.h"

#include <algorithm>

namespace server {

namespace {

std::string accountKey(const std::string& account)
{
    return "account " + account;
}

std::string addressKey(const std::string& address)
{
    return "address " + address;
}

} // namespace

std::chrono::seconds SignInThrottle::wait(
    const std::string& account, const std::string& address, Clock::time_point now)
{
    std::lock_guard lock(m_mutex);
    return std::max(waitFor(accountKey(account), kAccountFailures, now),
        waitFor(addressKey(address), kAddressFailures, now));
}

void SignInThrottle::recordFailure(
    const std::string& account, const std::string& address, Clock::time_point now)
{
    std::lock_guard lock(m_mutex);
    if (m_failures.size() >= kMaximumKeys) {
        forgetOld(now);
    }
    for (const std::string& key : { accountKey(account), addressKey(address) }) {
        auto& times = m_failures[key];
        times.push_back(now);
        // Only the newest `limit` failures decide; older ones need not be kept.
        if (times.size() > static_cast<std::size_t>(kAddressFailures)) {
            times.pop_front();
        }
    }
}

std::chrono::seconds SignInThrottle::waitFor(const std::string& key, int limit, Clock::time_point now)
{
    const auto found = m_failures.find(key);
    if (found == m_failures.end()) {
        return std::chrono::seconds::zero();
    }
    auto& times = found->second;
    while (!times.empty() && now - times.front() >= kWindow) {
        times.pop_front();
    }
    if (times.size() < static_cast<std::size_t>(limit)) {
        return std::chrono::seconds::zero();
    }
    // Free again when the oldest of the last `limit` failures leaves the window.
    const auto until = times[times.size() - static_cast<std::size_t>(limit)] + kWindow;
    return std::chrono::ceil<std::chrono::seconds>(until - now);
}

void SignInThrottle::forgetOld(Clock::time_point now)
{
    std::erase_if(m_failures,
        [&](const auto& entry) { return entry.second.empty() || now - entry.second.back() >= kWindow; });
    // Under a flood of fresh addresses, forget the addresses first: the accounts are what is guarded.
    if (m_failures.size() >= kMaximumKeys) {
        std::erase_if(m_failures, [](const auto& entry) { return entry.first.starts_with("address "); });
    }
    if (m_failures.size() >= kMaximumKeys) {
        m_failures.clear();
    }
}

} // namespace server
