#pragma once

// The application model: the one observable object the window reads and whose
// operations it calls. It lives on the main thread for the life of the process
// and owns the settings, the API client, the server's transcript list and the
// copy of the pending jobs on disk. Its asynchronous operations are coroutines
// that suspend on the network and resume on the main thread; isBusy is the
// advisory guard the window (and later the monitor) test before starting one.
//
// Notification rule: writing a value equal to the current one stores it
// without emitting; recordings and pendingRecordings emit on every write;
// side effects (writing a setting) run on every write, equal or not.

#include "api/WireRecords.h"
#include "model/SettingsStore.h"
#include "store/PendingRecording.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <QCoroTask>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class APIClient;

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

public:
    // Opens a web page in the user's browser; false when it could not.
    using OpenUrl = std::function<bool(const QUrl&)>;

    // The server used when none is stored: an https URL with no path.
    static const QString kDefaultServer;

    // Reads the settings, loads the pending jobs and the stored token; sends
    // no request. Without openUrl the desktop's default browser is used.
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
    bool isBusy() const { return m_isBusy; }
    bool isPreviewing() const { return m_isPreviewing; }
    void setPreviewing(bool previewing);
    bool autoRecordEnabled() const { return m_autoRecordEnabled; }
    const QString& status() const { return m_status; }
    const std::optional<QString>& errorMessage() const { return m_errorMessage; }
    const std::optional<QString>& captureWarning() const { return m_captureWarning; }
    // True exactly when the client holds a token.
    bool isSignedIn() const;

    // User actions. They never throw: a failure ends in errorMessage and the
    // status "Failed".
    QCoro::Task<void> refresh();
    QCoro::Task<void> signIn();
    void signOut();

signals:
    void emailToChanged();
    void serverChanged();
    void recordingsChanged();
    void diarizationEnabledChanged();
    void pendingRecordingsChanged();
    void isRecordingChanged();
    void isBusyChanged();
    void isPreviewingChanged();
    void autoRecordEnabledChanged();
    void statusChanged();
    void errorMessageChanged();
    void captureWarningChanged();
    void isSignedInChanged();

protected:
    using Operation = std::function<QCoro::Task<void>()>;

    // The busy wrapper around every user action: isBusy while it runs, the
    // error cleared at the start, text as the status; a failure of any kind
    // becomes errorMessage and the status "Failed". Does not test isBusy.
    QCoro::Task<void> perform(QString text, Operation operation);
    // Checks server exactly as typed; when it passes, stores it and points the
    // client at it, otherwise throws APIClientError("Enter a valid server URL.").
    void updateServer();
    // Replaces recordings with the server's list and shows the count as status.
    QCoro::Task<void> refreshRecordings();

    APIClient& client() { return *m_client; }

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
    // Emits isSignedInChanged when the client's token came or went since the
    // last call; the client changes its token inside waitForSignIn.
    void syncSignedIn();
    static QString describe(const std::exception_ptr& failure);
    static std::optional<QUrl> checkedServerURL(const QString& text);

    SettingsStore m_settings;
    OpenUrl m_openUrl;
    QString m_emailTo;
    QString m_server;
    std::vector<Recording> m_recordings;
    bool m_diarizationEnabled = false;
    std::vector<PendingRecording> m_pendingRecordings;
    bool m_isRecording = false;
    bool m_isBusy = false;
    bool m_isPreviewing = false;
    bool m_autoRecordEnabled = true;
    QString m_status;
    std::optional<QString> m_errorMessage;
    std::optional<QString> m_captureWarning;
    std::unique_ptr<APIClient> m_client;
    bool m_signedIn = false;
};
