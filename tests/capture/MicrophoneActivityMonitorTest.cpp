#include "capture/MicrophoneActivityMonitor.h"

#include "capture/SoundServerMonitorError.h"
#include "support/Parec.h"
#include "support/TemporaryXdg.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

void PrintTo(const MicrophoneClient& client, std::ostream* out)
{
    *out << "{" << client.processID << ", " << client.name.toStdString() << "}";
}

namespace {

constexpr auto kSettleTimeout = 10s;

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kSettleTimeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

// Process ids of every recording stream the server holds, as pactl sees them.
QSet<qint32> sourceOutputProcessIds()
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), { QStringLiteral("list"), QStringLiteral("source-outputs") });
    pactl.waitForFinished(5000);
    static const QRegularExpression pattern(QStringLiteral(R"re(application\.process\.id = "(\d+)")re"));
    QSet<qint32> ids;
    for (const auto& match : pattern.globalMatch(QString::fromUtf8(pactl.readAllStandardOutput()))) {
        ids.insert(match.captured(1).toInt());
    }
    return ids;
}

bool waitForSourceOutputOf(qint32 processId)
{
    return waitUntil([processId] { return sourceOutputProcessIds().contains(processId); });
}

// The clients among the given processes, in the order the monitor returned
// them, so streams of other tests running at the same time do not matter.
QList<MicrophoneClient> clientsAmong(const QSet<qint32>& processIds)
{
    QList<MicrophoneClient> clients = MicrophoneActivityMonitor::activeExternalClients(5s);
    clients.removeIf(
        [&processIds](const MicrophoneClient& client) { return !processIds.contains(client.processID); });
    return clients;
}

bool isListed(qint32 processId)
{
    return !clientsAmong({ processId }).isEmpty();
}

struct MicrophoneActivityMonitorStreamOptions
{
    QByteArray applicationName = "Test Client";
    QByteArray applicationId;
    std::optional<QByteArray> processBinary;
    QByteArray device = "fakemic";
    QByteArray mediaName = "Recording";
    std::vector<std::pair<QByteArray, QByteArray>> streamProperties;
    pa_stream_flags_t flags = PA_STREAM_NOFLAGS;
    // pavucontrol's meters record 25 float samples a second.
    bool meterFormat = false;
    int streamCount = 1;
};

// Runs libpulse in the calling process on a private main loop: connects,
// opens the recording streams and reports readiness.
class MicrophoneActivityMonitorPulseClient
{
public:
    explicit MicrophoneActivityMonitorPulseClient(const MicrophoneActivityMonitorStreamOptions& options)
        : m_mainloop(pa_mainloop_new())
    {
        pa_proplist* properties = pa_proplist_new();
        pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, options.applicationName.constData());
        if (!options.applicationId.isEmpty()) {
            pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, options.applicationId.constData());
        }
        if (options.processBinary) {
            pa_proplist_sets(
                properties, PA_PROP_APPLICATION_PROCESS_BINARY, options.processBinary->constData());
        }
        m_context = pa_context_new_with_proplist(pa_mainloop_get_api(m_mainloop), nullptr, properties);
        pa_proplist_free(properties);
        pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
        m_ready = iterateUntil([this] { return pa_context_get_state(m_context) == PA_CONTEXT_READY; });
        for (int i = 0; m_ready && i < options.streamCount; ++i) {
            m_ready = openStream(options);
        }
    }
    MicrophoneActivityMonitorPulseClient(const MicrophoneActivityMonitorPulseClient&) = delete;
    MicrophoneActivityMonitorPulseClient& operator=(const MicrophoneActivityMonitorPulseClient&) = delete;
    ~MicrophoneActivityMonitorPulseClient()
    {
        for (pa_stream* stream : m_streams) {
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
        }
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        pa_mainloop_free(m_mainloop);
    }

    bool isReady() const { return m_ready; }

    void pump()
    {
        while (pa_mainloop_iterate(m_mainloop, 0, nullptr) > 0) { }
    }

    bool setCorked(bool corked)
    {
        bool done = false;
        for (pa_stream* stream : m_streams) {
            pa_operation_unref(pa_stream_cork(stream, corked ? 1 : 0, nullptr, nullptr));
        }
        // A round trip after the corks means the server has applied them.
        pa_operation* sync = pa_context_get_server_info(
            m_context,
            [](pa_context*, const pa_server_info*, void* flag) { *static_cast<bool*>(flag) = true; }, &done);
        pa_operation_unref(sync);
        return iterateUntil([&done] { return done; });
    }

private:
    bool openStream(const MicrophoneActivityMonitorStreamOptions& options)
    {
        const pa_sample_spec sampleSpec = options.meterFormat ? pa_sample_spec { PA_SAMPLE_FLOAT32LE, 25, 1 }
                                                              : pa_sample_spec { PA_SAMPLE_S16LE, 44100, 2 };
        pa_proplist* properties = pa_proplist_new();
        pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, options.mediaName.constData());
        for (const auto& [key, value] : options.streamProperties) {
            pa_proplist_sets(properties, key.constData(), value.constData());
        }
        pa_stream* stream = pa_stream_new_with_proplist(m_context, nullptr, &sampleSpec, nullptr, properties);
        pa_proplist_free(properties);
        if (!stream) {
            return false;
        }
        m_streams.push_back(stream);
        pa_stream_set_read_callback(stream, &discard, nullptr);
        if (pa_stream_connect_record(stream, options.device.constData(), nullptr, options.flags) < 0) {
            return false;
        }
        return iterateUntil([stream] { return pa_stream_get_state(stream) == PA_STREAM_READY; });
    }

    static void discard(pa_stream* stream, size_t, void*)
    {
        const void* data = nullptr;
        size_t size = 0;
        while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &data, &size) == 0 && size > 0) {
            pa_stream_drop(stream);
        }
    }

    bool iterateUntil(const std::function<bool()>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + kSettleTimeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline
                || !PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context))) {
                return false;
            }
            pa_mainloop_iterate(m_mainloop, 0, nullptr);
            QThread::msleep(1);
        }
        return true;
    }

    pa_mainloop* m_mainloop;
    pa_context* m_context = nullptr;
    std::vector<pa_stream*> m_streams;
    bool m_ready = false;
};

// Another process recording through libpulse: a forked child that opens the
// streams, says "ready", then obeys "c" (cork), "u" (uncork) and ends when its
// command pipe closes, so it never outlives the test.
class MicrophoneActivityMonitorChildClient
{
public:
    explicit MicrophoneActivityMonitorChildClient(const MicrophoneActivityMonitorStreamOptions& options)
    {
        int toChild[2];
        int fromChild[2];
        if (pipe(toChild) != 0 || pipe(fromChild) != 0) {
            return;
        }
        m_processId = fork();
        if (m_processId == 0) {
            close(toChild[1]);
            close(fromChild[0]);
            runChild(options, toChild[0], fromChild[1]);
        }
        close(toChild[0]);
        close(fromChild[1]);
        m_commands = toChild[1];
        m_replies = fromChild[0];
        m_ready = awaitReply();
    }
    MicrophoneActivityMonitorChildClient(const MicrophoneActivityMonitorChildClient&) = delete;
    MicrophoneActivityMonitorChildClient& operator=(const MicrophoneActivityMonitorChildClient&) = delete;
    ~MicrophoneActivityMonitorChildClient()
    {
        close(m_commands);
        close(m_replies);
        if (m_processId > 0) {
            kill(m_processId, SIGKILL);
            waitpid(m_processId, nullptr, 0);
        }
    }

    bool isReady() const { return m_ready; }
    qint32 processId() const { return m_processId; }

    bool setCorked(bool corked)
    {
        const char command = corked ? 'c' : 'u';
        return write(m_commands, &command, 1) == 1 && awaitReply();
    }

private:
    bool awaitReply()
    {
        pollfd descriptor { m_replies, POLLIN, 0 };
        char reply = 0;
        return poll(&descriptor, 1, 10000) == 1 && read(m_replies, &reply, 1) == 1 && reply == 'k';
    }

    [[noreturn]] static void runChild(
        const MicrophoneActivityMonitorStreamOptions& options, int commands, int replies)
    {
        MicrophoneActivityMonitorPulseClient client(options);
        if (!client.isReady() || write(replies, "k", 1) != 1) {
            _exit(1);
        }
        for (;;) {
            pollfd descriptor { commands, POLLIN, 0 };
            if (poll(&descriptor, 1, 10) == 1) {
                char command = 0;
                if (read(commands, &command, 1) != 1) {
                    _exit(0);
                }
                if (!client.setCorked(command == 'c') || write(replies, "k", 1) != 1) {
                    _exit(1);
                }
            }
            client.pump();
        }
    }

    pid_t m_processId = -1;
    int m_commands = -1;
    int m_replies = -1;
    bool m_ready = false;
};

// Points libpulse at another server address for one scope.
class MicrophoneActivityMonitorServerOverride
{
public:
    explicit MicrophoneActivityMonitorServerOverride(const QByteArray& server)
        : m_saved(qgetenv("PULSE_SERVER"))
        , m_wasSet(qEnvironmentVariableIsSet("PULSE_SERVER"))
    {
        qputenv("PULSE_SERVER", server);
    }
    MicrophoneActivityMonitorServerOverride(const MicrophoneActivityMonitorServerOverride&) = delete;
    MicrophoneActivityMonitorServerOverride& operator=(const MicrophoneActivityMonitorServerOverride&)
        = delete;
    ~MicrophoneActivityMonitorServerOverride()
    {
        if (m_wasSet) {
            qputenv("PULSE_SERVER", m_saved);
        } else {
            qunsetenv("PULSE_SERVER");
        }
    }

private:
    QByteArray m_saved;
    bool m_wasSet;
};

MicrophoneActivityMonitorStreamOptions named(const QByteArray& applicationName)
{
    MicrophoneActivityMonitorStreamOptions options;
    options.applicationName = applicationName;
    return options;
}

} // namespace

TEST(MicrophoneActivityMonitorLive, ParecOnTheMicrophoneIsListedWithItsProcessAndNameUntilItStops)
{
    Parec parec(QStringLiteral("Meeting Client"));
    const qint32 processId = parec.processID();
    ASSERT_TRUE(waitUntil([processId] { return isListed(processId); }));

    EXPECT_EQ(clientsAmong({ processId }),
        QList<MicrophoneClient>({ { .processID = processId, .name = QStringLiteral("Meeting Client") } }));

    parec.stop();
    EXPECT_TRUE(waitUntil([processId] { return !isListed(processId); }));
}

TEST(MicrophoneActivityMonitorLive, CorkedStreamCountsOnlyWhileUncorked)
{
    auto options = named("Paused Call");
    options.flags = PA_STREAM_START_CORKED;
    MicrophoneActivityMonitorChildClient client(options);
    ASSERT_TRUE(client.isReady());
    EXPECT_FALSE(isListed(client.processId()));

    ASSERT_TRUE(client.setCorked(false));
    EXPECT_TRUE(isListed(client.processId()));

    ASSERT_TRUE(client.setCorked(true));
    EXPECT_FALSE(isListed(client.processId()));
}

TEST(MicrophoneActivityMonitorLive, RecordingWhatTheSpeakersPlayIsNotListed)
{
    Parec monitorRecorder(QStringLiteral("Screen Recorder"), QStringLiteral("speaker.monitor"));
    ASSERT_TRUE(waitForSourceOutputOf(monitorRecorder.processID()));
    auto options = named("Loopback Reader");
    options.device = "micfeed.monitor";
    MicrophoneActivityMonitorChildClient loopbackReader(options);
    ASSERT_TRUE(loopbackReader.isReady());

    EXPECT_TRUE(clientsAmong({ monitorRecorder.processID(), loopbackReader.processId() }).isEmpty());
}

TEST(MicrophoneActivityMonitorLive, LevelMetersAndVirtualNodesAreNotListed)
{
    auto peakDetect = named("Meter");
    peakDetect.mediaName = "Peak detect";
    peakDetect.flags = PA_STREAM_PEAK_DETECT;
    peakDetect.meterFormat = true;
    // A translated meter name still asks for peak detection.
    auto translatedPeakDetect = named("Meter");
    translatedPeakDetect.mediaName = "Spitzenwerterkennung";
    translatedPeakDetect.flags = PA_STREAM_PEAK_DETECT;
    translatedPeakDetect.meterFormat = true;
    auto pavucontrol = named("Volume Control");
    pavucontrol.applicationId = "org.PulseAudio.pavucontrol";
    auto gnomeVolume = named("Sound");
    gnomeVolume.applicationId = "org.gnome.VolumeControl";
    auto streamMonitor = named("Monitor Node");
    streamMonitor.streamProperties = { { "stream.monitor", "true" } };
    auto virtualNode = named("Virtual Node");
    virtualNode.streamProperties = { { "node.virtual", "true" } };
    auto sinkCapture = named("Sink Capture");
    sinkCapture.streamProperties = { { "stream.capture.sink", "true" } };

    std::vector<std::unique_ptr<MicrophoneActivityMonitorChildClient>> ignored;
    QSet<qint32> processIds;
    for (const auto& options : { peakDetect, translatedPeakDetect, pavucontrol, gnomeVolume, streamMonitor,
             virtualNode, sinkCapture }) {
        ignored.push_back(std::make_unique<MicrophoneActivityMonitorChildClient>(options));
        ASSERT_TRUE(ignored.back()->isReady()) << options.applicationName.constData();
        processIds.insert(ignored.back()->processId());
    }
    MicrophoneActivityMonitorChildClient call(named("Call"));
    ASSERT_TRUE(call.isReady());
    processIds.insert(call.processId());

    EXPECT_EQ(clientsAmong(processIds),
        QList<MicrophoneClient>({ { .processID = call.processId(), .name = QStringLiteral("Call") } }));
}

TEST(MicrophoneActivityMonitorLive, AlwaysOnAudioToolsAreNotListed)
{
    auto easyEffects = named("Easy Effects");
    easyEffects.applicationId = "com.github.wwmm.easyeffects";
    auto router = named("Audio_Routing Helper");
    auto live = named("Live");
    live.applicationId = "COM.ABLETON.LIVE";
    MicrophoneActivityMonitorChildClient easyEffectsClient(easyEffects);
    MicrophoneActivityMonitorChildClient routerClient(router);
    MicrophoneActivityMonitorChildClient liveClient(live);
    ASSERT_TRUE(easyEffectsClient.isReady() && routerClient.isReady() && liveClient.isReady());

    EXPECT_TRUE(
        clientsAmong({ easyEffectsClient.processId(), routerClient.processId(), liveClient.processId() })
            .isEmpty());
}

TEST(MicrophoneActivityMonitorLive, OwnStreamsAreNotListed)
{
    MicrophoneActivityMonitorPulseClient own(named("Tallisen"));
    ASSERT_TRUE(own.isReady());
    const qint32 ownProcessId = getpid();
    ASSERT_TRUE(sourceOutputProcessIds().contains(ownProcessId));

    EXPECT_FALSE(isListed(ownProcessId));
}

TEST(MicrophoneActivityMonitorLive, TheCapturesOfOtherTallisenProcessesAreNotListed)
{
    TemporaryXdg xdg;
    QProcess tallisen;
    tallisen.start(QStringLiteral(CAPTURE_CHILD_PATH), {});
    ASSERT_TRUE(tallisen.waitForReadyRead(15000)) << tallisen.readAllStandardError().toStdString();
    const auto tallisenId = static_cast<qint32>(tallisen.processId());
    ASSERT_TRUE(waitUntil([tallisenId] { return sourceOutputProcessIds().contains(tallisenId); }));
    // Named like Tallisen but not one of its captures: still another program.
    MicrophoneActivityMonitorChildClient namesake(named("Tallisen"));
    ASSERT_TRUE(namesake.isReady());

    EXPECT_EQ(clientsAmong({ tallisenId, namesake.processId() }),
        QList<MicrophoneClient>({ { .processID = namesake.processId(), .name = "Tallisen" } }));
    tallisen.kill();
    tallisen.waitForFinished(5000);
}

TEST(MicrophoneActivityMonitorLive, NamelessClientsFallBackToIdentifierThenBinaryThenGenericName)
{
    auto withApplicationId = named("");
    withApplicationId.applicationId = "org.example.Meet";
    auto withBinary = named("");
    withBinary.processBinary = "meet-client";
    auto anonymous = named("");
    anonymous.processBinary = "";
    MicrophoneActivityMonitorChildClient identified(withApplicationId);
    MicrophoneActivityMonitorChildClient binary(withBinary);
    MicrophoneActivityMonitorChildClient unknown(anonymous);
    ASSERT_TRUE(identified.isReady() && binary.isReady() && unknown.isReady());

    EXPECT_EQ(clientsAmong({ identified.processId(), binary.processId(), unknown.processId() }),
        QList<MicrophoneClient>({
            { .processID = binary.processId(), .name = QStringLiteral("meet-client") },
            { .processID = unknown.processId(), .name = QStringLiteral("Microphone app") },
            { .processID = identified.processId(), .name = QStringLiteral("org.example.Meet") },
        }));
}

namespace {

// A sound server of the test's own on a socket in its own runtime folder.
std::unique_ptr<QProcess> startPrivateSoundServer(const QTemporaryDir& runtime)
{
    auto server = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", runtime.path());
    // Off the session bus, where the test run's own server holds PulseAudio's name.
    environment.insert("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    server->setProcessEnvironment(environment);
    server->start("pulseaudio",
        { "--daemonize=no", "--exit-idle-time=-1", "-n", "--use-pid-file=no", "--log-target=stderr", "-L",
            "module-native-protocol-unix auth-anonymous=1 socket=" + runtime.filePath("native"), "-L",
            "module-null-sink" });
    return server;
}

} // namespace

// Each thread keeps its connection between checks; one that broke is made
// again, so a restarted server does not end automatic recording.
TEST(MicrophoneActivityMonitorLive, ARestartedSoundServerIsReachedAgain)
{
    QTemporaryDir runtime;
    MicrophoneActivityMonitorServerOverride override("unix:" + runtime.filePath("native").toUtf8());
    const auto reachable = [] {
        for (int attempt = 0; attempt < 100; ++attempt) {
            try {
                MicrophoneActivityMonitor::activeExternalClients();
                return true;
            } catch (const SoundServerMonitorError&) {
                QThread::msleep(100);
            }
        }
        return false;
    };
    auto first = startPrivateSoundServer(runtime);
    ASSERT_TRUE(reachable()) << first->readAllStandardError().toStdString();

    first->kill();
    first->waitForFinished(5000);
    EXPECT_THROW(MicrophoneActivityMonitor::activeExternalClients(), SoundServerMonitorError)
        << "a kept connection answered for a server that is gone";

    auto second = startPrivateSoundServer(runtime);
    EXPECT_TRUE(reachable()) << "the restarted server was never reached: "
                             << second->readAllStandardError().toStdString();
    second->kill();
    second->waitForFinished(5000);
}

TEST(MicrophoneActivityMonitorLive, CallsFromSeveralThreadsAtOnceAgree)
{
    MicrophoneActivityMonitorChildClient call(named("Call"));
    ASSERT_TRUE(call.isReady());
    const qint32 processId = call.processId();

    // Plain threads: joining them orders the results for the race checker too.
    std::vector<std::thread> threads;
    std::vector<QList<MicrophoneClient>> results(4);
    for (auto& result : results) {
        threads.emplace_back([&result] { result = MicrophoneActivityMonitor::activeExternalClients(5s); });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    for (const auto& result : results) {
        EXPECT_TRUE(std::ranges::any_of(result, [processId](const MicrophoneClient& client) {
            return client.processID == processId && client.name == QStringLiteral("Call");
        }));
    }
}

TEST(MicrophoneActivityMonitorLive, ClientsAreSortedByNameIgnoringCase)
{
    MicrophoneActivityMonitorChildClient gamma(named("gamma"));
    MicrophoneActivityMonitorChildClient alpha(named("Alpha"));
    MicrophoneActivityMonitorChildClient beta(named("beta"));
    MicrophoneActivityMonitorChildClient delta(named("Delta"));
    ASSERT_TRUE(gamma.isReady() && alpha.isReady() && beta.isReady() && delta.isReady());

    EXPECT_EQ(clientsAmong({ gamma.processId(), alpha.processId(), beta.processId(), delta.processId() }),
        QList<MicrophoneClient>({
            { .processID = alpha.processId(), .name = QStringLiteral("Alpha") },
            { .processID = beta.processId(), .name = QStringLiteral("beta") },
            { .processID = delta.processId(), .name = QStringLiteral("Delta") },
            { .processID = gamma.processId(), .name = QStringLiteral("gamma") },
        }));
}

TEST(MicrophoneActivityMonitorLive, NamesEqualButForCaseKeepTheServersOrder)
{
    // Enough clients that an unstable sort would shuffle them.
    std::vector<std::unique_ptr<MicrophoneActivityMonitorChildClient>> children;
    QList<MicrophoneClient> expected;
    QSet<qint32> processIds;
    for (int i = 0; i < 20; ++i) {
        const QByteArray name = i % 2 == 0 ? "echo" : "Echo";
        children.push_back(std::make_unique<MicrophoneActivityMonitorChildClient>(named(name)));
        ASSERT_TRUE(children.back()->isReady());
        expected.append({ .processID = children.back()->processId(), .name = QString::fromUtf8(name) });
        processIds.insert(children.back()->processId());
    }

    EXPECT_EQ(clientsAmong(processIds), expected);
}

TEST(MicrophoneActivityMonitorLive, SeveralStreamsOfOneProcessCountOnce)
{
    auto options = named("Two Streams");
    options.streamCount = 2;
    MicrophoneActivityMonitorChildClient client(options);
    ASSERT_TRUE(client.isReady());

    EXPECT_EQ(clientsAmong({ client.processId() }).size(), 1);
}

TEST(MicrophoneActivityMonitorFailure, NoSoundServerThrowsItsStatus)
{
    QTemporaryDir directory;
    MicrophoneActivityMonitorServerOverride server("unix:" + directory.filePath("absent").toUtf8());

    try {
        MicrophoneActivityMonitor::activeExternalClients();
        FAIL() << "expected SoundServerMonitorError";
    } catch (const SoundServerMonitorError& error) {
        EXPECT_EQ(error.status(), PA_ERR_CONNECTIONREFUSED);
        EXPECT_STREQ(error.what(), "Sound server microphone monitoring failed (6).");
    }
}

TEST(MicrophoneActivityMonitorFailure, MessageCarriesTheSignedStatus)
{
    EXPECT_STREQ(SoundServerMonitorError(-50).what(), "Sound server microphone monitoring failed (-50).");
}

TEST(MicrophoneActivityMonitorFailure, SilentSoundServerTimesOut)
{
    // A socket that accepts connections and never answers, like a hung server.
    QTemporaryDir directory;
    const QByteArray path = directory.filePath("native").toUtf8();
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.constData(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    MicrophoneActivityMonitorServerOverride server("unix:" + path);

    const auto started = std::chrono::steady_clock::now();
    try {
        MicrophoneActivityMonitor::activeExternalClients(200ms);
        ADD_FAILURE() << "expected SoundServerMonitorError";
    } catch (const SoundServerMonitorError& error) {
        EXPECT_EQ(error.status(), PA_ERR_TIMEOUT);
        EXPECT_GE(std::chrono::steady_clock::now() - started, 200ms);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    }
    close(listener);
}

TEST(MicrophoneActivityMonitorIgnoreRule, IgnoresKnownBundleIdentifiersInAnyCase)
{
    EXPECT_TRUE(
        MicrophoneActivityMonitor::shouldIgnore(QStringLiteral("Live"), QStringLiteral("COM.ABLETON.LIVE")));
    EXPECT_TRUE(MicrophoneActivityMonitor::shouldIgnore(
        QStringLiteral("x"), QStringLiteral("com.pioneerdj.rekordboxdj")));
    EXPECT_TRUE(MicrophoneActivityMonitor::shouldIgnore(
        QStringLiteral("x"), QStringLiteral("com.rogueamoeba.audiohijack")));
    EXPECT_TRUE(MicrophoneActivityMonitor::shouldIgnore(
        QStringLiteral("x"), QStringLiteral("com.rogueamoeba.arkaudiod")));
    EXPECT_TRUE(MicrophoneActivityMonitor::shouldIgnore(QStringLiteral("x"), QStringLiteral("easyeffects")));
    EXPECT_FALSE(
        MicrophoneActivityMonitor::shouldIgnore(QStringLiteral("Live"), QStringLiteral("com.ableton.live2")));
    EXPECT_FALSE(MicrophoneActivityMonitor::shouldIgnore(QStringLiteral("Zoom"), std::nullopt));
}

TEST(MicrophoneActivityMonitorIgnoreRule, RekordboxOnlyByItsExactName)
{
    EXPECT_TRUE(MicrophoneActivityMonitor::shouldIgnore(QStringLiteral("Rekordbox"), std::nullopt));
    EXPECT_FALSE(MicrophoneActivityMonitor::shouldIgnore(QStringLiteral("Rekordbox 6"), std::nullopt));
    EXPECT_FALSE(MicrophoneActivityMonitor::shouldIgnore(QStringLiteral("rekordbox_"), std::nullopt));
}

TEST(MicrophoneActivityMonitorIgnoreRule, IgnoresAudioRoutingNamesAndIdentifiers)
{
    EXPECT_TRUE(
        MicrophoneActivityMonitor::shouldIgnore(QStringLiteral("Audio_Routing Helper"), std::nullopt));
    EXPECT_TRUE(MicrophoneActivityMonitor::shouldIgnore(QStringLiteral("MyAudioRoutingKit"), std::nullopt));
    EXPECT_TRUE(MicrophoneActivityMonitor::shouldIgnore(
        QStringLiteral("Agent"), QStringLiteral("com.example.audio.routing.agent")));
    EXPECT_TRUE(MicrophoneActivityMonitor::shouldIgnore(
        QStringLiteral("Agent"), QStringLiteral("org.AudioRoutingd")));
    EXPECT_FALSE(MicrophoneActivityMonitor::shouldIgnore(
        QStringLiteral("Audio Router"), QStringLiteral("org.audio.router")));
}

TEST(MicrophoneClientValue, EqualOnlyWhenBothFieldsAreEqual)
{
    const MicrophoneClient client { .processID = 42, .name = QStringLiteral("Call") };
    const QSet<MicrophoneClient> clients {
        client,
        { .processID = 42, .name = QStringLiteral("Call") },
        { .processID = 43, .name = QStringLiteral("Call") },
        { .processID = 42, .name = QStringLiteral("call") },
    };
    EXPECT_EQ(clients.size(), 3);
    EXPECT_EQ(std::hash<MicrophoneClient> {}(client),
        std::hash<MicrophoneClient> {}({ .processID = 42, .name = QStringLiteral("Call") }));
}
