#include "ui/SingleInstance.h"

#include "support/TemporaryXdg.h"
#include "ui/TallisenApp.h"

#include <QFileInfo>
#include <QMainWindow>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>

#include <gtest/gtest.h>

namespace {

// Launches the real application the way a second click on its icon does.
int launchAgain()
{
    QProcess second;
    second.start(QStringLiteral(TALLISEN_APP_PATH), {});
    EXPECT_TRUE(second.waitForFinished(60'000)) << "a second launch kept running";
    EXPECT_EQ(second.readAllStandardError(), QByteArray());
    return second.exitCode();
}

} // namespace

TEST(SingleInstanceTest, ASecondLaunchRaisesTheFirstWindowAndEnds)
{
    TemporaryXdg xdg;
    SingleInstance instance;
    ASSERT_TRUE(instance.isPrimary()) << instance.failure().toStdString();
    TallisenApp app;
    QObject::connect(&instance, &SingleInstance::activationRequested, &app, &TallisenApp::raise);
    app.show();
    app.window().hide();
    QSignalSpy asked(&instance, &SingleInstance::activationRequested);

    EXPECT_EQ(launchAgain(), 0);
    ASSERT_TRUE(asked.wait(10'000));
    EXPECT_TRUE(app.window().isVisible());
}

TEST(SingleInstanceTest, TheSocketIsTheOwnersAloneAndALaterInstanceIsNotPrimary)
{
    SingleInstance first(QStringLiteral("tallisen-test-instance"));
    ASSERT_TRUE(first.isPrimary());
    const QFileInfo socket(
        QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + "/tallisen-test-instance");
    ASSERT_TRUE(socket.exists());
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup
        | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    EXPECT_EQ(socket.permissions() & others, QFile::Permissions());

    QSignalSpy asked(&first, &SingleInstance::activationRequested);
    const SingleInstance second(QStringLiteral("tallisen-test-instance"));
    EXPECT_FALSE(second.isPrimary());
    EXPECT_TRUE(second.failure().isEmpty()) << second.failure().toStdString();
    EXPECT_TRUE(asked.wait(10'000));
}
