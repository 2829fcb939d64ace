// Two Tallisen processes (the window and tallisen-cli) against one sound
// server and one captures folder: a model recording in a child process, as
// tallisen-cli record does, and the model of this test process.

#include "SessionFixture.h"

#include "capture/MicrophoneActivityMonitor.h"

#include <QFileInfo>

using namespace SessionTesting;
using namespace std::chrono_literals;

namespace {

QString holderText(const QString& program, qint64 processID)
{
    return QStringLiteral(
        "%1 (process %2) is already recording; stop that recording before starting another.")
        .arg(program)
        .arg(processID);
}

} // namespace

class RecordingLockTest : public SessionTest
{
};

TEST_F(RecordingLockTest, AnotherProcessRecordingIsNeitherAdoptedNorJoinedNorAutoRecorded)
{
    RecordingChild other;
    ASSERT_TRUE(other.awaitRecording()) << other.errors().toStdString();
    ASSERT_FALSE(filesIn(Recorder::capturesDirectory()).isEmpty());

    SessionModel model;
    EXPECT_FALSE(model.isAdoptingCaptures());
    run(model.startRecording({}));
    EXPECT_FALSE(model.isRecording());
    EXPECT_EQ(model.errorMessage(), holderText("model_recording_child", other.processID()));

    SessionModel watcher;
    const QList<MicrophoneClient> clients = MicrophoneActivityMonitor::activeExternalClients(5s);
    run(watcher.handleMicrophoneActivity({ clients.begin(), clients.end() }));
    EXPECT_FALSE(watcher.isRecording());
    EXPECT_EQ(watcher.errorMessage(), std::nullopt);
    EXPECT_TRUE(model.pendingRecordings().empty());

    // However it ends, its end frees the microphone for the next recording.
    other.kill();
    record(model, 300ms);
    run(model.stopAndTranscribe());
    EXPECT_EQ(model.errorMessage(), std::nullopt);
}

TEST_F(RecordingLockTest, AnotherProcessRefusesWhileThisOneRecordsUntilItsJobIsSaved)
{
    SessionModel model;
    record(model, 300ms);
    {
        RecordingChild refused;
        EXPECT_EQ(refused.awaitEnd(), 1);
        EXPECT_EQ(refused.errors(), holderText("test_model", QCoreApplication::applicationPid()));
    }
    run(model.stopAndTranscribe());
    ASSERT_EQ(model.errorMessage(), std::nullopt);

    RecordingChild next;
    EXPECT_TRUE(next.awaitRecording()) << next.errors().toStdString();
}
