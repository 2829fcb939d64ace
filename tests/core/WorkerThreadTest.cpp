#include "core/WorkerThread.h"
#include "core/FileSystemError.h"

#include "support/RunTask.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

QCoro::Task<std::thread::id> resumedOn(QCoro::Task<std::thread::id> task, std::thread::id* resumedThread)
{
    const std::thread::id worker = co_await std::move(task);
    *resumedThread = std::this_thread::get_id();
    co_return worker;
}

// Work runs off the caller's thread, the caller resumes on its own, and
// results, void work and exceptions of their own kind all come back.
TEST(WorkerThreadTest, WorkRunsElsewhereAndItsOutcomeComesBack)
{
    WorkerThread worker;
    std::thread::id resumed;
    const std::thread::id ran
        = TestTasks::run(resumedOn(worker.run([] { return std::this_thread::get_id(); }), &resumed));
    EXPECT_NE(ran, std::this_thread::get_id());
    EXPECT_EQ(resumed, std::this_thread::get_id());

    EXPECT_EQ(*TestTasks::run(worker.run([] { return std::make_unique<int>(7); })), 7);
    std::atomic<int> touched = 0;
    TestTasks::run(worker.run([&touched] { touched = 1; }));
    EXPECT_EQ(touched, 1);

    try {
        TestTasks::run(
            worker.run([]() -> int { throw FileSystemError(QStringLiteral("Disk full."), ENOSPC); }));
        ADD_FAILURE() << "the exception was lost";
    } catch (const FileSystemError& error) {
        EXPECT_EQ(error.code(), ENOSPC);
        EXPECT_STREQ(error.what(), "Disk full.");
    }
    EXPECT_THROW(
        TestTasks::run(worker.run([] { throw std::logic_error("void work failed"); })), std::logic_error);
    // The thread survives a throwing job.
    EXPECT_EQ(TestTasks::run(worker.run([] { return 3; })), 3);
}

TEST(WorkerThreadTest, JobsRunOneAtATimeInTheOrderGiven)
{
    WorkerThread worker;
    std::atomic<int> running = 0;
    std::atomic<int> mostAtOnce = 0;
    std::vector<int> order;
    std::vector<QCoro::Task<std::thread::id>> tasks;
    for (int index = 0; index < 20; ++index) {
        tasks.push_back(worker.run([&, index] {
            mostAtOnce = std::max(mostAtOnce.load(), ++running);
            std::this_thread::sleep_for(1ms);
            order.push_back(index);
            --running;
            return std::this_thread::get_id();
        }));
    }
    std::vector<std::thread::id> threads;
    for (auto& task : tasks) {
        threads.push_back(TestTasks::run(std::move(task)));
    }
    EXPECT_EQ(mostAtOnce, 1);
    for (int index = 0; index < 20; ++index) {
        EXPECT_EQ(order.at(index), index);
        EXPECT_EQ(threads.at(index), threads.front());
    }
}

TEST(WorkerThreadTest, ClosingFinishesTheRunningJobAndFailsTheQueuedOnes)
{
    auto worker = std::make_unique<WorkerThread>();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> started = false;
    auto running = worker->run([released, &started] {
        started = true;
        released.wait();
        return 1;
    });
    auto queued = worker->run([] { return 2; });
    while (!started) {
        std::this_thread::sleep_for(1ms);
    }
    std::thread releaser([&release] {
        std::this_thread::sleep_for(100ms);
        release.set_value();
    });
    worker.reset();
    releaser.join();

    EXPECT_EQ(TestTasks::run(std::move(running)), 1);
    try {
        TestTasks::run(std::move(queued));
        FAIL() << "a dropped job reported a result";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "The work was stopped before it ran, because the app is closing.");
    }
}

} // namespace
