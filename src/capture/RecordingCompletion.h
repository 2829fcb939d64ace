#pragma once

// A one-shot latch between the sound server's thread and coroutines on the
// main thread. resolve() may be called from any thread; the first outcome
// wins and later ones are dropped. Each waiter is resumed on the thread it
// waited from (through that thread's event loop), never while the lock is
// held. Always owned through std::shared_ptr so a timer or a late callback
// can outlive the recording that created it.

#include "core/ThreadMailbox.h"

#include <QCoro/QCoroTask>
#include <QPointer>

#include <chrono>
#include <coroutine>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class RecordingCompletion : public std::enable_shared_from_this<RecordingCompletion>
{
public:
    // A null failure means success.
    using Outcome = std::exception_ptr;

    static std::shared_ptr<RecordingCompletion> create();

    // True when this call set the outcome, false when an earlier one had.
    bool resolve(Outcome failure = nullptr);

    // Returns on success, throws the failure. When nothing resolves the latch
    // within the timeout, every waiter fails with finalizationTimedOut.
    QCoro::Task<> wait(std::chrono::milliseconds timeout);

private:
    struct Waiter
    {
        std::coroutine_handle<> handle;
        QPointer<ThreadMailbox> context;
    };
    class Awaiter;

    RecordingCompletion() = default;
    void armTimer(std::chrono::milliseconds timeout, QObject* context);

    mutable std::mutex m_lock;
    std::optional<Outcome> m_result;
    std::vector<Waiter> m_waiters;
};
