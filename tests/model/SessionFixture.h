#pragma once

// A signed-in model against the pipeline's HTTPS transcription server, with
// temporary XDG folders and the private sound server and Secret Service the
// test command started.

#include "PipelineServer.h"

#include "api/KeychainStore.h"
#include "capture/Recorder.h"
#include "model/AppModel.h"
#include "model/SettingsStore.h"
#include "support/Parec.h"
#include "support/TemporaryXdg.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <QCoroTask>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <linux/fs.h>
#include <optional>
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
    using AppModel::finishPending;
    using AppModel::handleMicrophoneActivity;
    using AppModel::isAutoRecording;
    using AppModel::perform;
    using AppModel::recorder;
    using AppModel::setServerProbeInterval;
    using AppModel::updateServer;
};

namespace SessionTesting {

inline const QString kToken = QStringLiteral("test-token");
inline const QString kUserID = QStringLiteral("7C9E6679-7425-40DE-944B-E07FC1F90AE7");
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

// Mono 16-bit 48 kHz WAV holding a sine.
inline void writeTone(const QString& path, double frequency, double seconds)
{
    constexpr int kRate = 48000;
    const auto frames = static_cast<quint32>(seconds * kRate);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + frames * 2);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(1) << quint32(kRate) << quint32(kRate * 2) << quint16(2)
        << quint16(16);
    out.writeRawData("data", 4);
    out << quint32(frames * 2);
    for (quint32 i = 0; i < frames; ++i) {
        out << static_cast<qint16>(12000 * std::sin(2 * M_PI * frequency * i / kRate));
    }
}

} // namespace SessionTesting

class SessionTest : public ::testing::Test
{
protected:
    SessionTest()
    {
        for (const char* name : { "SSL_CERT_FILE", "SSL_CERT_DIR" }) {
            m_savedEnvironment.emplace_back(name, qEnvironmentVariable(name).toUtf8());
        }
        // Only the server's own certificate: parsing the system's costs seconds.
        qputenv("SSL_CERT_FILE", PipelineServer::certificatePath().toUtf8());
        qunsetenv("SSL_CERT_DIR");
        SettingsStore().setString(SettingsStore::kServer, server.baseURL().toString());
        KeychainStore::saveToken(SessionTesting::kToken, server.baseURL());
    }
    ~SessionTest() override
    {
        KeychainStore::clearToken();
        for (const auto& [name, value] : m_savedEnvironment) {
            value.isEmpty() ? qunsetenv(name) : qputenv(name, value);
        }
    }

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

    TemporaryXdg xdg;
    PipelineServer server;
    QStringList statuses;

private:
    std::vector<std::pair<const char*, QByteArray>> m_savedEnvironment;
};
