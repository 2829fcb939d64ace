#pragma once

// One recording at a time per user session, across every Tallisen process
// (the window, tallisen-cli): an advisory lock on a file in the runtime
// folder. The kernel releases it when its holder ends, however it ends, so
// a crash never leaves it held. The file names the holder for the message.

#include <memory>

class RecordingLock
{
public:
    RecordingLock(const RecordingLock&) = delete;
    RecordingLock& operator=(const RecordingLock&) = delete;
    ~RecordingLock();

    // Throws APIClientError naming the program that records, or
    // FileSystemError when the lock file cannot be opened.
    static std::unique_ptr<RecordingLock> acquire();
    // Absent while another process (or another model) records.
    static std::unique_ptr<RecordingLock> tryAcquire();

private:
    explicit RecordingLock(int fd);

    int m_fd;
};
