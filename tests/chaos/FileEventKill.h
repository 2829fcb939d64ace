#pragma once

// SIGKILLs a process the moment a file event it causes is seen: the steps
// that hand a meeting from one file to another take milliseconds, too short
// for a kill chosen by the clock to land in them often.

#include <QString>

#include <atomic>
#include <cstdint>
#include <sys/types.h>
#include <thread>

struct FileEvent
{
    QString directory;
    // inotify's IN_CREATE, IN_DELETE, IN_MOVED_TO…
    std::uint32_t mask = 0;
    // Matched against the end of the file's name.
    QString suffix;
    // For the report, e.g. "the mix is written".
    QString description;
};

class FileEventKill
{
public:
    // Watches `event.directory` (which must exist) until destroyed.
    FileEventKill(pid_t process, FileEvent event);
    FileEventKill(const FileEventKill&) = delete;
    FileEventKill& operator=(const FileEventKill&) = delete;
    ~FileEventKill();

    bool fired() const { return m_fired; }

private:
    void watch();

    pid_t m_process;
    FileEvent m_event;
    int m_inotify = -1;
    int m_wakeUp = -1;
    std::atomic<bool> m_fired { false };
    std::thread m_thread;
};
