#pragma once

#include "api/APIClient.h"
#include "support/FakeServer.h"
#include "support/RunTask.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

// Opens the client's request frame to the tests.
class FrameClient : public APIClient
{
public:
    using APIClient::APIClient;
    using APIClient::authorizedRequest;
    using APIClient::isRetryable;
    using APIClient::send;
    using APIClient::sendWithRetry;
};

// Replaces the client's waits with a log of what it asked for, so retry and
// polling tests need not sleep.
class RecordedWaits
{
public:
    explicit RecordedWaits(APIClient& client)
        : m_log(std::make_shared<std::vector<std::chrono::milliseconds>>())
    {
        client.setWaitForTesting(
            [log = m_log](std::chrono::milliseconds duration) { return record(log, duration); });
    }

    const std::vector<std::chrono::milliseconds>& durations() const { return *m_log; }

private:
    static QCoro::Task<void> record(
        std::shared_ptr<std::vector<std::chrono::milliseconds>> log, std::chrono::milliseconds duration)
    {
        log->push_back(duration);
        co_return;
    }

    std::shared_ptr<std::vector<std::chrono::milliseconds>> m_log;
};

// A signed-in client of a fresh fake server that never really waits.
class FakeServerClient : public ::testing::Test
{
protected:
    FakeServer server;
    APIClient client { server.baseURL(), QStringLiteral("tok") };
    RecordedWaits waits { client };
};

inline std::vector<std::chrono::milliseconds> milliseconds(std::initializer_list<int> values)
{
    std::vector<std::chrono::milliseconds> result;
    for (int value : values) {
        result.emplace_back(value);
    }
    return result;
}

// Runs the task and returns the exception it must throw.
template <typename Error, typename T> Error expectThrows(QCoro::Task<T> task)
{
    try {
        TestTasks::run(std::move(task));
    } catch (const Error& error) {
        return error;
    } catch (const std::exception& other) {
        ADD_FAILURE() << "threw another error: " << other.what();
        throw;
    }
    ADD_FAILURE() << "did not throw";
    throw std::logic_error("expected an exception");
}
