#include "core/FileSystemError.h"

#include <cstring>

FileSystemError::FileSystemError(const QString& sentence, int code)
    : std::runtime_error(sentence.toStdString())
    , m_code(code)
{ }

FileSystemError FileSystemError::fromErrno(const QString& action, const QString& path, int code)
{
    const QString reason = QString::fromLocal8Bit(std::strerror(code));
    return FileSystemError(QStringLiteral("%1 failed for %2: %3.").arg(action, path, reason), code);
}
