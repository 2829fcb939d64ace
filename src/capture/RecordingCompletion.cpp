#include "capture/RecordingCompletion.h"

#include "capture/RecorderError.h"
#include "core/ThreadMailbox.h"

#include <QTimer>

class RecordingCompletion::Awaiter
{
public:
    Awaiter(std::shared_ptr<RecordingCompletion> latch, std::chrono::milliseconds timeout)
        : m_latch(std::move(latch))
        , m_timeout(timeout)
    { }

    bool await_ready() const { return false; }

    bool await_suspend(std::coroutine_handle<> handle)
    {
        ThreadMailbox* context = ThreadMailbox::current();
        {
            std::scoped_lock lock(m_latch->m_lock);
            if (m_latch->m_result) {
                return false;
            }
            m_latch->m_waiters.push_back(Waiter { handle, context });
        }
        m_latch->armTimer(m_timeout, context);
        return true;
    }

    // Read under the lock: the outcome was stored by whichever thread resolved.
    Outcome await_resume() const
    {
        std::scoped_lock lock(m_latch->m_lock);
        return *m_latch->m_result;
    }

private:
    std::shared_ptr<RecordingCompletion> m_latch;
    std::chrono::milliseconds m_timeout;
};

std::shared_ptr<RecordingCompletion> RecordingCompletion::create()
{
    return std::shared_ptr<RecordingCompletion>(new RecordingCompletion);
}

bool RecordingCompletion::resolve(Outcome failure)
{
    std::vector<Waiter> waiters;
    {
        std::scoped_lock lock(m_lock);
        if (m_result) {
            return false;
        }
        m_result = failure;
        waiters.swap(m_waiters);
    }
    for (const Waiter& waiter : waiters) {
        // Queued even on the waiter's own thread, so a resolve() called from
        // inside a coroutine never re-enters another one.
        if (ThreadMailbox* mailbox = waiter.context.data()) {
            mailbox->post([handle = waiter.handle] { handle.resume(); });
        }
    }
    return true;
}

QCoro::Task<> RecordingCompletion::wait(std::chrono::milliseconds timeout)
{
    const Outcome outcome = co_await Awaiter(shared_from_this(), timeout);
    if (outcome) {
        std::rethrow_exception(outcome);
    }
}

void RecordingCompletion::armTimer(std::chrono::milliseconds timeout, QObject* context)
{
    QTimer::singleShot(timeout, context, [weak = weak_from_this()] {
        if (const auto latch = weak.lock()) {
            latch->resolve(std::make_exception_ptr(RecorderError(RecorderError::Kind::finalizationTimedOut)));
        }
    });
}
