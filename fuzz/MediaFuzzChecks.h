#pragma once

// Checks shared by the fuzz targets that feed files to the media code: a
// broken promise aborts, which libFuzzer reports with the input.

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

#include <cstdlib>

namespace MediaFuzzChecks {

inline void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// Everything in the folder, hidden files included, sorted.
inline QStringList entries(const QString& folder)
{
    QStringList names
        = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

inline bool ownerOnly(const QString& path)
{
    struct stat status
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 && (status.st_mode & 0777) == 0600;
}

} // namespace MediaFuzzChecks
