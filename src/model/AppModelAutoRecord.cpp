// Automatic recording: a monitor task checks once a second which other
// applications use the microphone, starts a recording when one does and
// stops it two checks after the clients that started it have gone.

#include "model/AppModel.h"

#include "capture/MicrophoneActivityMonitor.h"
#include "core/WorkerThread.h"

#include <QCoroTimer>

namespace {

// The query blocks for up to its timeout when the sound server hangs, so it
// runs on a thread of its own. A failed query counts as no client at all.
QCoro::Task<std::vector<MicrophoneClient>> currentClients()
{
    static WorkerThread queryThread;
    return queryThread.run([]() -> std::vector<MicrophoneClient> {
        try {
            const QList<MicrophoneClient> clients = MicrophoneActivityMonitor::activeExternalClients();
            return { clients.begin(), clients.end() };
        } catch (...) {
            return {};
        }
    });
}

} // namespace

void AppModel::setAutoRecordEnabled(bool enabled)
{
    assign(m_autoRecordEnabled, enabled, &AppModel::autoRecordEnabledChanged);
    m_settings.setBoolean(SettingsStore::kAutoRecordEnabled, enabled);
    if (!enabled) {
        m_autoTriggerProcessIDs.clear();
        m_autoInactiveTicks = 0;
    }
    setStatus(
        enabled ? QStringLiteral("Watching for microphone use") : QStringLiteral("Automatic recording off"));
}

void AppModel::startAutoMonitor(std::chrono::milliseconds pause)
{
    m_autoMonitorTask.emplace(runAutoMonitor(QPointer<AppModel>(this), pause));
}

bool AppModel::shouldCheckMicrophone() const
{
    return m_autoRecordEnabled && isSignedIn();
}

QCoro::Task<void> AppModel::runAutoMonitor(QPointer<AppModel> model, std::chrono::milliseconds pause)
{
    // The model is held weakly: the loop ends once it is gone.
    while (model) {
        if (model->shouldCheckMicrophone()) {
            std::vector<MicrophoneClient> clients = co_await currentClients();
            // The switch or the sign-in may have changed while the query ran.
            if (model && model->shouldCheckMicrophone()) {
                co_await model->handleMicrophoneActivity(std::move(clients));
            }
        }
        if (!model) {
            co_return;
        }
        co_await QCoro::sleepFor(pause);
    }
}

QCoro::Task<void> AppModel::handleMicrophoneActivity(std::vector<MicrophoneClient> clients)
{
    if (m_isBusy || m_isPreviewing) {
        co_return;
    }
    if (!clients.empty() && !m_isRecording) {
        const QString name = clients.front().name;
        co_await startRecording(std::move(clients));
        if (m_isRecording && m_isAutoRecording) {
            emit automaticRecordingStarted(name);
        }
        co_return;
    }
    if (!m_isAutoRecording) {
        co_return;
    }
    const bool triggerStillActive = std::ranges::any_of(clients, [this](const MicrophoneClient& client) {
        return m_autoTriggerProcessIDs.contains(client.processID);
    });
    if (triggerStillActive) {
        m_autoInactiveTicks = 0;
        co_return;
    }
    ++m_autoInactiveTicks;
    if (m_autoInactiveTicks < kIdleChecksBeforeStop) {
        co_return;
    }
    m_monitorIsStopping = true;
    co_await stopAndTranscribe();
    m_monitorIsStopping = false;
}
