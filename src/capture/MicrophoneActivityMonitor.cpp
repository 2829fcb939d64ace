#include "capture/MicrophoneActivityMonitor.h"

#include "capture/SoundServerMonitorError.h"

#include <QCollator>
#include <QSet>

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>
#include <pulse/proplist.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <functional>
#include <memory>
#include <vector>

namespace MicrophoneActivityMonitor {
namespace {

using Clock = std::chrono::steady_clock;

// Always-on audio tools whose identifiers are ignored. The first four hold
// the microphone open on every desktop they run on; the rest are the Linux
// effects and noise-suppression tools that keep a permanent capture stream.
// A stream's identifier is its "application.id", else its process binary,
// so both forms of the Linux tools are listed.
constexpr std::array kIgnoredBundleIdentifiers {
    QLatin1StringView("com.ableton.live"),
    QLatin1StringView("com.pioneerdj.rekordboxdj"),
    QLatin1StringView("com.rogueamoeba.audiohijack"),
    QLatin1StringView("com.rogueamoeba.arkaudiod"),
    QLatin1StringView("com.github.wwmm.easyeffects"),
    QLatin1StringView("easyeffects"),
    QLatin1StringView("com.github.wwmm.pulseeffects"),
    QLatin1StringView("pulseeffects"),
    QLatin1StringView("noisetorch"),
};

// Volume controls whose level meters record from every source.
constexpr std::array kLevelMeterApplicationIds {
    QLatin1StringView("org.PulseAudio.pavucontrol"),
    QLatin1StringView("org.gnome.VolumeControl"),
};

const QString kFallbackName = QStringLiteral("Microphone app");

// What one recording stream reported, copied out of the callback.
struct SoundServerStream
{
    uint32_t source = PA_INVALID_INDEX;
    uint32_t client = PA_INVALID_INDEX;
    bool corked = false;
    QByteArray resampleMethod;
    QByteArray mediaName;
    QByteArray processId;
    QByteArray applicationName;
    QByteArray applicationId;
    QByteArray processBinary;
    QByteArray captureSink;
    QByteArray streamMonitor;
    QByteArray nodeVirtual;
};

QByteArray property(const pa_proplist* properties, const char* key)
{
    const char* value = pa_proplist_gets(properties, key);
    return value ? QByteArray(value) : QByteArray();
}

bool isTrue(const QByteArray& value)
{
    return value == "true" || value == "1";
}

struct MainloopDeleter
{
    void operator()(pa_mainloop* mainloop) const { pa_mainloop_free(mainloop); }
};

struct ContextDeleter
{
    void operator()(pa_context* context) const
    {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};

struct OperationDeleter
{
    void operator()(pa_operation* operation) const
    {
        if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
            pa_operation_cancel(operation);
        }
        pa_operation_unref(operation);
    }
};

using OperationHandle = std::unique_ptr<pa_operation, OperationDeleter>;

// What the server listed in one check.
struct StreamList
{
    QSet<uint32_t> monitorSources;
    std::vector<SoundServerStream> streams;
    bool failed = false;
};

// One connection with a private main loop that never waits past the
// caller's deadline. It is kept between checks: connecting costs more than
// the two lists, which are asked afresh every time.
class SoundServerConnection
{
public:
    SoundServerConnection()
        : m_server(qgetenv("PULSE_SERVER"))
        , m_mainloop(pa_mainloop_new())
    {
        if (!m_mainloop) {
            throw SoundServerMonitorError(PA_ERR_INTERNAL);
        }
        m_context.reset(pa_context_new(pa_mainloop_get_api(m_mainloop.get()), "Tallisen"));
        if (!m_context) {
            throw SoundServerMonitorError(PA_ERR_INTERNAL);
        }
    }

    void connect(Clock::time_point deadline)
    {
        // Never start a sound server just to look at it.
        if (pa_context_connect(m_context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            fail();
        }
        iterateUntil(deadline, [this] { return contextSettled(); });
        if (pa_context_get_state(m_context.get()) != PA_CONTEXT_READY) {
            fail();
        }
    }

    // Still connected to the server the environment names now.
    bool isUsable() const
    {
        return pa_context_get_state(m_context.get()) == PA_CONTEXT_READY
            && m_server == qgetenv("PULSE_SERVER");
    }

    StreamList listStreams(Clock::time_point deadline)
    {
        StreamList list;
        // Both requests go out at once; the server answers them in order.
        OperationHandle sources(pa_context_get_source_info_list(m_context.get(), &onSource, &list));
        OperationHandle outputs(
            pa_context_get_source_output_info_list(m_context.get(), &onSourceOutput, &list));
        if (!sources || !outputs) {
            fail();
        }
        iterateUntil(deadline, [&] {
            return list.failed || !PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context.get()))
                || (isFinished(sources) && isFinished(outputs));
        });
        if (list.failed || !isFinished(sources) || !isFinished(outputs)) {
            fail();
        }
        return list;
    }

private:
    static bool isFinished(const OperationHandle& operation)
    {
        return pa_operation_get_state(operation.get()) == PA_OPERATION_DONE;
    }

    bool contextSettled() const
    {
        const pa_context_state_t state = pa_context_get_state(m_context.get());
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    }

    void iterateUntil(Clock::time_point deadline, const std::function<bool()>& done)
    {
        while (!done()) {
            const auto remaining
                = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
            if (remaining.count() <= 0) {
                throw SoundServerMonitorError(PA_ERR_TIMEOUT);
            }
            const int timeoutUs = static_cast<int>(std::min<long long>(remaining.count(), INT_MAX));
            if (pa_mainloop_prepare(m_mainloop.get(), timeoutUs) < 0 || pa_mainloop_poll(m_mainloop.get()) < 0
                || pa_mainloop_dispatch(m_mainloop.get()) < 0) {
                throw SoundServerMonitorError(PA_ERR_INTERNAL);
            }
        }
    }

    [[noreturn]] void fail() const
    {
        const int status = pa_context_errno(m_context.get());
        throw SoundServerMonitorError(status != PA_OK ? status : PA_ERR_UNKNOWN);
    }

    static void onSource(pa_context*, const pa_source_info* info, int eol, void* userdata)
    {
        auto* list = static_cast<StreamList*>(userdata);
        if (eol < 0) {
            list->failed = true;
            return;
        }
        if (info && info->monitor_of_sink != PA_INVALID_INDEX) {
            list->monitorSources.insert(info->index);
        }
    }

    static void onSourceOutput(pa_context*, const pa_source_output_info* info, int eol, void* userdata)
    {
        auto* list = static_cast<StreamList*>(userdata);
        if (eol < 0) {
            list->failed = true;
            return;
        }
        if (!info) {
            return;
        }
        const pa_proplist* properties = info->proplist;
        list->streams.push_back({
            .source = info->source,
            .client = info->client,
            .corked = info->corked != 0,
            .resampleMethod = info->resample_method ? QByteArray(info->resample_method) : QByteArray(),
            .mediaName = property(properties, PA_PROP_MEDIA_NAME),
            .processId = property(properties, PA_PROP_APPLICATION_PROCESS_ID),
            .applicationName = property(properties, PA_PROP_APPLICATION_NAME),
            .applicationId = property(properties, PA_PROP_APPLICATION_ID),
            .processBinary = property(properties, PA_PROP_APPLICATION_PROCESS_BINARY),
            .captureSink = property(properties, "stream.capture.sink"),
            .streamMonitor = property(properties, "stream.monitor"),
            .nodeVirtual = property(properties, "node.virtual"),
        });
    }

    // The PULSE_SERVER the connection was made under; libpulse reads it at connect.
    QByteArray m_server;
    // Declared so that the context goes before its main loop.
    std::unique_ptr<pa_mainloop, MainloopDeleter> m_mainloop;
    std::unique_ptr<pa_context, ContextDeleter> m_context;
};

// The lists from this thread's kept connection. A connection that broke
// since the last check (the server restarted) is replaced once, within the
// same deadline; a server that does not answer in time is not asked twice.
StreamList listStreams(Clock::time_point deadline)
{
    thread_local std::unique_ptr<SoundServerConnection> kept;
    if (kept && kept->isUsable()) {
        try {
            return kept->listStreams(deadline);
        } catch (const SoundServerMonitorError& error) {
            kept.reset();
            if (error.status() == PA_ERR_TIMEOUT) {
                throw;
            }
        }
    }
    kept.reset();
    auto fresh = std::make_unique<SoundServerConnection>();
    fresh->connect(deadline);
    StreamList list = fresh->listStreams(deadline);
    kept = std::move(fresh);
    return list;
}

bool isLevelMeter(const SoundServerStream& stream)
{
    // pavucontrol's meters ask for peak detection, which the server serves
    // with the "peaks" resampler whatever language the stream is named in.
    if (stream.mediaName == "Peak detect" || stream.resampleMethod == "peaks") {
        return true;
    }
    return std::ranges::any_of(kLevelMeterApplicationIds,
        [&stream](QLatin1StringView meter) { return stream.applicationId == meter; });
}

// Running input from a real microphone: not paused, not a module's own
// stream, not a recording of what the speakers play, not a meter.
bool isRunningInput(const SoundServerStream& stream, const QSet<uint32_t>& monitorSources)
{
    return !stream.corked && stream.client != PA_INVALID_INDEX && !monitorSources.contains(stream.source)
        && !isTrue(stream.captureSink) && !isTrue(stream.streamMonitor) && !isTrue(stream.nodeVirtual)
        && !isLevelMeter(stream);
}

std::optional<qint32> processIdOf(const SoundServerStream& stream)
{
    bool ok = false;
    const int processId = stream.processId.toInt(&ok);
    if (!ok || processId <= 0) {
        return std::nullopt;
    }
    return processId;
}

std::optional<QString> bundleIdentifierOf(const SoundServerStream& stream)
{
    if (!stream.applicationId.isEmpty()) {
        return QString::fromUtf8(stream.applicationId);
    }
    if (!stream.processBinary.isEmpty()) {
        return QString::fromUtf8(stream.processBinary);
    }
    return std::nullopt;
}

QString nameOf(const SoundServerStream& stream, const std::optional<QString>& bundleIdentifier)
{
    if (!stream.applicationName.isEmpty()) {
        return QString::fromUtf8(stream.applicationName);
    }
    return bundleIdentifier.value_or(kFallbackName);
}

QList<MicrophoneClient> externalClients(const StreamList& list)
{
    const qint32 ownProcessId = getpid();
    QList<MicrophoneClient> clients;
    QSet<qint32> seen;
    for (const SoundServerStream& stream : list.streams) {
        if (!isRunningInput(stream, list.monitorSources) || stream.applicationId == kOwnApplicationId) {
            continue;
        }
        const std::optional<qint32> processId = processIdOf(stream);
        if (!processId || *processId == ownProcessId || seen.contains(*processId)) {
            continue;
        }
        const std::optional<QString> bundleIdentifier = bundleIdentifierOf(stream);
        const QString name = nameOf(stream, bundleIdentifier);
        if (shouldIgnore(name, bundleIdentifier)) {
            continue;
        }
        seen.insert(*processId);
        clients.append({ .processID = *processId, .name = name });
    }
    return clients;
}

} // namespace

QList<MicrophoneClient> activeExternalClients(std::chrono::milliseconds timeout)
{
    QList<MicrophoneClient> clients = externalClients(listStreams(Clock::now() + timeout));

    // A collator loads the locale's rules when made: once per thread is enough.
    thread_local const QCollator collator = [] {
        QCollator made;
        made.setCaseSensitivity(Qt::CaseInsensitive);
        return made;
    }();
    std::ranges::stable_sort(clients, [](const MicrophoneClient& left, const MicrophoneClient& right) {
        return collator.compare(left.name, right.name) < 0;
    });
    return clients;
}

bool shouldIgnore(const QString& name, const std::optional<QString>& bundleIdentifier)
{
    const QString bundle = bundleIdentifier.value_or(QString()).toLower();
    if (std::ranges::any_of(
            kIgnoredBundleIdentifiers, [&bundle](QLatin1StringView ignored) { return bundle == ignored; })) {
        return true;
    }
    const QString normalisedName = name.toLower().replace(u'_', u' ');
    return normalisedName == u"rekordbox" || normalisedName.contains(u"audio routing")
        || normalisedName.contains(u"audioroutingkit") || bundle.contains(u"audiorouting")
        || bundle.contains(u"audio.routing");
}

} // namespace MicrophoneActivityMonitor
