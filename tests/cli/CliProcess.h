#pragma once

// Runs the real tallisen-cli as the tests' child process, with the test's
// environment (XDG folders, the private D-Bus and sound server). Its stdin,
// stdout and stderr are pipes, so the progress display writes plain lines.

#include <QProcess>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

struct CliRun
{
    int exitCode = -1;
    QString output;
    QString errors;
};

inline CliRun runCli(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral(TALLISEN_CLI_PATH), arguments);
    process.closeWriteChannel();
    EXPECT_TRUE(process.waitForFinished(120'000)) << arguments.join(' ').toStdString();
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    return { process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
        QString::fromUtf8(process.readAllStandardError()) };
}
