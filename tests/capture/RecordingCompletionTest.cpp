#include "capture/RecordingCompletion.h"

#include "capture/RecorderError.h"

#include "support/RunTask.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QCoro/QCoroTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

namespace {

enum class Seen
{
    pending,
    success,
    failure,
    timeout
};

struct Probe
{
    Seen seen = Seen::pending;
    QThread* resumedOn = nullptr;
};

QCoro::Task<> waitInto(
    std::shared_ptr<RecordingCompletion> latch, std::chrono::milliseconds timeout, Probe* probe)
{
    try {
        co_await latch->wait(timeout);
        probe->seen = Seen::success;
    } catch (const RecorderError& error) {
        probe->seen
            = error.kind() == RecorderError::Kind::finalizationTimedOut ? Seen::timeout : Seen::failure;
    } catch (const std::runtime_error&) {
        probe->seen = Seen::failure;
    }
    probe->resumedOn = QThread::currentThread();
}

QCoro::Task<> waitAll(std::vector<QCoro::Task<>> tasks)
{
    for (auto& task : tasks) {
        co_await task;
    }
}

// The first outcome, a failure, a success or a timeout, is final: later
// resolves, and a timer that fires after it, change nothing, and a late
// waiter gets it at once.
TEST(RecordingCompletionTest, TheFirstOutcomeIsFinal)
{
    const auto failed = RecordingCompletion::create();
    Probe early;
    auto waiting = waitInto(failed, 10s, &early);
    EXPECT_TRUE(failed->resolve(std::make_exception_ptr(std::runtime_error("first"))));
    EXPECT_FALSE(failed->resolve());
    TestTasks::run(std::move(waiting));
    EXPECT_EQ(early.seen, Seen::failure);
    try {
        TestTasks::run(failed->wait(10s));
        ADD_FAILURE() << "a failed latch returned";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "first");
    }

    const auto resolved = RecordingCompletion::create();
    Probe probe;
    auto timed = waitInto(resolved, 30ms, &probe);
    resolved->resolve();
    TestTasks::run(std::move(timed));
    TestTasks::run(QCoro::sleepFor(80ms));
    const auto began = std::chrono::steady_clock::now();
    Probe later;
    TestTasks::run(waitInto(resolved, 10s, &later));
    EXPECT_LT(std::chrono::steady_clock::now() - began, 1s);
    EXPECT_EQ(probe.seen, Seen::success);
    EXPECT_EQ(later.seen, Seen::success);

    // A timeout fails every waiter, even those that would wait longer.
    const auto timedOut = RecordingCompletion::create();
    Probe first;
    Probe second;
    std::vector<QCoro::Task<>> tasks;
    tasks.push_back(waitInto(timedOut, 50ms, &first));
    tasks.push_back(waitInto(timedOut, 10s, &second));
    TestTasks::run(waitAll(std::move(tasks)));
    EXPECT_EQ(first.seen, Seen::timeout);
    EXPECT_EQ(second.seen, Seen::timeout);
    EXPECT_FALSE(timedOut->resolve());
}

// Resolved on another thread, racing the timeout: every waiter gets the
// same outcome and resumes on its own thread.
TEST(RecordingCompletionTest, RacingResolveAndTimeoutGiveEveryWaiterTheSameOutcome)
{
    std::mt19937 random(7);
    std::uniform_int_distribution<int> delayUs(0, 6000);
    int wins = 0;
    for (int round = 0; round < 60; ++round) {
        const auto latch = RecordingCompletion::create();
        std::vector<Probe> probes(8);
        std::vector<QCoro::Task<>> tasks;
        for (Probe& probe : probes) {
            tasks.push_back(waitInto(latch, 3ms, &probe));
        }
        const int delay = delayUs(random);
        std::atomic<bool> won { false };
        std::thread resolver([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(delay));
            won = latch->resolve();
        });

        TestTasks::run(waitAll(std::move(tasks)));
        resolver.join();

        wins += won ? 1 : 0;
        const Seen expected = won ? Seen::success : Seen::timeout;
        for (const Probe& probe : probes) {
            ASSERT_EQ(probe.seen, expected) << "round " << round;
            ASSERT_EQ(probe.resumedOn, QCoreApplication::instance()->thread()) << "round " << round;
        }
    }
    EXPECT_GT(wins, 0) << "never resolved from the other thread in time";
}

} // namespace
