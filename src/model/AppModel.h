#pragma once

// The application model: the one observable object the window reads and whose
// operations it calls. It lives on the main thread for the life of the process
// and owns the settings, the API client, the server's transcript list and the
// copy of the pending jobs on disk. Its asynchronous operations are coroutines
// that suspend on the network and resume on the main thread; isBusy is the
// advisory guard the window, the microphone monitor and the recorder's
// interruption callback test before starting one.
//
// The recording session (AppModelSession.cpp) owns the one Recorder; the
// automatic recording (AppModelAutoRecord.cpp) runs one monitor task for the
// life of the model, one check then a pause; the adoption of captures left
// by a crashed run (AppModelAdoption.cpp) runs once, right after start-up.
//
// Notification rule: writing a value equal to the current one stores it
// without emitting; recordings and pendingRecordings emit on every write;
// side effects (writing a setting) run on every write, equal or not.

#include "api/ServerTexts.h"
#include "api/WireRecords.h"
#include "capture/InputLevels.h"
#include "capture/MicrophoneClient.h"
#include "core/Date.h"
#include "model/SettingsStore.h"
#include "store/PendingRecording.h"

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QUuid>

#include <QCoroTask>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class APIClient;
class Recorder;
struct ImportProgress;
class RecordingLock;
namespace CaptureAdoption {
struct Orphan;
}

class AppModel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString emailTo READ emailTo WRITE setEmailTo NOTIFY emailToChanged)
    Q_PROPERTY(QString server READ server WRITE setServer NOTIFY serverChanged)
    Q_PROPERTY(std::vector<Recording> recordings READ recordings NOTIFY recordingsChanged)
    Q_PROPERTY(bool diarizationEnabled READ diarizationEnabled WRITE setDiarizationEnabled NOTIFY
            diarizationEnabledChanged)
    Q_PROPERTY(std::vector<PendingRecording> pendingRecordings READ pendingRecordings NOTIFY
            pendingRecordingsChanged)
    Q_PROPERTY(bool isRecording READ isRecording NOTIFY isRecordingChanged)
    Q_PROPERTY(bool isBusy READ isBusy NOTIFY isBusyChanged)
    Q_PROPERTY(bool isPreviewing READ isPreviewing WRITE setPreviewing NOTIFY isPreviewingChanged)
    Q_PROPERTY(bool autoRecordEnabled READ autoRecordEnabled NOTIFY autoRecordEnabledChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(std::optional<QString> errorMessage READ errorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(std::optional<QString> captureWarning READ captureWarning NOTIFY captureWarningChanged)
    Q_PROPERTY(bool isSignedIn READ isSignedIn NOTIFY isSignedInChanged)
    Q_PROPERTY(std::optional<QUrl> signInAddress READ signInAddress NOTIFY signInAddressChanged)

public:
    // Opens a web page in the user's browser; false when it could not.
    using OpenUrl = std::function<bool(const QUrl&)>;

    // The server used when none is stored: an https URL with no path.
    static const QString kDefaultServer;
    // The URL of a server address exactly as typed: http or https, with a host.
    static std::optional<QUrl> checkedServerURL(const QString& text);

    // The pause after each check of the microphone, on the monotonic clock.
    static constexpr std::chrono::milliseconds kMonitorPause { 1'000 };
    // Consecutive checks without a triggering client before an automatic stop.
    static constexpr int kIdleChecksBeforeStop = 2;
    // How often a server that could not be reached is asked again, while
    // jobs wait for it; once it answers they are transcribed by themselves.
    static constexpr std::chrono::milliseconds kServerProbeInterval { 30'000 };

    // Reads the settings, loads the pending jobs and the stored token, adopts
    // captures a crashed run left behind and starts the microphone monitor;
    // sends no request. openUrl shows the sign-in page (the window passes the
    // desktop's browser); without it the address is only shown, to be copied.
    explicit AppModel(OpenUrl openUrl = {}, QObject* parent = nullptr);
    ~AppModel() override;

    const QString& emailTo() const { return m_emailTo; }
    // Also writes "transcriptEmail", even when the text is unchanged.
    void setEmailTo(const QString& emailTo);
    const QString& server() const { return m_server; }
    // Only the field: the text is checked and stored at the next sign-in.
    void setServer(const QString& server);
    const std::vector<Recording>& recordings() const { return m_recordings; }
    bool diarizationEnabled() const { return m_diarizationEnabled; }
    // Also writes "diarizationEnabled", even when the value is unchanged.
    void setDiarizationEnabled(bool enabled);
    const std::vector<PendingRecording>& pendingRecordings() const { return m_pendingRecordings; }
    bool isRecording() const { return m_isRecording; }
    // When the running recording started, for its elapsed time.
    std::optional<Date> recordingStartedAt() const
    {
        return m_isRecording ? m_recordingStartedAt : std::nullopt;
    }
    // The levels of the running recording since the last call, for the meters.
    InputLevels takeInputLevels();
    bool isBusy() const { return m_isBusy; }
    // True from construction until the captures a crashed run left behind
    // have become jobs (or failed to); pendingRecordings grows when it ends.
    bool isAdoptingCaptures() const { return m_isAdoptingCaptures; }
    bool isPreviewing() const { return m_isPreviewing; }
    void setPreviewing(bool previewing);
    bool autoRecordEnabled() const { return m_autoRecordEnabled; }
    const QString& status() const { return m_status; }
    const std::optional<QString>& errorMessage() const { return m_errorMessage; }
    const std::optional<QString>& captureWarning() const { return m_captureWarning; }
    // True exactly when the client holds a token.
    bool isSignedIn() const;
    // The texts for the server typed in (the one a sign-in would use), or the
    // one in use while the typed text is no server address.
    ServerTexts serverTexts() const;

    // User actions. They never throw: a failure ends in errorMessage and the
    // status "Failed".
    QCoro::Task<void> refresh();
    QCoro::Task<void> signIn();
    // The page of a sign-in that waits for the browser; absent otherwise.
    const std::optional<QUrl>& signInAddress() const { return m_signInAddress; }
    // Ends a waiting sign-in within a poll; the user stays signed out.
    void cancelSignIn();
    void signOut();

    // The recording session. triggeredBy is empty for a manual start and
    // names the clients that made the monitor start it otherwise.
    QCoro::Task<void> startRecording(std::vector<MicrophoneClient> triggeredBy);
    // Does nothing while busy or not recording. Turns the capture into a
    // pending job on disk, then transcribes it.
    QCoro::Task<void> stopAndTranscribe();
    QCoro::Task<void> retryPending(PendingRecording job);
    QCoro::Task<void> retryWithoutSpeakers(PendingRecording job);
    QCoro::Task<void> deleteRecording(Recording recording);
    // Edits a transcript on the server from the recording as the caller saw
    // it (its version); the answer replaces it in recordings. A rename of a
    // speaker turns every turn of `from` into `to`.
    QCoro::Task<void> renameSpeaker(Recording recording, QString from, QString to);
    QCoro::Task<void> editRecording(
        Recording recording, std::optional<QString> title, std::optional<QString> transcript);
    // Converts an audio or video file made elsewhere into a pending job and
    // transcribes it like a stopped recording; speakers and email default to
    // the settings. Does nothing while busy; refused while recording. A file
    // a pending job was already imported from sets captureWarning.
    QCoro::Task<void> importRecording(QString path, std::optional<bool> speakers = std::nullopt,
        std::optional<QString> email = std::nullopt);
    // Moves the job folder to the Trash; does nothing while busy, recording
    // or previewing.
    void discardPending(const PendingRecording& job);
    // Persists the switch; the monitor reads it on every check.
    void setAutoRecordEnabled(bool enabled);

signals:
    void emailToChanged();
    void serverChanged();
    void recordingsChanged();
    void diarizationEnabledChanged();
    void pendingRecordingsChanged();
    void isRecordingChanged();
    void isBusyChanged();
    void captureAdoptionFinished();
    void isPreviewingChanged();
    void autoRecordEnabledChanged();
    void statusChanged();
    void errorMessageChanged();
    void captureWarningChanged();
    void isSignedInChanged();
    void signInAddressChanged();
    // The monitor started a recording by itself, named after the first client.
    void automaticRecordingStarted(QString clientName);
    // The monitor stopped its recording because the clients went away.
    void automaticRecordingStopped();

protected:
    using Operation = std::function<QCoro::Task<void>()>;

    // Tests only: monitorPause absent leaves the monitor task unstarted, so a
    // test drives handleMicrophoneActivity() itself.
    AppModel(
        OpenUrl openUrl, std::optional<std::chrono::milliseconds> monitorPause, QObject* parent = nullptr);

    // The busy wrapper around every user action: isBusy while it runs, the
    // error cleared at the start, text as the status; a failure of any kind
    // becomes errorMessage and the status "Failed". Does not test isBusy.
    QCoro::Task<void> perform(QString text, Operation operation);
    // Checks server exactly as typed; when it passes, stores it and points the
    // client at it, otherwise throws APIClientError("Enter a valid server URL.").
    // Another server than the one that issued the token signs out.
    void updateServer();
    // Replaces recordings with the server's list and shows the count as status.
    QCoro::Task<void> refreshRecordings();

    APIClient& client() { return *m_client; }
    Recorder& recorder() { return *m_recorder; }

    // Transcribes the job, lists the saved transcript first and removes the
    // job folder; runs inside its caller's busy state.
    QCoro::Task<void> finishPending(PendingRecording job);
    // One check of the monitor with the clients using the microphone now.
    QCoro::Task<void> handleMicrophoneActivity(std::vector<MicrophoneClient> clients);
    bool isAutoRecording() const { return m_isAutoRecording; }
    void setServerProbeInterval(std::chrono::milliseconds interval) { m_serverProbe.setInterval(interval); }
    const QSet<qint32>& autoTriggerProcessIDs() const { return m_autoTriggerProcessIDs; }
    int autoInactiveTicks() const { return m_autoInactiveTicks; }

    void setRecordings(std::vector<Recording> recordings);
    void setStatus(const QString& status);
    void setErrorMessage(const std::optional<QString>& errorMessage);

private:
    // Stores value; emits only when it differs from the current one.
    template <typename T, typename Signal> void assign(T& field, const T& value, Signal changed)
    {
        const bool differs = !(field == value);
        field = value;
        if (differs) {
            emit(this->*changed)();
        }
    }

    void setBusy(bool busy);
    static bool isOutOfReach(const std::exception_ptr& failure);
    // Notes whether the job waits for its server to come back, and asks
    // again every kServerProbeInterval while any does.
    void awaitServer(const QUuid& job, bool outOfReach);
    void probeServer();
    QCoro::Task<void> retryAwaitingJobs();
    void setRecording(bool recording);
    void setPendingRecordings(std::vector<PendingRecording> jobs);
    void setCaptureWarning(const std::optional<QString>& warning);
    void reloadPendingRecordings();

    // Session helpers (AppModelSession.cpp).
    struct RecordingAccount
    {
        QUuid id;
        // The server could not be reached; the id is the one it gave last.
        bool offline = false;
    };
    void installInterruptionCallback();
    // Holds the recording lock from the start until the job is on disk.
    QCoro::Task<void> startCapture(std::vector<MicrophoneClient> triggeredBy);
    QCoro::Task<void> startLockedCapture(std::vector<MicrophoneClient> triggeredBy);
    // The server's answer, or the remembered id when the server is out of reach.
    QCoro::Task<RecordingAccount> recordingAccount();
    // The account id the client's server gave last; absent forgets it.
    std::optional<QUuid> rememberedAccount() const;
    void rememberAccount(const std::optional<QUuid>& id);
    QCoro::Task<void> resumeJob(PendingRecording job);
    QCoro::Task<void> continueWithoutSpeakers(PendingRecording job);
    QCoro::Task<void> deleteFromServer(Recording recording);
    QCoro::Task<void> saveEdit(
        Recording recording, std::optional<QString> title, std::optional<QString> transcript, QString done);
    QCoro::Task<void> stopIntoJob();
    void clearRecordingFlags();
    PendingRecording newJob(const QUuid& id) const;

    // Import of a file made elsewhere (AppModelImport.cpp).
    QCoro::Task<void> importIntoJob(QString path, std::optional<bool> speakers, std::optional<QString> email);
    // Converts on the import thread, showing progress; returns when it was recorded.
    QCoro::Task<Date> convertForImport(QString source, QString converted);
    // The warning for a source some pending job was already imported from.
    std::optional<QString> importedBefore(const QString& source) const;

    // Automatic recording (AppModelAutoRecord.cpp).
    void startAutoMonitor(std::chrono::milliseconds pause);
    static QCoro::Task<void> runAutoMonitor(QPointer<AppModel> model, std::chrono::milliseconds pause);
    bool shouldCheckMicrophone() const;

    // Start-up adoption of crashed captures (AppModelAdoption.cpp).
    // The captures left behind, none while another process records: its
    // capture is live, not left behind.
    static std::vector<CaptureAdoption::Orphan> capturesNobodyRecords();
    QCoro::Task<void> adoptOrphanedCaptures(std::vector<CaptureAdoption::Orphan> orphans);

    // Emits isSignedInChanged when the client's token came or went since the
    // last call; the client changes its token inside waitForSignIn.
    void syncSignedIn();
    // Clears the stored token and the transcript list once the client has
    // dropped its token.
    void forgetSignIn();
    static QString describe(const std::exception_ptr& failure);

    SettingsStore m_settings;
    OpenUrl m_openUrl;
    QString m_emailTo;
    QString m_server;
    std::optional<QUrl> m_signInAddress;
    // Jobs whose last transcription failed because the server was out of reach.
    QSet<QUuid> m_awaitingServer;
    QTimer m_serverProbe;
    bool m_probing = false;
    bool m_signInCancelled = false;
    std::vector<Recording> m_recordings;
    bool m_diarizationEnabled = false;
    std::vector<PendingRecording> m_pendingRecordings;
    bool m_isRecording = false;
    bool m_isBusy = false;
    bool m_isAdoptingCaptures = false;
    bool m_isPreviewing = false;
    bool m_autoRecordEnabled = true;
    QString m_status;
    std::optional<QString> m_errorMessage;
    std::optional<QString> m_captureWarning;
    std::unique_ptr<Recorder> m_recorder;
    std::unique_ptr<RecordingLock> m_recordingLock;
    std::unique_ptr<APIClient> m_client;
    std::optional<QCoro::Task<void>> m_autoMonitorTask;
    QSet<qint32> m_autoTriggerProcessIDs;
    int m_autoInactiveTicks = 0;
    bool m_isAutoRecording = false;
    // Set while the monitor's own stop runs, so the stop can tell the window.
    bool m_monitorIsStopping = false;
    std::optional<QUuid> m_recordingUserID;
    std::optional<Date> m_recordingStartedAt;
    QString m_recordingEmail;
    bool m_recordingDiarization = false;
    bool m_signedIn = false;
    // Held while a conversion runs; the converter stops once it is gone.
    std::shared_ptr<ImportProgress> m_importProgress;
};
