#include "ui/Autostart.h"

#include "core/FileSystemError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <cerrno>

namespace {

const QByteArray kEntry = "[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Tallisen\n"
                          "Comment=Records meetings when another app starts using the microphone\n"
                          "Exec=tallisen --background\n"
                          "Icon=tallisen\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n";

FileSystemError failure(const QString& path, const QString& reason)
{
    return FileSystemError(
        QStringLiteral("Tallisen could not change its login entry %1: %2.").arg(path, reason), EIO);
}

} // namespace

namespace Autostart {

QString entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/autostart/tallisen.desktop");
}

bool isEnabled()
{
    return QFileInfo::exists(entryPath());
}

void setEnabled(bool enabled)
{
    const QString path = entryPath();
    if (!enabled) {
        if (QFileInfo::exists(path) && !QFile::remove(path)) {
            throw failure(path, QStringLiteral("it could not be removed"));
        }
        return;
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        throw failure(path, QStringLiteral("its folder could not be made"));
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner)
        || file.write(kEntry) != kEntry.size() || !file.commit()) {
        throw failure(path, file.errorString());
    }
}

} // namespace Autostart
