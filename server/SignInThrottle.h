#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

// Counts failed sign-ins per account and per client address, so that passwords
// cannot be guessed at the speed of the network. Held in memory: a restart
// forgets, which costs an attacker a restart of someone else's server.
namespace server {

class SignInThrottle
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int kAccountFailures = 5;
    static constexpr int kAddressFailures = 20;
    static constexpr std::chrono::minutes kWindow { 15 };

    // How long the caller must wait before another attempt; zero when it may try now.
    std::chrono::seconds wait(const std::string& account, const std::string& address, Clock::time_point now);
    void recordFailure(const std::string& account, const std::string& address, Clock::time_point now);

private:
    std::chrono::seconds waitFor(const std::string& key, int limit, Clock::time_point now);
    void forgetOld(Clock::time_point now);

    static constexpr std::size_t kMaximumKeys = 100'000;

    std::mutex m_mutex;
    std::unordered_map<std::string, std::deque<Clock::time_point>> m_failures;
};

} // namespace server
