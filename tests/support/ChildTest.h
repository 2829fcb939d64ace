#pragma once

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <string>

// Runs the one test `filter` names in a child of this test program, with
// `variables` added to the environment (for what the parent's process cannot
// lose, such as its session bus), and expects it to pass.
inline void expectPassesInAChild(const QString& filter, const QProcessEnvironment& variables)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& name : variables.keys()) {
        environment.insert(name, variables.value(name));
    }
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), { "--gtest_filter=" + filter });
    ASSERT_TRUE(child.waitForFinished(120'000));
    const std::string output = child.readAll().toStdString();
    EXPECT_EQ(child.exitCode(), 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}
