#include "capture/Recorder.h"

#include "capture/RecorderError.h"
#include "core/APIClientError.h"
#include "core/FileSystemError.h"
#include "core/Uuids.h"
#include "support/TemporaryXdg.h"

#include "AudioProbe.h"
#include "SoundServer.h"
#include "support/RunTask.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QCoro/QCoroTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

using namespace std::chrono_literals;

namespace {

constexpr auto kOwnerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;
constexpr auto kOwnerOnlyFolder = kOwnerOnly | QFile::ExeOwner | QFile::ExeUser;

void pause(std::chrono::milliseconds duration)
{
    TestTasks::run(QCoro::sleepFor(duration));
}

QFileDevice::Permissions permissions(const QString& path)
{
    return QFileInfo(path).permissions() & QFileDevice::Permissions(0x7777);
}

QString sidecarOf(const QString& raw)
{
    return QFileInfo(raw).path() + u'/' + QFileInfo(raw).completeBaseName() + QStringLiteral(".json");
}

class RecorderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_tone440 = m_sounds.path() + QStringLiteral("/440.wav");
        m_tone1k = m_sounds.path() + QStringLiteral("/1k-late.wav");
        AudioProbe::writeToneWav(m_tone440, 440, 2.5, 0.5);
        AudioProbe::writeToneWav(m_tone1k, 1000, 1.5, 0.5, 1.0);
    }

    RecorderError::Kind startFailure(Recorder& recorder)
    {
        try {
            TestTasks::run(recorder.start());
        } catch (const RecorderError& error) {
            return error.kind();
        }
        ADD_FAILURE() << "start() did not fail";
        return RecorderError::Kind::notRecording;
    }

    QStringList capturesContents() const
    {
        return QDir(Recorder::capturesDirectory()).entryList(QDir::Files);
    }

    // Starts `recorder`, counting its interruptions, and leaves it 1.2 s past
    // the 440 Hz tone played into `sink` of `server`.
    void recordTone(Recorder& recorder, const QString& sink, const QString& server = {})
    {
        recorder.setOnInterruption([this] {
            ++m_interruptions;
            m_interruptedOn = QThread::currentThread();
        });
        TestTasks::run(recorder.start());
        auto system = SoundServer::play(m_tone440, sink, server);
        ASSERT_TRUE(system->waitForFinished(10000));
        pause(1200ms);
    }

    TemporaryXdg m_xdg;
    QTemporaryDir m_sounds;
    QString m_tone440;
    QString m_tone1k;
    int m_interruptions = 0;
    QThread* m_interruptedOn = nullptr;
};

// Both sources on one clock, the meters and the mix. The capture and its side
// file are private and named by the capture's id; only the first start and
// the first stop act; discarding removes the capture's files, or says why not.
TEST_F(RecorderTest, RecordsBothSourcesOnOneClockAndMixesThem)
{
    // Keeps both sinks running, as real devices are: an idle null sink's
    // monitor wakes up at its own pace after a stream attaches.
    const QString silence = m_sounds.path() + QStringLiteral("/silence.wav");
    AudioProbe::writeToneWav(silence, 440, 12, 0);
    auto keepSystemAwake = SoundServer::play(silence, QStringLiteral("speaker"));
    auto keepMicrophoneAwake = SoundServer::play(silence, QStringLiteral("micfeed"));
    pause(500ms);
    Recorder recorder;
    try {
        TestTasks::run(recorder.stop());
        ADD_FAILURE() << "stop() returned while idle";
    } catch (const RecorderError& error) {
        EXPECT_EQ(error.kind(), RecorderError::Kind::notRecording);
        EXPECT_STREQ(error.what(), "No recording is active.");
    }
    const QJsonObject details { { QStringLiteral("emailTo"), QStringLiteral("a@example.com") } };
    const double before = QDateTime::currentSecsSinceEpoch() - 978307200.0 - 1;
    TestTasks::run(recorder.start(details));
    ASSERT_TRUE(recorder.isStreamLive());
    const QString raw = *recorder.rawCapturePath();
    QFile sidecar(sidecarOf(raw));
    ASSERT_TRUE(sidecar.open(QIODevice::ReadOnly));
    const QJsonObject json = QJsonDocument::fromJson(sidecar.readAll()).object();
    EXPECT_EQ(json.value(QStringLiteral("capture")).toString(), QFileInfo(raw).fileName());
    EXPECT_EQ(json.value(QStringLiteral("details")).toObject(), details);
    EXPECT_GE(json.value(QStringLiteral("recordedAt")).toDouble(), before);
    EXPECT_LE(json.value(QStringLiteral("recordedAt")).toDouble(), before + 5);
    EXPECT_EQ(permissions(sidecar.fileName()), kOwnerOnly);
    EXPECT_EQ(permissions(raw), kOwnerOnly);
    TestTasks::run(recorder.start());
    EXPECT_EQ(*recorder.rawCapturePath(), raw);
    EXPECT_EQ(capturesContents().size(), 2); // one capture and its sidecar
    pause(300ms);
    const InputLevels silent = recorder.takeLevels();

    auto system = SoundServer::play(m_tone440, QStringLiteral("speaker"));
    auto microphone = SoundServer::play(m_tone1k, QStringLiteral("micfeed"));
    ASSERT_TRUE(system->waitForFinished(10000));
    ASSERT_TRUE(microphone->waitForFinished(10000));
    pause(1500ms);
    // The meters: the tones' amplitude while they played, nothing before.
    const InputLevels playing = recorder.takeLevels();
    EXPECT_LT(silent.systemAudio, 0.01);
    EXPECT_LT(silent.microphone, 0.01);
    EXPECT_NEAR(playing.systemAudio, 0.5, 0.05);
    EXPECT_NEAR(playing.microphone, 0.5, 0.05);

    // The raw capture as it stands mid-recording: every finished fragment is readable.
    const QString snapshot = m_sounds.path() + QStringLiteral("/snapshot.mp4");
    ASSERT_TRUE(QFile::copy(raw, snapshot));
    const auto tracks = AudioProbe::decode(snapshot);
    ASSERT_EQ(tracks.size(), 2U);
    const double systemStart = AudioProbe::onset(tracks[0], 440, 0.25);
    const double microphoneStart = AudioProbe::onset(tracks[1], 1000, 0.25);
    ASSERT_GE(systemStart, 0);
    ASSERT_GE(microphoneStart, 0);
    EXPECT_NEAR(microphoneStart - systemStart, 1.0, 0.1);
    EXPECT_NEAR(AudioProbe::level(tracks[0], 440, systemStart + 0.2, systemStart + 2.2), 0.5, 0.03);
    EXPECT_LT(AudioProbe::level(tracks[0], 1000, systemStart, systemStart + 2.5), 0.01);
    EXPECT_NEAR(AudioProbe::level(tracks[1], 1000, microphoneStart + 0.2, microphoneStart + 1.2), 0.5, 0.03);
    EXPECT_LT(AudioProbe::level(tracks[1], 440, systemStart, systemStart + 2.5), 0.01);

    const QString mixed = TestTasks::run(recorder.stop());
    keepSystemAwake->kill();
    keepMicrophoneAwake->kill();
    EXPECT_THROW(TestTasks::run(recorder.stop()), RecorderError);

    EXPECT_FALSE(recorder.isStreamLive());
    EXPECT_FALSE(recorder.recoveryWarning());
    // The capture stays adoptable until the caller has kept the mix.
    EXPECT_TRUE(QFile::exists(raw));
    EXPECT_TRUE(QFile::exists(sidecar.fileName()));
    EXPECT_EQ(mixed, raw.chopped(4) + QStringLiteral(".m4a"));
    EXPECT_EQ(permissions(mixed), kOwnerOnly);
    EXPECT_EQ(permissions(Recorder::capturesDirectory()), kOwnerOnlyFolder);
    const auto result = AudioProbe::decode(mixed);
    ASSERT_EQ(result.size(), 1U);
    EXPECT_GT(result[0].seconds(), 4.0);
    EXPECT_NEAR(AudioProbe::onset(result[0], 440, 0.17) - systemStart, 0, 0.03);
    EXPECT_NEAR(AudioProbe::onset(result[0], 1000, 0.17) - microphoneStart, 0, 0.03);
    EXPECT_NEAR(AudioProbe::level(result[0], 440, systemStart + 0.2, systemStart + 0.9), 0.35, 0.03);
    EXPECT_NEAR(AudioProbe::level(result[0], 1000, microphoneStart + 0.2, microphoneStart + 1.2), 0.35, 0.03);

    QFile other(Recorder::capturesDirectory() + QStringLiteral("/tallisen-other.json"));
    ASSERT_TRUE(other.open(QIODevice::WriteOnly));
    Recorder::discardCapture(raw);
    EXPECT_EQ(capturesContents(), QStringList({ QStringLiteral("tallisen-other.json") }));
    // Discarding twice is harmless: a crash may have come between.
    Recorder::discardCapture(raw);
    // A sidecar that cannot go would make the capture adoptable again.
    QDir().mkpath(sidecar.fileName() + QStringLiteral("/stuck"));
    EXPECT_THROW(Recorder::discardCapture(raw), FileSystemError);

    const std::optional<QUuid> id = Recorder::captureID(raw);
    ASSERT_TRUE(id.has_value());
    const QString text = Uuids::text(*id);
    EXPECT_EQ("tallisen-" + text + ".mp4", QFileInfo(raw).fileName());
    for (const QString& other : { QStringLiteral("/x/tallisen-adopted-1.mp4"), "/x/other-" + text + ".mp4",
             "/x/tallisen-{" + text + "}.mp4" }) {
        EXPECT_FALSE(Recorder::captureID(other)) << other.toStdString();
    }
}

TEST_F(RecorderTest, MissingDevicesFailBeforeAnyFileIsCreated)
{
    Recorder noMicrophone(Recorder::Sources { {}, "@DEFAULT_MONITOR@", "nosuchsource" });
    EXPECT_EQ(startFailure(noMicrophone), RecorderError::Kind::microphonePermissionDenied);

    // A monitor standing in for the microphone would record the system audio twice.
    Recorder monitorAsMicrophone(Recorder::Sources { {}, "@DEFAULT_MONITOR@", "speaker.monitor" });
    EXPECT_EQ(startFailure(monitorAsMicrophone), RecorderError::Kind::microphonePermissionDenied);

    Recorder noOutput(Recorder::Sources { {}, "nosuchsink.monitor", "@DEFAULT_SOURCE@" });
    EXPECT_EQ(startFailure(noOutput), RecorderError::Kind::noOutputDevice);

    Recorder noServer(Recorder::Sources { QStringLiteral("unix:/nonexistent/pulse/native") });
    EXPECT_EQ(startFailure(noServer), RecorderError::Kind::soundServerUnavailable);

    EXPECT_TRUE(capturesContents().isEmpty());
    EXPECT_FALSE(noMicrophone.isStreamLive());
    EXPECT_FALSE(noServer.isStreamLive());
}

// However the capture breaks, it is interrupted once, on the main thread, and
// stop salvages the audio into the private recovery folder. A frozen server
// makes stop wait out the finalisation timeout; when both waits fail, the
// warning quotes the first failure.
TEST_F(RecorderTest, BrokenCaptureInterruptsOnceAndStopSalvages)
{
    const QString lostDevice = QStringLiteral("The sound server stopped recording the system audio: ");
    const struct
    {
        const char* name;
        bool vanish; // the system audio's device goes away first
        bool kill; // then the server dies
        bool freeze; // then the server stops answering
        QString warning; // all of it, or how it starts when it ends in ": "
    } cases[] = {
        { "device vanishes", true, false, false, lostDevice },
        { "device vanishes, then the server freezes", true, false, true, lostDevice },
        { "server dies", false, true, false,
            QStringLiteral("The connection to the sound server was lost: Connection terminated.") },
        { "server freezes", false, false, true,
            QStringLiteral("The sound server did not finish recording shutdown within 30 seconds.") },
    };
    qsizetype salvagedSoFar = 0;
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        SoundServer::Private server;
        const QString module = SoundServer::pactl(
            { "load-module", "module-null-sink", "sink_name=vanishing" }, server.address());
        Recorder recorder(Recorder::Sources {
            server.address(), test.vanish ? "vanishing.monitor" : "@DEFAULT_MONITOR@", "@DEFAULT_SOURCE@" });
        recorder.setFinalizationTimeout(400ms);
        m_interruptions = 0;
        recordTone(recorder, test.vanish ? QStringLiteral("vanishing") : QStringLiteral("speaker"),
            server.address());
        const QString raw = *recorder.rawCapturePath();

        if (test.vanish) {
            SoundServer::pactl({ "unload-module", module }, server.address());
        }
        if (test.kill) {
            server.kill();
        }
        if (test.vanish || test.kill) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return m_interruptions > 0; }, 5000));
            pause(300ms);
            EXPECT_EQ(m_interruptions, 1);
            EXPECT_EQ(m_interruptedOn, QCoreApplication::instance()->thread());
        }
        EXPECT_TRUE(recorder.isStreamLive());
        if (test.freeze) {
            server.freeze();
        }
        const auto began = std::chrono::steady_clock::now();
        const QString salvaged = TestTasks::run(recorder.stop());
        const auto took = std::chrono::steady_clock::now() - began;
        server.thaw();

        if (test.freeze && !test.vanish) {
            EXPECT_GE(took, 800ms);
        }
        const QString warning = recorder.recoveryWarning().value_or(QString());
        if (test.warning.endsWith(u'.')) {
            EXPECT_EQ(
                warning, "Capture was interrupted: " + test.warning + " Recovered audio may end early.");
        } else {
            EXPECT_TRUE(warning.startsWith("Capture was interrupted: " + test.warning))
                << warning.toStdString();
            EXPECT_TRUE(warning.endsWith(QStringLiteral(". Recovered audio may end early.")));
            EXPECT_FALSE(warning.contains(QStringLiteral("30 seconds")));
        }
        EXPECT_FALSE(recorder.isStreamLive());
        EXPECT_EQ(QFileInfo(salvaged).path(), Recorder::defaultRecoveryDirectory());
        EXPECT_EQ(permissions(salvaged), kOwnerOnly);
        EXPECT_EQ(permissions(Recorder::defaultRecoveryDirectory()), kOwnerOnlyFolder);
        // Beside the salvaged mix, a private copy of the capture it came from.
        const QStringList kept
            = QDir(Recorder::defaultRecoveryDirectory()).entryList({ "*.mp4" }, QDir::Files);
        ASSERT_EQ(kept.size(), ++salvagedSoFar);
        for (const QString& copy : kept) {
            EXPECT_EQ(permissions(Recorder::defaultRecoveryDirectory() + u'/' + copy), kOwnerOnly);
        }
        EXPECT_TRUE(QFile::exists(raw));
        EXPECT_TRUE(QFile::exists(sidecarOf(raw)));
        // The gain of the salvaged mix is RecordsBothSourcesOnOneClockAndMixesThem's to check.
        const auto result = AudioProbe::decode(salvaged);
        ASSERT_EQ(result.size(), 1U);
        EXPECT_GT(AudioProbe::level(result[0], 440, 0, result[0].seconds()), 0.1);
    }
}

TEST_F(RecorderTest, FailedMixKeepsTheRawCaptureAndNamesIt)
{
    Recorder recorder;
    TestTasks::run(recorder.start());
    const QString raw = *recorder.rawCapturePath();
    pause(1500ms);
    // Damage the capture under the writer: the header is gone for good.
    ASSERT_EQ(::truncate(QFile::encodeName(raw).constData(), 0), 0);

    try {
        TestTasks::run(recorder.stop());
        FAIL() << "stop() mixed a damaged capture";
    } catch (const APIClientError& error) {
        EXPECT_TRUE(error.message().startsWith(QStringLiteral("Audio mixing failed: ")));
        EXPECT_TRUE(
            error.message().endsWith(QStringLiteral(". Original recording retained at ") + raw + u'.'))
            << error.what();
        EXPECT_FALSE(error.statusCode());
    }
    EXPECT_TRUE(QFile::exists(raw));
    EXPECT_TRUE(QFile::exists(sidecarOf(raw)));
    EXPECT_FALSE(recorder.isStreamLive());
}

TEST_F(RecorderTest, KilledRecordingProcessLeavesADecodableCapture)
{
    constexpr double kSeconds = 6;
    // Lost at a kill: the unwritten fragment (1 s), and on busy cores up to two
    // more seconds the sound server had not yet delivered.
    constexpr double kLost = 3;
    AudioProbe::writeToneWav(m_tone440, 440, kSeconds + 5, 0.5);
    AudioProbe::writeToneWav(m_tone1k, 1000, kSeconds + 5, 0.5);
    // Playing before the recording starts, in small blocks: an idle null
    // sink's monitor delivers in bursts, which is not what this test is about.
    auto system = SoundServer::playInSmallBlocks(m_tone440, QStringLiteral("speaker"));
    auto microphone = SoundServer::playInSmallBlocks(m_tone1k, QStringLiteral("micfeed"));
    pause(500ms);
    QProcess child;
    child.start(QStringLiteral(CAPTURE_CHILD_PATH), {});
    ASSERT_TRUE(child.waitForReadyRead(15000)) << child.readAllStandardError().toStdString();
    const QString raw = QString::fromUtf8(child.readLine()).trimmed();
    ASSERT_TRUE(raw.startsWith(Recorder::capturesDirectory())) << raw.toStdString();

    pause(std::chrono::milliseconds(int(kSeconds * 1000)));
    ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
    ASSERT_TRUE(child.waitForFinished(5000));
    EXPECT_EQ(child.exitStatus(), QProcess::CrashExit);
    system->kill();
    microphone->kill();

    const auto tracks = AudioProbe::decode(raw);
    ASSERT_EQ(tracks.size(), 2U);
    EXPECT_GE(tracks[0].seconds(), kSeconds - kLost);
    EXPECT_GE(tracks[1].seconds(), kSeconds - kLost);
    EXPECT_GT(AudioProbe::level(tracks[0], 440, 1, kSeconds - kLost), 0.4);
    EXPECT_GT(AudioProbe::level(tracks[1], 1000, 1, kSeconds - kLost), 0.4);
    // The orphan keeps its sidecar and still mixes.
    EXPECT_TRUE(QFile::exists(sidecarOf(raw)));
    const QString mixed = m_sounds.path() + QStringLiteral("/orphan.m4a");
    TestTasks::run(Recorder::mixAudio(raw, mixed));
    EXPECT_GE(AudioProbe::decode(mixed).at(0).seconds(), kSeconds - kLost);
}

} // namespace
