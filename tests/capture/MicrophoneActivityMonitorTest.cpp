#include "capture/MicrophoneActivityMonitor.h"

#include "capture/SoundServerMonitorError.h"
#include "support/Parec.h"
#include "support/TemporaryXdg.h"

#include "SoundServer.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/stream.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

constexpr int kSettleMs = 10'000;

// Process ids of every recording stream the server holds, as pactl sees them.
QSet<qint32> sourceOutputProcessIds()
{
    const QString listing = SoundServer::pactl({ QStringLiteral("list"), QStringLiteral("source-outputs") });
    static const QRegularExpression pattern(QStringLiteral(R"re(application\.process\.id = "(\d+)")re"));
    QSet<qint32> ids;
    for (const auto& match : pattern.globalMatch(listing)) {
        ids.insert(match.captured(1).toInt());
    }
    return ids;
}

bool waitForSourceOutputOf(qint32 processId)
{
    return QTest::qWaitFor([processId] { return sourceOutputProcessIds().contains(processId); }, kSettleMs);
}

// The clients among the given processes, in the order the monitor returned
// them, so streams of other tests running at the same time do not matter.
QList<MicrophoneClient> clientsAmong(const QSet<qint32>& processIds)
{
    QList<MicrophoneClient> clients = MicrophoneActivityMonitor::activeExternalClients(5s);
    clients.removeIf([&](const MicrophoneClient& client) { return !processIds.contains(client.processID); });
    return clients;
}

bool isListed(qint32 processId)
{
    return !clientsAmong({ processId }).isEmpty();
}

struct StreamOptions
{
    QByteArray name = "Test Client";
    QByteArray applicationId;
    std::optional<QByteArray> processBinary;
    QByteArray device = "fakemic";
    QByteArray mediaName = "Recording";
    std::vector<std::pair<QByteArray, QByteArray>> properties;
    pa_stream_flags_t flags = PA_STREAM_NOFLAGS;
    // pavucontrol's meters record 25 float samples a second.
    bool meterFormat = false;
    int streamCount = 1;
};

// libpulse in the calling process on a private main loop: connects and opens
// the recording streams. Given a process id, it tells the server it is that
// process, as another program would (the server takes the client's word),
// so one test process can stand for many; ids above the kernel's largest
// cannot belong to a real process.
class PulseClient
{
public:
    explicit PulseClient(const StreamOptions& options, std::optional<qint32> processId = std::nullopt)
        : m_mainloop(pa_mainloop_new())
    {
        pa_proplist* properties = pa_proplist_new();
        pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, options.name.constData());
        if (!options.applicationId.isEmpty()) {
            pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, options.applicationId.constData());
        }
        if (options.processBinary) {
            pa_proplist_sets(
                properties, PA_PROP_APPLICATION_PROCESS_BINARY, options.processBinary->constData());
        }
        if (processId) {
            pa_proplist_sets(
                properties, PA_PROP_APPLICATION_PROCESS_ID, QByteArray::number(*processId).constData());
        }
        m_context = pa_context_new_with_proplist(pa_mainloop_get_api(m_mainloop), nullptr, properties);
        pa_proplist_free(properties);
        pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
        m_ready = iterateUntil([this] { return pa_context_get_state(m_context) == PA_CONTEXT_READY; });
        for (int i = 0; m_ready && i < options.streamCount; ++i) {
            m_ready = openStream(options);
        }
    }
    PulseClient(const PulseClient&) = delete;
    PulseClient& operator=(const PulseClient&) = delete;
    ~PulseClient()
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

    bool setCorked(bool corked)
    {
        for (pa_stream* stream : m_streams) {
            pa_operation_unref(pa_stream_cork(stream, corked ? 1 : 0, nullptr, nullptr));
        }
        // A round trip after the corks means the server has applied them.
        bool done = false;
        pa_operation_unref(pa_context_get_server_info(
            m_context,
            [](pa_context*, const pa_server_info*, void* flag) { *static_cast<bool*>(flag) = true; }, &done));
        return iterateUntil([&done] { return done; });
    }

private:
    bool openStream(const StreamOptions& options)
    {
        const pa_sample_spec format = options.meterFormat ? pa_sample_spec { PA_SAMPLE_FLOAT32LE, 25, 1 }
                                                          : pa_sample_spec { PA_SAMPLE_S16LE, 44100, 2 };
        pa_proplist* properties = pa_proplist_new();
        pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, options.mediaName.constData());
        for (const auto& [key, value] : options.properties) {
            pa_proplist_sets(properties, key.constData(), value.constData());
        }
        pa_stream* stream = pa_stream_new_with_proplist(m_context, nullptr, &format, nullptr, properties);
        pa_proplist_free(properties);
        if (!stream) {
            return false;
        }
        m_streams.push_back(stream);
        return pa_stream_connect_record(stream, options.device.constData(), nullptr, options.flags) == 0
            && iterateUntil([stream] { return pa_stream_get_state(stream) == PA_STREAM_READY; });
    }

    bool iterateUntil(const std::function<bool()>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSettleMs);
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

// Points libpulse at another server address for one scope.
class ServerOverride
{
public:
    explicit ServerOverride(const QString& server)
        : m_saved(
            qEnvironmentVariableIsSet("PULSE_SERVER") ? std::optional(qgetenv("PULSE_SERVER")) : std::nullopt)
    {
        qputenv("PULSE_SERVER", server.toUtf8());
    }
    ServerOverride(const ServerOverride&) = delete;
    ServerOverride& operator=(const ServerOverride&) = delete;
    ~ServerOverride() { m_saved ? qputenv("PULSE_SERVER", *m_saved) : qunsetenv("PULSE_SERVER"); }

private:
    std::optional<QByteArray> m_saved;
};

StreamOptions named(const QByteArray& name)
{
    return StreamOptions { .name = name };
}

} // namespace

// Listed from several threads at once alike, until it stops.
TEST(MicrophoneActivityMonitorLive, ParecOnTheMicrophoneIsListedWithItsProcessAndNameUntilItStops)
{
    Parec parec(QStringLiteral("Meeting Client"));
    const qint32 processId = parec.processID();
    ASSERT_TRUE(QTest::qWaitFor([processId] { return isListed(processId); }, kSettleMs));

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
        EXPECT_TRUE(result.contains(
            MicrophoneClient { .processID = processId, .name = QStringLiteral("Meeting Client") }));
    }
    EXPECT_EQ(clientsAmong({ processId }).size(), 1);

    parec.stop();
    EXPECT_TRUE(QTest::qWaitFor([processId] { return !isListed(processId); }, kSettleMs));
}

// Every kind of stream at once, Tallisen's own among them: which are calls,
// under which name, and in which order (by name, ignoring case, whatever
// order they started in). A paused stream counts only while it runs.
TEST(MicrophoneActivityMonitorLive, OnlyRunningCallsAreListedByTheirNamesInAStableOrder)
{
    constexpr int kIgnored = -1;
    // A listed stream's label is the name it must be listed under.
    const struct
    {
        const char* label;
        StreamOptions options;
        int position; // in the monitor's list, or kIgnored
    } cases[] = {
        { "paused", { .name = "Paused Call", .flags = PA_STREAM_START_CORKED }, kIgnored },
        { "meter",
            { .name = "Meter",
                .mediaName = "Peak detect",
                .flags = PA_STREAM_PEAK_DETECT,
                .meterFormat = true },
            kIgnored },
        // A translated meter name still asks for peak detection.
        { "translated meter",
            { .name = "Meter",
                .mediaName = "Spitzenwerterkennung",
                .flags = PA_STREAM_PEAK_DETECT,
                .meterFormat = true },
            kIgnored },
        { "gamma", named("gamma"), 24 },
        { "pavucontrol", { .name = "Volume Control", .applicationId = "org.PulseAudio.pavucontrol" },
            kIgnored },
        { "GNOME volume", { .name = "Sound", .applicationId = "org.gnome.VolumeControl" }, kIgnored },
        { "stream monitor", { .name = "Monitor Node", .properties = { { "stream.monitor", "true" } } },
            kIgnored },
        { "Alpha", named("Alpha"), 0 },
        { "virtual node", { .name = "Virtual Node", .properties = { { "node.virtual", "true" } } },
            kIgnored },
        { "sink capture", { .name = "Sink Capture", .properties = { { "stream.capture.sink", "true" } } },
            kIgnored },
        // Recording what the speakers play, or the microphone's feed, is no call.
        { "speaker monitor", { .name = "Screen Recorder", .device = "speaker.monitor" }, kIgnored },
        { "loopback", { .name = "Loopback Reader", .device = "micfeed.monitor" }, kIgnored },
        { "Easy Effects", { .name = "Easy Effects", .applicationId = "com.github.wwmm.easyeffects" },
            kIgnored },
        { "router", named("Audio_Routing Helper"), kIgnored },
        { "Live", { .name = "Live", .applicationId = "COM.ABLETON.LIVE" }, kIgnored },
        { "Delta", named("Delta"), 3 },
        // Without a name: the identifier, else the binary, else a generic name.
        { "org.example.Meet", { .name = "", .applicationId = "org.example.Meet" }, 27 },
        { "meet-client", { .name = "", .processBinary = "meet-client" }, 25 },
        { "Microphone app", { .name = "", .processBinary = "" }, 26 },
        { "beta", named("beta"), 1 },
        { "Call", named("Call"), 2 },
        // Several streams of one process count once.
        { "Two Streams", { .name = "Two Streams", .streamCount = 2 }, 29 },
        // A program merely named Tallisen counts.
        { "Tallisen", named("Tallisen"), 28 },
    };
    constexpr qint32 kFirstProcessId = 1'000'000'000;
    std::vector<std::unique_ptr<PulseClient>> clients;
    QSet<qint32> processIds;
    QList<MicrophoneClient> expected(30);
    const auto open = [&](const StreamOptions& options, int position, const QString& name) {
        const qint32 processId = kFirstProcessId + qint32(clients.size());
        clients.push_back(std::make_unique<PulseClient>(options, processId));
        ASSERT_TRUE(clients.back()->isReady()) << name.toStdString();
        processIds.insert(processId);
        if (position != kIgnored) {
            expected[position] = { .processID = processId, .name = name };
        }
    };
    for (const auto& test : cases) {
        open(test.options, test.position, test.label);
    }
    // Names equal but for case keep the server's order: enough of them that an
    // unstable sort would shuffle them.
    for (int i = 0; i < 20; ++i) {
        const QByteArray name = i % 2 == 0 ? "echo" : "Echo";
        open(named(name), 4 + i, QString::fromUtf8(name));
    }
    // Neither this process's streams nor the captures of another Tallisen
    // process count.
    PulseClient own(named("Tallisen"));
    ASSERT_TRUE(own.isReady());
    ASSERT_TRUE(sourceOutputProcessIds().contains(getpid()));
    TemporaryXdg xdg;
    QProcess tallisen;
    tallisen.start(QStringLiteral(CAPTURE_CHILD_PATH), {});
    ASSERT_TRUE(tallisen.waitForReadyRead(15000)) << tallisen.readAllStandardError().toStdString();
    const auto tallisenId = static_cast<qint32>(tallisen.processId());
    ASSERT_TRUE(waitForSourceOutputOf(tallisenId));
    processIds.unite({ getpid(), tallisenId });

    EXPECT_EQ(clientsAmong(processIds), expected);
    tallisen.kill();
    tallisen.waitForFinished(5000);

    PulseClient& paused = *clients.front();
    ASSERT_TRUE(paused.setCorked(false));
    EXPECT_TRUE(isListed(kFirstProcessId));
    ASSERT_TRUE(paused.setCorked(true));
    EXPECT_FALSE(isListed(kFirstProcessId));
}

// Each thread keeps its connection between checks; one that broke is made
// again, so a restarted server does not end automatic recording.
TEST(MicrophoneActivityMonitorLive, ARestartedSoundServerIsReachedAgain)
{
    SoundServer::Private server;
    ServerOverride override(server.address());
    const auto reachable = [] {
        return QTest::qWaitFor(
            [] {
                try {
                    MicrophoneActivityMonitor::activeExternalClients();
                    return true;
                } catch (const SoundServerMonitorError&) {
                    return false;
                }
            },
            kSettleMs);
    };
    ASSERT_TRUE(reachable());

    server.kill();
    EXPECT_THROW(MicrophoneActivityMonitor::activeExternalClients(), SoundServerMonitorError)
        << "a kept connection answered for a server that is gone";
    server.restart();
    EXPECT_TRUE(reachable()) << "the restarted server was never reached";
}

TEST(MicrophoneActivityMonitorFailure, NoSoundServerThrowsItsStatusAndASilentOneTimesOut)
{
    QTemporaryDir directory;
    {
        ServerOverride server("unix:" + directory.filePath("absent"));
        try {
            MicrophoneActivityMonitor::activeExternalClients();
            ADD_FAILURE() << "expected SoundServerMonitorError";
        } catch (const SoundServerMonitorError& error) {
            EXPECT_EQ(error.status(), PA_ERR_CONNECTIONREFUSED);
            EXPECT_STREQ(error.what(), "Sound server microphone monitoring failed (6).");
        }
    }

    // A socket that accepts connections and never answers, like a hung server.
    const QByteArray path = directory.filePath("native").toUtf8();
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address { .sun_family = AF_UNIX, .sun_path = {} };
    std::strncpy(address.sun_path, path.constData(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ServerOverride server("unix:" + QString::fromUtf8(path));
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

TEST(MicrophoneActivityMonitorIgnoreRule, AlwaysOnAudioToolsByIdentifierInAnyCaseOrByName)
{
    const struct
    {
        const char* name;
        std::optional<QString> identifier;
        bool ignored;
    } cases[] = {
        { "Live", "COM.ABLETON.LIVE", true },
        { "x", "com.pioneerdj.rekordboxdj", true },
        { "x", "com.rogueamoeba.audiohijack", true },
        { "x", "com.rogueamoeba.arkaudiod", true },
        { "x", "easyeffects", true },
        { "Live", "com.ableton.live2", false },
        { "Zoom", std::nullopt, false },
        // Rekordbox only by its exact name.
        { "Rekordbox", std::nullopt, true },
        { "Rekordbox 6", std::nullopt, false },
        { "rekordbox_", std::nullopt, false },
        { "Audio_Routing Helper", std::nullopt, true },
        { "MyAudioRoutingKit", std::nullopt, true },
        { "Agent", "com.example.audio.routing.agent", true },
        { "Agent", "org.AudioRoutingd", true },
        { "Audio Router", "org.audio.router", false },
    };
    for (const auto& test : cases) {
        EXPECT_EQ(MicrophoneActivityMonitor::shouldIgnore(QString::fromLatin1(test.name), test.identifier),
            test.ignored)
            << test.name << " " << test.identifier.value_or("-").toStdString();
    }
}
