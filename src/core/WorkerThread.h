#pragma once

#include <QCoroFuture>
#include <QCoroTask>
#include <QFuture>
#include <QPromise>

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>

// One thread of our own for blocking file, media and sound-server work.
// Work goes in and results come out under std::mutex, so the hand-off is
// ordered by locks a race checker can see (Qt's thread pool orders it with
// locks inside Qt, which it cannot). The awaiting coroutine is woken through
// a QFuture and resumes on its own thread.
class WorkerThread
{
public:
    WorkerThread();
    // Lets the running job finish; jobs not yet started are dropped, since
    // nothing is left to resume once the thread's owner is gone.
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Runs work on this thread; its result, or the exception it threw,
    // comes back to the awaiting coroutine.
    template <typename Work> QCoro::Task<std::invoke_result_t<Work>> run(Work work);

private:
    struct Job
    {
        std::function<void()> work;
        QPromise<void> done;
    };

    template <typename Result> struct Outcome
    {
        std::mutex mutex;
        std::conditional_t<std::is_void_v<Result>, bool, std::optional<Result>> value {};
        std::exception_ptr error;
    };

    QFuture<void> post(std::function<void()> work);
    void loop();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    bool m_stopping = false;
    std::thread m_thread;
};

template <typename Work> QCoro::Task<std::invoke_result_t<Work>> WorkerThread::run(Work work)
{
    using Result = std::invoke_result_t<Work>;
    auto outcome = std::make_shared<Outcome<Result>>();
    QFuture<void> finished = post([outcome, work = std::move(work)]() mutable {
        try {
            if constexpr (std::is_void_v<Result>) {
                work();
                const std::lock_guard lock(outcome->mutex);
                outcome->value = true;
            } else {
                Result value = work();
                const std::lock_guard lock(outcome->mutex);
                outcome->value.emplace(std::move(value));
            }
        } catch (...) {
            const std::lock_guard lock(outcome->mutex);
            outcome->error = std::current_exception();
        }
    });
    co_await finished;
    const std::lock_guard lock(outcome->mutex);
    if (outcome->error) {
        std::rethrow_exception(outcome->error);
    }
    if (!outcome->value) {
        throw std::runtime_error("The work was stopped before it ran, because the app is closing.");
    }
    if constexpr (!std::is_void_v<Result>) {
        co_return std::move(*outcome->value);
    }
}
