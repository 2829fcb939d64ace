#include "model/AppModel.h"

#include "api/APIClient.h"
#include "api/KeychainStore.h"
#include "capture/Recorder.h"
#include "core/APIClientError.h"
#include "model/CaptureAdoption.h"
#include "model/RecordingLock.h"

const QString AppModel::kDefaultServer = QStringLiteral(TALLISEN_DEFAULT_SERVER);

namespace {

const QString kFailed = QStringLiteral("Failed");

// Without a desktop the sign-in address is only shown, to be copied.
bool showAddressOnly(const QUrl&)
{
    return false;
}

QString transcriptCount(size_t count)
{
    return QString::number(count) + QStringLiteral(" transcript")
        + (count == 1 ? QString() : QStringLiteral("s"));
}

} // namespace

AppModel::AppModel(OpenUrl openUrl, QObject* parent)
    : AppModel(std::move(openUrl), kMonitorPause, parent)
{ }

AppModel::AppModel(OpenUrl openUrl, std::optional<std::chrono::milliseconds> monitorPause, QObject* parent)
    : QObject(parent)
    , m_openUrl(openUrl ? std::move(openUrl) : OpenUrl(showAddressOnly))
{
    m_emailTo = m_settings.string(SettingsStore::kTranscriptEmail).value_or(QString());
    m_server = m_settings.string(SettingsStore::kServer).value_or(kDefaultServer);
    m_diarizationEnabled = m_settings.boolean(SettingsStore::kDiarizationEnabled).value_or(false);
    m_pendingRecordings = PendingRecording::loadAll();
    // Listed now, before this run's recorder can leave captures of its own.
    std::vector<CaptureAdoption::Orphan> orphans = capturesNobodyRecords();
    m_status = QStringLiteral("Ready");

    m_recorder = std::make_unique<Recorder>();

    // Only text that passed updateServer() is ever stored; anything else was
    // written by hand, and the window should show what the client really uses.
    std::optional<QUrl> baseURL = checkedServerURL(m_server);
    if (!baseURL) {
        m_server = kDefaultServer;
        baseURL = QUrl(kDefaultServer);
    }
    m_client = std::make_unique<APIClient>(*baseURL, KeychainStore::loadToken(*baseURL));
    m_signedIn = isSignedIn();

    m_autoRecordEnabled = m_settings.boolean(SettingsStore::kAutoRecordEnabled).value_or(true);
    m_serverProbe.setInterval(kServerProbeInterval);
    connect(&m_serverProbe, &QTimer::timeout, this, &AppModel::probeServer);

    installInterruptionCallback();
    if (monitorPause) {
        startAutoMonitor(*monitorPause);
    }
    if (!orphans.empty()) {
        m_isAdoptingCaptures = true;
        QCoro::connect(adoptOrphanedCaptures(std::move(orphans)), this, [this] {
            m_isAdoptingCaptures = false;
            emit captureAdoptionFinished();
        });
    }
}

AppModel::~AppModel() = default;

void AppModel::setEmailTo(const QString& emailTo)
{
    assign(m_emailTo, emailTo, &AppModel::emailToChanged);
    m_settings.setString(SettingsStore::kTranscriptEmail, emailTo);
}

void AppModel::setServer(const QString& server)
{
    assign(m_server, server, &AppModel::serverChanged);
}

void AppModel::setDiarizationEnabled(bool enabled)
{
    assign(m_diarizationEnabled, enabled, &AppModel::diarizationEnabledChanged);
    m_settings.setBoolean(SettingsStore::kDiarizationEnabled, enabled);
}

void AppModel::setPreviewing(bool previewing)
{
    assign(m_isPreviewing, previewing, &AppModel::isPreviewingChanged);
}

bool AppModel::isSignedIn() const
{
    return m_client->token().has_value();
}

ServerTexts AppModel::serverTexts() const
{
    return ServerTexts::of(checkedServerURL(m_server).value_or(m_client->baseURL()));
}

void AppModel::cancelSignIn()
{
    if (m_signInAddress) {
        m_signInCancelled = true;
        m_client->cancelSignIn();
    }
}

QCoro::Task<void> AppModel::refresh()
{
    co_await perform(QStringLiteral("Loading transcripts…"), [this]() { return refreshRecordings(); });
}

QCoro::Task<void> AppModel::signIn()
{
    co_await perform(QStringLiteral("Opening %1…").arg(serverTexts().signIn), [this]() -> QCoro::Task<void> {
        updateServer();
        const SignInStart start = co_await m_client->prepareSignIn();
        // Shown while waiting, so it can be copied into a browser by hand.
        assign(m_signInAddress, std::optional(start.url), &AppModel::signInAddressChanged);
        setStatus(m_openUrl(start.url)
                ? QStringLiteral("Waiting for %1…").arg(serverTexts().signIn)
                : QStringLiteral("The browser did not open: copy the address into one to continue."));
        std::exception_ptr failure;
        m_signInCancelled = false;
        try {
            co_await m_client->waitForSignIn(start.code);
        } catch (...) {
            failure = std::current_exception();
        }
        assign(m_signInAddress, std::optional<QUrl>(), &AppModel::signInAddressChanged);
        // A token that reached the client but not the secret store still
        // signs the user in for this run.
        syncSignedIn();
        if (failure && !isSignedIn() && m_signInCancelled) {
            setStatus(QStringLiteral("Signed out"));
            co_return;
        }
        if (failure) {
            std::rethrow_exception(failure);
        }
        setStatus(QStringLiteral("Signed in"));
        // Known from now on, so a recording can start while the server is out
        // of reach; the new token may be another account's.
        rememberAccount(std::nullopt);
        rememberAccount(co_await m_client->currentUserID());
        co_await refreshRecordings();
    });
}

void AppModel::signOut()
{
    m_client->setToken(std::nullopt);
    forgetSignIn();
    setStatus(QStringLiteral("Signed out"));
}

void AppModel::forgetSignIn()
{
    KeychainStore::clearToken();
    syncSignedIn();
    setRecordings({});
}

QCoro::Task<void> AppModel::perform(QString text, Operation operation)
{
    setBusy(true);
    setErrorMessage(std::nullopt);
    setStatus(text);
    std::optional<QString> failure;
    try {
        co_await operation();
    } catch (...) {
        failure = describe(std::current_exception());
    }
    if (failure) {
        setErrorMessage(failure);
        setStatus(kFailed);
    }
    setBusy(false);
}

void AppModel::updateServer()
{
    const std::optional<QUrl> url = checkedServerURL(m_server);
    if (!url) {
        throw APIClientError(QStringLiteral("Enter a valid server URL."));
    }
    m_settings.setString(SettingsStore::kServer, m_server);
    const bool wasSignedIn = isSignedIn();
    m_client->setBaseURL(*url);
    // The client dropped a token of the old server; the stored one goes too.
    if (wasSignedIn && !isSignedIn()) {
        forgetSignIn();
    }
}

QCoro::Task<void> AppModel::refreshRecordings()
{
    std::vector<Recording> recordings = co_await m_client->listRecordings();
    const size_t count = recordings.size();
    // A list the server wrote before one of our edits landed must not undo it.
    for (Recording& listed : recordings) {
        const auto held = std::ranges::find(m_recordings, listed.id, &Recording::id);
        if (held != m_recordings.end() && held->version.value_or(0) > listed.version.value_or(0)) {
            listed = *held;
        }
    }
    setRecordings(std::move(recordings));
    setStatus(transcriptCount(count));
}

void AppModel::setRecordings(std::vector<Recording> recordings)
{
    m_recordings = std::move(recordings);
    emit recordingsChanged();
}

void AppModel::setStatus(const QString& status)
{
    assign(m_status, status, &AppModel::statusChanged);
}

void AppModel::setErrorMessage(const std::optional<QString>& errorMessage)
{
    assign(m_errorMessage, errorMessage, &AppModel::errorMessageChanged);
}

void AppModel::setBusy(bool busy)
{
    assign(m_isBusy, busy, &AppModel::isBusyChanged);
}

void AppModel::setRecording(bool recording)
{
    assign(m_isRecording, recording, &AppModel::isRecordingChanged);
}

void AppModel::setPendingRecordings(std::vector<PendingRecording> jobs)
{
    m_pendingRecordings = std::move(jobs);
    emit pendingRecordingsChanged();
}

void AppModel::setCaptureWarning(const std::optional<QString>& warning)
{
    assign(m_captureWarning, warning, &AppModel::captureWarningChanged);
}

void AppModel::reloadPendingRecordings()
{
    setPendingRecordings(PendingRecording::loadAll());
}

void AppModel::syncSignedIn()
{
    assign(m_signedIn, isSignedIn(), &AppModel::isSignedInChanged);
}

QString AppModel::describe(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const APIClientError& error) {
        return error.message();
    } catch (const std::exception& error) {
        return QString::fromUtf8(error.what());
    } catch (...) {
        return QStringLiteral("The operation failed for an unknown reason.");
    }
}

std::optional<QUrl> AppModel::checkedServerURL(const QString& text)
{
    // QUrl lower-cases the scheme and forgives stray blanks, so the scheme is
    // compared on the text exactly as typed.
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    const QString scheme = text.left(colon);
    if (colon < 0 || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        return std::nullopt;
    }
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) {
        return std::nullopt;
    }
    return url;
}
