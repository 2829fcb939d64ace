// Two Tallisen processes (the window and tallisen-cli) against one sound
// server and one captures folder: a model recording in a child process, as
// tallisen-cli record does, and the model of this test process.

#include "SessionFixture.h"

#include "capture/MicrophoneActivityMonitor.h"

#include <QFileInfo>

#include <signal.h>

using namespace SessionTesting;
using namespace std::chrono_literals;

namespace {

// A model recording in its own process until it is killed.
class RecordingChild
{
public:
    RecordingChild() { m_process.start(QStringLiteral(RECORDING_CHILD_PATH), {}); }
    RecordingChild(const RecordingChild&) = delete;
    RecordingChild& operator=(const RecordingChild&) = delete;
    ~RecordingChild() { kill(); }

    // True once it records; false when it refused or failed.
    bool awaitRecording()
    {
        m_process.waitForReadyRead(60000);
        return m_process.readAllStandardOutput().trimmed() == "recording";
    }
    // Its exit code, once it has ended by itself.
    int awaitEnd()
    {
        EXPECT_TRUE(m_process.waitForFinished(60000));
        return m_process.exitCode();
    }
    QString errors() { return QString::fromUtf8(m_process.readAllStandardError()).trimmed(); }
    qint32 processID() const { return static_cast<qint32>(m_process.processId()); }
    void kill()
    {
        if (m_process.state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(m_process.processId()), SIGKILL);
            m_process.waitForFinished(10000);
        }
    }

private:
    QProcess m_process;
};

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
