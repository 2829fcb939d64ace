#pragma once

// A signed-in model against the pipeline's HTTPS transcription server, with
// temporary XDG folders and the private sound server and Secret Service the
// test command started.

#include "PipelineServer.h"

#include "api/KeychainStore.h"
#include "capture/Recorder.h"
#include "model/AppModel.h"
#include "model/SettingsStore.h"
#include "support/AppFixtures.h"
#include "support/Parec.h"
#include "support/TemporaryXdg.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <QCoroTask>

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <linux/fs.h>
#include <optional>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

// The model with its internal operations in reach. Without a pause the
// monitor task is not started and tests run the checks themselves.
class SessionModel : public AppModel
{
public:
    explicit SessionModel(std::optional<std::chrono::milliseconds> monitorPause = std::nullopt)
        : AppModel([](const QUrl&) { return true; }, monitorPause)
    { }

    using AppModel::autoInactiveTicks;
    using AppModel::autoTriggerProcessIDs;
    using AppModel::client;
    using AppModel::handleMicrophoneActivity;
    using AppModel::isAutoRecording;
    using AppModel::perform;
    using AppModel::recorder;
    using AppModel::setServerProbeInterval;
    using AppModel::updateServer;
};

namespace SessionTesting {

using namespace AppFixtures;

inline const QString kToken = QStringLiteral("test-token");
inline const QString kUserID = QString::fromStdString(kAccountID);
inline const QString kSavedID = QStringLiteral("0B0D6E3A-6C4B-4C44-9E5A-2D1A3E0F1B2C");

inline void run(QCoro::Task<void> task)
{
    QCoro::waitFor(std::move(task));
}

inline QStringList filesIn(const QString& directory)
{
    return QDir(directory).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

// Sets or clears the immutable attribute; root can delete nothing immutable.
inline void setImmutable(const QString& path, bool immutable)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path.toStdString();
    int flags = 0;
    ASSERT_EQ(::ioctl(fd, FS_IOC_GETFLAGS, &flags), 0);
    flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    EXPECT_EQ(::ioctl(fd, FS_IOC_SETFLAGS, &flags), 0);
    ::close(fd);
}

// The POSIX permission bits, -1 when the path is missing.
inline int mode(const QString& path)
{
    struct stat status
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &status) == 0
        ? static_cast<int>(status.st_mode & 07777)
        : -1;
}

inline double durationSeconds(const QString& audio)
{
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"),
        { "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", audio });
    probe.waitForFinished(30000);
    return probe.readAllStandardOutput().trimmed().toDouble();
}

// Sets or, without a value, unsets an environment variable for the scope.
class ScopedVariable
{
public:
    ScopedVariable(const char* name, const std::optional<QByteArray>& value)
        : m_name(name)
        , m_saved(qgetenv(name))
    {
        value ? qputenv(name, *value) : qunsetenv(name);
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;
    ~ScopedVariable() { m_saved.isEmpty() ? qunsetenv(m_name) : qputenv(m_name, m_saved); }

private:
    const char* m_name;
    QByteArray m_saved;
};

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

} // namespace SessionTesting

class SessionTest : public ::testing::Test
{
protected:
    SessionTest()
    {
        SettingsStore().setString(SettingsStore::kServer, server.baseURL().toString());
        KeychainStore::saveToken(SessionTesting::kToken, server.baseURL());
    }
    ~SessionTest() override { KeychainStore::clearToken(); }

    // Records for the given time through the real sound server.
    static void record(SessionModel& model, std::chrono::milliseconds duration)
    {
        SessionTesting::run(model.startRecording({}));
        ASSERT_TRUE(model.isRecording()) << model.errorMessage().value_or("").toStdString();
        QTest::qWait(static_cast<int>(duration.count()));
    }

    // Every status the model shows from now on, in order.
    void collectStatuses(SessionModel& model)
    {
        QObject::connect(
            &model, &AppModel::statusChanged, &model, [this, &model] { statuses.append(model.status()); });
    }

    size_t requestsOf(const std::string& kind) const { return server.requests(kind).size(); }

    // Only the server's own certificate: parsing the system's costs seconds.
    SessionTesting::ScopedVariable certificates { "SSL_CERT_FILE",
        PipelineServer::certificatePath().toUtf8() };
    SessionTesting::ScopedVariable noCertificateFolder { "SSL_CERT_DIR", std::nullopt };
    TemporaryXdg xdg;
    PipelineServer server;
    QStringList statuses;
};
