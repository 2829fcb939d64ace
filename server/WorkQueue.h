#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace server {

// One background thread running jobs in order; the destructor finishes the job in
// hand and drops the rest (they are picked up again from the database on start).
class WorkQueue
{
public:
    WorkQueue();
    ~WorkQueue();

    void post(std::function<void()> job);

private:
    void run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace server
