#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QString>

#include <optional>

// Reads the process's output (merged or standard output, as it was started)
// until a whole line starts with prefix; returns the rest of that line, or
// nothing after the timeout or the process's end. Everything read is kept in seen.
inline std::optional<QString> awaitLine(
    QProcess& process, QString& seen, const QString& prefix, int timeoutMs = 120'000)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        process.waitForReadyRead(100);
        seen += QString::fromUtf8(process.readAll());
        for (const QString& line : seen.split('\n')) {
            if (line.startsWith(prefix) && seen.contains(line + '\n')) {
                return line.mid(prefix.size());
            }
        }
        if (process.state() == QProcess::NotRunning) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}
