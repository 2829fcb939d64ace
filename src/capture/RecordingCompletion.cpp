#include "capture/RecordingCompletion.h"

#include "capture/RecorderError.h"

#include <QThread>
#include <QTimer>

namespace {

// A QObject living on the calling thread, to which resumptions and timers of
// waiters on that thread are posted.
QObject* threadContext()
{
    thread_local QObject context;
    return &context;
}

} // namespace

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
        QObject* context = threadContext();
        {
            std::scoped_lock lock(m_latch->m_lock);
            if (m_latch->m_result) {
                m_outcome = *m_latch->m_result;
                return false;
            }
            m_latch->m_waiters.push_back(Waiter { handle, context, &m_outcome });
        }
        m_latch->armTimer(m_timeout, context);
        return true;
    }

    Outcome await_resume() const { return m_outcome; }

private:
    std::shared_ptr<RecordingCompletion> m_latch;
    std::chrono::milliseconds m_timeout;
    Outcome m_outcome;
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
        *waiter.slot = failure;
        // Queued even on the waiter's own thread, so a resolve() called from
        // inside a coroutine never re-enters another one.
        QMetaObject::invokeMethod(
            waiter.context.data(), [handle = waiter.handle] { handle.resume(); }, Qt::QueuedConnection);
    }
    return true;
}

bool RecordingCompletion::isResolved() const
{
    std::scoped_lock lock(m_lock);
    return m_result.has_value();
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
