#pragma once

#include <QString>

#include <stdexcept>

// A failed file-system call, with the errno it failed with so callers can tell
// a full disk from a missing folder.
class FileSystemError : public std::runtime_error
{
public:
    FileSystemError(const QString& sentence, int code);

    // Builds "<action> failed for <path>: <strerror>." from the current errno.
    static FileSystemError fromErrno(const QString& action, const QString& path, int code);

    int code() const { return m_code; }

private:
    int m_code;
};
