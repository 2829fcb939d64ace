// The sound server restarted in the middle of a meeting, under the real
// program: the recording ends there with a warning that says so, and what was
// recorded before is transcribed and saved once.

#include "ChaosWorld.h"
#include "SoundServer.h"

#include <QThread>

#include <gtest/gtest.h>

namespace {

TEST(SoundServerRestart, MeetingUpToTheRestartIsSavedWithAWarning)
{
    ChaosWorld world;
    SoundServer::Private sound;
    const QByteArray shared = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", sound.address().toUtf8());

    const CliResult road = world.recordMeeting(10, false, { .action = [&sound] {
        QThread::msleep(3500);
        sound.restart();
    } });
    qputenv("PULSE_SERVER", shared);

    EXPECT_EQ(road.exitCode, 0) << road.errors.toStdString();
    EXPECT_TRUE(road.errors.contains(QStringLiteral("Capture was interrupted"))) << road.errors.toStdString();
    EXPECT_TRUE(PendingRecording::loadAll().empty());
    EXPECT_EQ(world.savedTranscripts(), 1);
}

} // namespace
