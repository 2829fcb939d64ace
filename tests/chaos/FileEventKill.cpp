#include "FileEventKill.h"

#include <QFile>

#include <array>
#include <csignal>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

FileEventKill::FileEventKill(pid_t process, FileEvent event)
    : m_process(process)
    , m_event(std::move(event))
    , m_inotify(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK))
    , m_wakeUp(::eventfd(0, EFD_CLOEXEC))
{
    if (m_inotify < 0 || m_wakeUp < 0
        || ::inotify_add_watch(m_inotify, QFile::encodeName(m_event.directory).constData(), m_event.mask)
            < 0) {
        throw std::runtime_error("cannot watch " + m_event.directory.toStdString());
    }
    m_thread = std::thread([this] { watch(); });
}

FileEventKill::~FileEventKill()
{
    const std::uint64_t one = 1;
    (void)::write(m_wakeUp, &one, sizeof one);
    m_thread.join();
    ::close(m_inotify);
    ::close(m_wakeUp);
}

void FileEventKill::watch()
{
    std::array<pollfd, 2> sources { pollfd { m_inotify, POLLIN, 0 }, pollfd { m_wakeUp, POLLIN, 0 } };
    alignas(inotify_event) std::array<char, 64 * 1024> buffer {};
    while (::poll(sources.data(), sources.size(), -1) >= 0 && !(sources[1].revents & POLLIN)) {
        const ssize_t length = ::read(m_inotify, buffer.data(), buffer.size());
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & m_event.mask) && event->len > 0
                && QFile::decodeName(event->name).endsWith(m_event.suffix)) {
                ::kill(m_process, SIGKILL);
                m_fired = true;
                return;
            }
        }
    }
}
