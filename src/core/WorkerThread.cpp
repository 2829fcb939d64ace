#include "core/WorkerThread.h"

WorkerThread::WorkerThread()
    : m_thread([this] { loop(); })
{ }

WorkerThread::~WorkerThread()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

QFuture<void> WorkerThread::post(std::function<void()> work)
{
    QPromise<void> done;
    QFuture<void> finished = done.future();
    done.start();
    {
        const std::lock_guard lock(m_mutex);
        m_jobs.push_back(Job { std::move(work), std::move(done) });
    }
    m_wake.notify_one();
    return finished;
}

void WorkerThread::loop()
{
    for (;;) {
        std::unique_lock lock(m_mutex);
        m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_stopping) {
            m_jobs.clear();
            return;
        }
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        job.work();
        job.work = nullptr;
        job.done.finish();
    }
}
