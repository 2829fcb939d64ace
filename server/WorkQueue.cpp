#include "WorkQueue.h"

#include <exception>
#include <iostream>

namespace server {

WorkQueue::WorkQueue()
    : m_thread([this] { run(); })
{ }

WorkQueue::~WorkQueue()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void WorkQueue::post(std::function<void()> job)
{
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
}

void WorkQueue::run()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_stopping) {
                return;
            }
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        try {
            job();
        } catch (const std::exception& error) {
            // Jobs record their own failures; this only keeps the thread alive.
            std::cerr << "tallisen-server: background job failed: " << error.what() << '\n';
        }
    }
}

} // namespace server
