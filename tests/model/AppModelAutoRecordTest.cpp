#include "SessionFixture.h"

#include "capture/MicrophoneActivityMonitor.h"

#include <QSignalSpy>

using namespace SessionTesting;
using namespace std::chrono_literals;

namespace {

// Waits until the sound server lists exactly the given processes (in any
// order) among the microphone's clients.
std::vector<MicrophoneClient> clientsOnceListed(const QSet<qint32>& expected)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QList<MicrophoneClient> clients = MicrophoneActivityMonitor::activeExternalClients();
        QSet<qint32> ids;
        for (const MicrophoneClient& client : clients) {
            ids.insert(client.processID);
        }
        if (ids == expected) {
            return { clients.begin(), clients.end() };
        }
        QTest::qWait(50);
    }
    ADD_FAILURE() << "the sound server never listed the expected clients";
    return {};
}

// Moves a parec's stream to another source; a monitor source is no microphone.
void moveStream(qint32 processID, const QString& source)
{
    QProcess pactl;
    pactl.start("pactl", { "list", "source-outputs" });
    pactl.waitForFinished(5000);
    const QString listing = QString::fromUtf8(pactl.readAllStandardOutput());
    QString index;
    for (const QString& block : listing.split("Source Output #")) {
        if (block.contains(QStringLiteral("application.process.id = \"%1\"").arg(processID))) {
            index = block.section('\n', 0, 0).trimmed();
        }
    }
    ASSERT_FALSE(index.isEmpty());
    QProcess move;
    move.start("pactl", { "move-source-output", index, source });
    move.waitForFinished(5000);
    ASSERT_EQ(move.exitCode(), 0) << move.readAllStandardError().toStdString();
}

} // namespace

class AppModelAutoRecordTest : public SessionTest
{
protected:
    // One check of the monitor, as the monitor task runs it.
    static void check(SessionModel& model)
    {
        const QList<MicrophoneClient> clients = MicrophoneActivityMonitor::activeExternalClients();
        run(model.handleMicrophoneActivity({ clients.begin(), clients.end() }));
    }
};

TEST_F(AppModelAutoRecordTest, ClientStartsARecordingThatStopsTwoIdleChecksInARowAfterItLeaves)
{
    SessionModel model;
    QSignalSpy started(&model, &AppModel::automaticRecordingStarted);
    QSignalSpy stopped(&model, &AppModel::automaticRecordingStopped);
    Parec meeting("Meeting Client");
    run(model.handleMicrophoneActivity(clientsOnceListed({ meeting.processID() })));
    ASSERT_TRUE(model.isRecording()) << model.errorMessage().value_or("").toStdString();
    EXPECT_TRUE(model.isAutoRecording());
    EXPECT_EQ(model.status(), "Auto-recording Meeting Client");
    EXPECT_EQ(model.autoTriggerProcessIDs(), QSet<qint32> { meeting.processID() });
    ASSERT_EQ(started.count(), 1);
    EXPECT_EQ(started.front().front().toString(), "Meeting Client");

    // The trigger back in between starts the idle count again.
    QTest::qWait(500);
    moveStream(meeting.processID(), "speaker.monitor");
    clientsOnceListed({});
    check(model);
    EXPECT_EQ(model.autoInactiveTicks(), 1);
    moveStream(meeting.processID(), "fakemic");
    clientsOnceListed({ meeting.processID() });
    check(model);
    EXPECT_EQ(model.autoInactiveTicks(), 0);

    meeting.stop();
    clientsOnceListed({});
    check(model);
    EXPECT_TRUE(model.isRecording());
    EXPECT_EQ(model.autoInactiveTicks(), 1);
    EXPECT_EQ(stopped.count(), 0);
    check(model);
    EXPECT_FALSE(model.isRecording());
    EXPECT_FALSE(model.isAutoRecording());
    EXPECT_TRUE(model.autoTriggerProcessIDs().isEmpty());
    EXPECT_EQ(stopped.count(), 1);
    EXPECT_EQ(model.status(), "Transcript saved; AI is naming and categorizing it…")
        << model.errorMessage().value_or("").toStdString();
    EXPECT_EQ(server.savedTranscripts().size(), 1U);
}

TEST_F(AppModelAutoRecordTest, TwoClientsAtOnceNameTheFirstAnotherHoldsNothingAndAManualStartTakesOver)
{
    SessionModel model;
    Parec alpha("Alpha Call");
    Parec beta("Beta Call");
    run(model.handleMicrophoneActivity(clientsOnceListed({ alpha.processID(), beta.processID() })));
    ASSERT_TRUE(model.isRecording());
    EXPECT_EQ(model.status(), "Auto-recording Alpha Call");
    EXPECT_EQ(model.autoTriggerProcessIDs(), (QSet<qint32> { alpha.processID(), beta.processID() }));

    // Only the triggering processes hold the recording open.
    alpha.stop();
    beta.stop();
    Parec other("Other App");
    clientsOnceListed({ other.processID() });
    check(model);
    EXPECT_EQ(model.autoInactiveTicks(), 1);
    EXPECT_TRUE(model.isRecording());
    check(model);
    EXPECT_FALSE(model.isRecording());

    // A manual start ends an automatic recording, and the monitor never stops it.
    const auto clients = clientsOnceListed({ other.processID() });
    run(model.handleMicrophoneActivity(clients));
    ASSERT_TRUE(model.isAutoRecording());
    run(model.startRecording({}));
    EXPECT_TRUE(model.autoTriggerProcessIDs().isEmpty());
    const std::vector<MicrophoneClient> none;
    for (const auto* seen : { &clients, &clients, &none, &none, &none }) {
        run(model.handleMicrophoneActivity(*seen));
    }
    EXPECT_TRUE(model.isRecording());
    EXPECT_FALSE(model.isAutoRecording());
    EXPECT_EQ(model.status(), "Recording microphone + system audio");
    run(model.stopAndTranscribe());
}

TEST_F(AppModelAutoRecordTest, NothingStartsWhilePreviewingOrBusyAndSwitchingOffLeavesARecordingRunning)
{
    SessionModel model;
    Parec meeting("Meeting Client");
    const auto clients = clientsOnceListed({ meeting.processID() });
    model.setPreviewing(true);
    run(model.handleMicrophoneActivity(clients));
    model.setPreviewing(false);
    run(model.perform(
        "Working…", [&]() -> QCoro::Task<void> { co_await model.handleMicrophoneActivity(clients); }));
    EXPECT_FALSE(model.isRecording());
    EXPECT_EQ(requestsOf("me"), 0U);

    run(model.handleMicrophoneActivity(clients));
    ASSERT_TRUE(model.isAutoRecording());
    run(model.handleMicrophoneActivity({}));
    ASSERT_EQ(model.autoInactiveTicks(), 1);
    model.setAutoRecordEnabled(false);
    EXPECT_EQ(model.status(), "Automatic recording off");
    EXPECT_EQ(SettingsStore().boolean(SettingsStore::kAutoRecordEnabled), false);
    EXPECT_TRUE(model.autoTriggerProcessIDs().isEmpty());
    EXPECT_EQ(model.autoInactiveTicks(), 0);
    EXPECT_TRUE(model.isRecording());
    EXPECT_TRUE(model.isAutoRecording());

    // With the trigger set empty, even the original client no longer holds it.
    model.setAutoRecordEnabled(true);
    EXPECT_EQ(model.status(), "Watching for microphone use");
    EXPECT_EQ(SettingsStore().boolean(SettingsStore::kAutoRecordEnabled), true);
    run(model.handleMicrophoneActivity(clients));
    EXPECT_TRUE(model.isRecording());
    run(model.handleMicrophoneActivity(clients));
    EXPECT_FALSE(model.isRecording());
}

// The monitor task itself, on its real one-second pause.

TEST_F(AppModelAutoRecordTest, MonitorTaskRecordsACallFromStartToTranscript)
{
    SessionModel model(AppModel::kMonitorPause);
    QSignalSpy started(&model, &AppModel::automaticRecordingStarted);
    QSignalSpy stopped(&model, &AppModel::automaticRecordingStopped);
    auto meeting = std::make_unique<Parec>("Meeting Client");
    ASSERT_TRUE(started.wait(5000));
    EXPECT_TRUE(model.isRecording());
    QTest::qWait(1000);
    meeting.reset();
    // Two idle checks, a second apart, then the stop and the transcription.
    ASSERT_TRUE(QTest::qWaitFor([&] { return stopped.count() == 1; }, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isBusy(); }, 60000));
    EXPECT_EQ(model.status(), "Transcript saved; AI is naming and categorizing it…")
        << model.errorMessage().value_or("").toStdString();
    EXPECT_EQ(model.recordings().size(), 1U);
}

TEST_F(AppModelAutoRecordTest, MonitorTaskStartsNothingWhenOffOrSignedOut)
{
    SessionModel model(100ms);
    model.setAutoRecordEnabled(false);
    Parec meeting("Meeting Client");
    clientsOnceListed({ meeting.processID() });
    QTest::qWait(600);
    EXPECT_FALSE(model.isRecording());
    model.signOut();
    model.setAutoRecordEnabled(true);
    QTest::qWait(600);
    EXPECT_FALSE(model.isRecording());
    EXPECT_TRUE(server.requests().empty());
}
