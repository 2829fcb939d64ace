#pragma once

#include <csignal>
#include <sys/resource.h>

// Caps the size of files this process writes, the way a full disk would stop
// a write part way; the write fails with EFBIG instead of the signal.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        m_handler = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit { bytes, m_saved.rlim_max };
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_handler);
    }

private:
    rlimit m_saved {};
    void (*m_handler)(int) = nullptr;
};
