#pragma once

// The window's content: account, options, the record button, the status, the
// pending jobs and the server's transcripts. It reads the model's properties,
// redraws on their change signals and calls the model's operations; beyond the
// enabling rules and the background refresh loop it holds no logic.

#include "api/WireRecords.h"
#include "store/PendingRecording.h"
#include "ui/RecordingPreview.h"
#include "ui/TranscriptPane.h"

#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <QCoroTask>

#include <chrono>
#include <optional>

class AppModel;
class QCheckBox;
class QLabel;
class QLineEdit;

class QProgressBar;
class QSplitter;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;

class ContentView : public QWidget
{
    Q_OBJECT

public:
    explicit ContentView(AppModel& model, QWidget* parent = nullptr);
    ~ContentView() override;

    // The background refresh loop's pause; 5 s unless a test shortens it.
    void setRefreshInterval(std::chrono::milliseconds interval);

    // The confirmations and the playback sheet currently shown, if any.
    QMessageBox* discardAlert() const { return m_discardAlert; }
    QMessageBox* deleteAlert() const { return m_deleteAlert; }
    RecordingPreview* preview() const { return m_preview; }
    // Null until a transcript is first opened.
    TranscriptPane* transcriptPane() const { return m_transcriptPane; }
    QLineEdit* transcriptFilter() const { return m_transcriptFilter; }

    // Entry points the toolbar, the tray and the keyboard share with the buttons.
    void toggleRecording();
    void refresh();
    // Ctrl+, : the settings are the fields above the record button.
    void focusSettings();
    void confirmDelete(const Recording& recording);
    // Shows the recording in the reading pane beside the list.
    void openTranscript(const Recording& recording);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void buildLayout();
    QWidget* buildAccountRow();
    QWidget* buildSignInAddressRow();
    QWidget* buildOptions();
    QWidget* buildStatusArea();
    QWidget* buildRecordingPanel();
    void updateRecordingPanel();
    void updateMeters();
    void updateAccount();
    void updateOptions();
    void updateRecordButton();
    void updateStatus();
    void rebuildPending();
    void rebuildRecordings();
    QWidget* pendingRow(const PendingRecording& job);
    QWidget* recordingRow(const Recording& recording);
    void filterRecordings();
    void syncTranscriptPane();
    void tick();
    bool someTranscriptPending() const;
    void confirmDiscard(const PendingRecording& job);
    void listen(const PendingRecording& job);
    void launch(QCoro::Task<void> task);

    AppModel& m_model;
    QTimer m_refreshTimer;

    QLabel* m_title = nullptr;
    QLineEdit* m_serverField = nullptr;
    QPushButton* m_signInButton = nullptr;
    QPushButton* m_signOutButton = nullptr;
    QWidget* m_signInAddressRow = nullptr;
    QLineEdit* m_signInAddressField = nullptr;
    QLineEdit* m_emailField = nullptr;
    QCheckBox* m_speakersSwitch = nullptr;
    QLabel* m_speakersCaption = nullptr;
    QCheckBox* m_autoRecordSwitch = nullptr;
    QPushButton* m_recordButton = nullptr;
    QLabel* m_recordHint = nullptr;
    QWidget* m_recordingPanel = nullptr;
    QLabel* m_elapsedLabel = nullptr;
    QProgressBar* m_systemMeter = nullptr;
    QProgressBar* m_microphoneMeter = nullptr;
    QTimer m_meterTimer;
    QProgressBar* m_progress = nullptr;
    QLabel* m_statusLabel = nullptr;
    QLabel* m_warningLabel = nullptr;
    QLabel* m_errorLabel = nullptr;
    QWidget* m_pendingSection = nullptr;
    QVBoxLayout* m_pendingRows = nullptr;
    QStackedWidget* m_recordingsStack = nullptr;
    QVBoxLayout* m_recordingRows = nullptr;
    QLineEdit* m_transcriptFilter = nullptr;
    QSplitter* m_splitter = nullptr;
    TranscriptPane* m_transcriptPane = nullptr;

    QPointer<QMessageBox> m_discardAlert;
    QPointer<QMessageBox> m_deleteAlert;
    QPointer<RecordingPreview> m_preview;
};
