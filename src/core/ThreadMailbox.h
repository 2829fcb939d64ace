#pragma once

#include <QObject>

#include <functional>
#include <mutex>
#include <vector>

// Runs functions posted from any thread on the thread the mailbox lives in,
// in the order they were posted. The functions cross over under std::mutex,
// so a race checker sees the hand-over that Qt's event queue hides from it;
// only a wake-up without data goes through Qt. A mailbox destroyed before it
// delivers drops what it holds.
class ThreadMailbox : public QObject
{
    Q_OBJECT

public:
    explicit ThreadMailbox(QObject* parent = nullptr);

    // Thread-safe.
    void post(std::function<void()> function);

    // The calling thread's own mailbox, living as long as the thread.
    static ThreadMailbox* current();

private:
    Q_INVOKABLE void deliver();

    std::mutex m_mutex;
    std::vector<std::function<void()>> m_posted;
};
