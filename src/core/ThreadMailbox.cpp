#include "core/ThreadMailbox.h"

ThreadMailbox::ThreadMailbox(QObject* parent)
    : QObject(parent)
{ }

void ThreadMailbox::post(std::function<void()> function)
{
    bool wasEmpty = false;
    {
        const std::lock_guard lock(m_mutex);
        wasEmpty = m_posted.empty();
        m_posted.push_back(std::move(function));
    }
    // One wake-up per batch; by name, so Qt allocates the event itself.
    if (wasEmpty) {
        QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
    }
}

ThreadMailbox* ThreadMailbox::current()
{
    thread_local ThreadMailbox mailbox;
    return &mailbox;
}

void ThreadMailbox::deliver()
{
    std::vector<std::function<void()>> posted;
    {
        const std::lock_guard lock(m_mutex);
        posted.swap(m_posted);
    }
    for (std::function<void()>& function : posted) {
        function();
        function = nullptr;
    }
}
