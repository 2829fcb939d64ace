#include "ui/ContentView.h"

#include "model/AppModel.h"
#include "ui/RecordingPreview.h"

#include <QCheckBox>
#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyle>
#include <QUrl>
#include <QVBoxLayout>

#include <QCoroTask>

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

constexpr std::chrono::milliseconds kRefreshInterval { 5000 };
constexpr std::chrono::milliseconds kMeterInterval { 100 };
// The meters show the top 60 dB: below that a source counts as silent.
constexpr int kMeterRangeDecibels = 60;

QIcon themedIcon(const char* name, QStyle::StandardPixmap fallback, const QWidget* widget)
{
    return QIcon::fromTheme(QString::fromLatin1(name), widget->style()->standardIcon(fallback));
}

void setColor(QWidget* widget, QPalette::ColorRole role, const QColor& color)
{
    QPalette palette = widget->palette();
    palette.setColor(role, color);
    widget->setPalette(palette);
}

QLabel* caption(const QString& text, QWidget* parent, bool secondary = true)
{
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    label->setWordWrap(true);
    if (secondary) {
        label->setForegroundRole(QPalette::PlaceholderText);
    }
    return label;
}

void clearLayout(QVBoxLayout* layout)
{
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            // A row may be rebuilt from inside one of its own button's signals:
            // take it out of the view now, free it once that signal has returned.
            widget->hide();
            widget->setParent(nullptr);
            widget->deleteLater();
        }
        delete item;
    }
}

// Calls back on a click anywhere in a row that its children do not take.
class ClickFilter : public QObject
{
public:
    ClickFilter(QWidget* row, std::function<void()> clicked)
        : QObject(row)
        , m_clicked(std::move(clicked))
    {
        row->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::MouseButtonRelease
            && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            m_clicked();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> m_clicked;
};

bool matchesFilter(const Recording& recording, const QString& filter)
{
    return recording.title.contains(filter, Qt::CaseInsensitive)
        || recording.transcript.contains(filter, Qt::CaseInsensitive);
}

// Shows the file selected in the desktop's file manager; without one, opens its folder.
void revealFile(const QString& path)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"), QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("ShowItems"));
    call << QStringList { QUrl::fromLocalFile(path).toString() } << QString();
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 3000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
    }
}

// Return or Escape in a destructive alert keeps everything: losing a
// meeting takes a deliberate click.
void keepByDefault(QMessageBox& alert, QPushButton* cancel)
{
    alert.setDefaultButton(cancel);
    alert.setEscapeButton(cancel);
}

// A confirmation with the title as its heading and the message below it.
QMessageBox* makeAlert(const QString& title, const QString& message, QWidget* parent)
{
    auto* alert = new QMessageBox(parent);
    alert->setIcon(QMessageBox::Warning);
    alert->setWindowTitle(title);
    alert->setText(title);
    alert->setInformativeText(message);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    return alert;
}

} // namespace

ContentView::ContentView(AppModel& model, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
{
    m_refreshTimer.setInterval(kRefreshInterval);
    m_refreshTimer.setTimerType(Qt::CoarseTimer);
    connect(&m_refreshTimer, &QTimer::timeout, this, &ContentView::tick);
    buildLayout();

    connect(&m_model, &AppModel::isSignedInChanged, this, [this] {
        updateAccount();
        updateRecordButton();
    });
    connect(&m_model, &AppModel::serverChanged, this, &ContentView::updateAccount);
    connect(&m_model, &AppModel::signInAddressChanged, this, &ContentView::updateAccount);
    connect(&m_model, &AppModel::emailToChanged, this, &ContentView::updateOptions);
    connect(&m_model, &AppModel::diarizationEnabledChanged, this, &ContentView::updateOptions);
    connect(&m_model, &AppModel::autoRecordEnabledChanged, this, &ContentView::updateOptions);
    for (auto signal : { &AppModel::isBusyChanged, &AppModel::isRecordingChanged }) {
        connect(&m_model, signal, this, [this] {
            updateAccount();
            updateOptions();
            updateRecordButton();
            updateStatus();
            rebuildPending();
        });
    }
    connect(&m_model, &AppModel::statusChanged, this, &ContentView::updateStatus);
    connect(&m_model, &AppModel::errorMessageChanged, this, &ContentView::updateStatus);
    connect(&m_model, &AppModel::captureWarningChanged, this, &ContentView::updateStatus);
    connect(&m_model, &AppModel::pendingRecordingsChanged, this, &ContentView::rebuildPending);
    connect(&m_model, &AppModel::recordingsChanged, this, &ContentView::rebuildRecordings);

    updateAccount();
    updateOptions();
    updateRecordButton();
    updateStatus();
    rebuildPending();
    rebuildRecordings();
}

ContentView::~ContentView() = default;

void ContentView::setRefreshInterval(std::chrono::milliseconds interval)
{
    m_refreshTimer.setInterval(interval);
}

void ContentView::buildLayout()
{
    auto* outer = new QVBoxLayout(this);
    m_splitter = new QSplitter(this);
    m_splitter->setChildrenCollapsible(false);
    outer->addWidget(m_splitter);
    auto* scroll = new QScrollArea(m_splitter);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    m_splitter->addWidget(scroll);
    auto* content = new QWidget(scroll);
    scroll->setWidget(content);
    auto* layout = new QVBoxLayout(content);
    layout->setSpacing(12);

    m_title = new QLabel(QStringLiteral("Tallisen"), content);
    QFont titleFont = m_title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 2);
    titleFont.setBold(true);
    m_title->setFont(titleFont);
    layout->addWidget(m_title);
    layout->addWidget(buildAccountRow());
    layout->addWidget(buildSignInAddressRow());
    auto* divider = new QFrame(content);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    layout->addWidget(divider);
    layout->addWidget(buildOptions());

    m_recordButton = new QPushButton(content);
    m_recordButton->setMinimumHeight(36);
    connect(m_recordButton, &QPushButton::clicked, this, &ContentView::toggleRecording);
    layout->addWidget(m_recordButton);
    m_recordHint = caption(tr("Sign in to record."), content);
    layout->addWidget(m_recordHint);
    layout->addWidget(buildRecordingPanel());
    layout->addWidget(buildStatusArea());

    m_pendingSection = new QWidget(content);
    auto* pendingLayout = new QVBoxLayout(m_pendingSection);
    pendingLayout->setContentsMargins(0, 0, 0, 0);
    auto* pendingHeading = new QLabel(tr("Saved recordings awaiting transcription"), m_pendingSection);
    QFont headingFont = pendingHeading->font();
    headingFont.setBold(true);
    pendingHeading->setFont(headingFont);
    pendingLayout->addWidget(pendingHeading);
    m_pendingRows = new QVBoxLayout;
    pendingLayout->addLayout(m_pendingRows);
    layout->addWidget(m_pendingSection);

    // In a row of its own, so the server field stays the first line edit of the view.
    auto* filterRow = new QWidget(content);
    auto* filterLayout = new QVBoxLayout(filterRow);
    filterLayout->setContentsMargins(0, 0, 0, 0);
    m_transcriptFilter = new QLineEdit(filterRow);
    m_transcriptFilter->setPlaceholderText(tr("Filter transcripts by title or text"));
    m_transcriptFilter->setClearButtonEnabled(true);
    connect(m_transcriptFilter, &QLineEdit::textChanged, this, &ContentView::filterRecordings);
    filterLayout->addWidget(m_transcriptFilter);
    layout->addWidget(filterRow);

    m_recordingsStack = new QStackedWidget(content);
    auto* empty = new QWidget(m_recordingsStack);
    auto* emptyLayout = new QVBoxLayout(empty);
    auto* emptyIcon = new QLabel(empty);
    emptyIcon->setPixmap(themedIcon("audio-x-generic", QStyle::SP_MediaVolume, this).pixmap(48, 48));
    emptyIcon->setAlignment(Qt::AlignCenter);
    emptyLayout->addWidget(emptyIcon);
    auto* emptyText = new QLabel(tr("No transcripts"), empty);
    emptyText->setObjectName(QStringLiteral("emptyState"));
    emptyText->setAlignment(Qt::AlignCenter);
    emptyLayout->addWidget(emptyText);
    m_recordingsStack->addWidget(empty);
    auto* list = new QWidget(m_recordingsStack);
    m_recordingRows = new QVBoxLayout(list);
    m_recordingRows->setContentsMargins(0, 0, 0, 0);
    m_recordingsStack->addWidget(list);
    layout->addWidget(m_recordingsStack);
    layout->addStretch();
}

QWidget* ContentView::buildAccountRow()
{
    auto* row = new QWidget(this);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    m_serverField = new QLineEdit(row);
    m_serverField->setPlaceholderText(tr("Server URL"));
    connect(m_serverField, &QLineEdit::textEdited, this,
        [this](const QString& text) { m_model.setServer(text); });
    layout->addWidget(m_serverField);
    m_signInButton = new QPushButton(row);
    m_signInButton->setDefault(true);
    connect(m_signInButton, &QPushButton::clicked, this, [this] {
        if (m_model.signInAddress()) {
            m_model.cancelSignIn();
            return;
        }
        launch(m_model.signIn());
    });
    layout->addWidget(m_signInButton);
    m_signOutButton = new QPushButton(tr("Sign out"), row);
    connect(m_signOutButton, &QPushButton::clicked, this, [this] { m_model.signOut(); });
    layout->addWidget(m_signOutButton);
    return row;
}

QWidget* ContentView::buildSignInAddressRow()
{
    m_signInAddressRow = new QWidget(this);
    auto* layout = new QHBoxLayout(m_signInAddressRow);
    layout->setContentsMargins(0, 0, 0, 0);
    m_signInAddressField = new QLineEdit(m_signInAddressRow);
    m_signInAddressField->setReadOnly(true);
    m_signInAddressField->setObjectName(QStringLiteral("signInAddress"));
    layout->addWidget(m_signInAddressField);
    auto* copy = new QPushButton(tr("Copy address"), m_signInAddressRow);
    connect(copy, &QPushButton::clicked, this,
        [this] { QGuiApplication::clipboard()->setText(m_signInAddressField->text()); });
    layout->addWidget(copy);
    return m_signInAddressRow;
}

QWidget* ContentView::buildOptions()
{
    auto* options = new QWidget(this);
    auto* layout = new QVBoxLayout(options);
    layout->setContentsMargins(0, 0, 0, 0);
    m_emailField = new QLineEdit(options);
    m_emailField->setPlaceholderText(tr("Email transcript to (optional)"));
    connect(m_emailField, &QLineEdit::textEdited, this,
        [this](const QString& text) { m_model.setEmailTo(text); });
    layout->addWidget(m_emailField);
    layout->addWidget(
        caption(tr("Leave blank for no email. AI automatically sets the title and category."), options));

    m_speakersSwitch = new QCheckBox(options);
    connect(
        m_speakersSwitch, &QCheckBox::clicked, this, [this](bool on) { m_model.setDiarizationEnabled(on); });
    layout->addWidget(m_speakersSwitch);
    m_speakersCaption = caption(QString(), options);
    layout->addWidget(m_speakersCaption);

    m_autoRecordSwitch = new QCheckBox(tr("Auto-record when an app uses the mic"), options);
    connect(
        m_autoRecordSwitch, &QCheckBox::clicked, this, [this](bool on) { m_model.setAutoRecordEnabled(on); });
    layout->addWidget(m_autoRecordSwitch);
    return options;
}

QWidget* ContentView::buildRecordingPanel()
{
    m_recordingPanel = new QWidget(this);
    auto* layout = new QGridLayout(m_recordingPanel);
    layout->setContentsMargins(0, 0, 0, 0);
    m_elapsedLabel = new QLabel(m_recordingPanel);
    m_elapsedLabel->setObjectName(QStringLiteral("elapsed"));
    QFont elapsedFont = m_elapsedLabel->font();
    elapsedFont.setBold(true);
    m_elapsedLabel->setFont(elapsedFont);
    layout->addWidget(m_elapsedLabel, 0, 0, 1, 2);
    const auto addMeter = [&](int row, const QString& name, const char* objectName) {
        layout->addWidget(new QLabel(name, m_recordingPanel), row, 0);
        auto* meter = new QProgressBar(m_recordingPanel);
        meter->setObjectName(QString::fromLatin1(objectName));
        meter->setRange(0, kMeterRangeDecibels);
        meter->setTextVisible(false);
        meter->setMaximumHeight(10);
        meter->setAccessibleName(name);
        layout->addWidget(meter, row, 1);
        return meter;
    };
    m_systemMeter = addMeter(1, tr("System audio"), "systemAudioMeter");
    m_microphoneMeter = addMeter(2, tr("Microphone"), "microphoneMeter");
    layout->setColumnStretch(1, 1);
    m_meterTimer.setInterval(kMeterInterval);
    connect(&m_meterTimer, &QTimer::timeout, this, &ContentView::updateMeters);
    return m_recordingPanel;
}

void ContentView::updateRecordingPanel()
{
    const bool recording = m_model.isRecording();
    m_recordingPanel->setVisible(recording);
    if (!recording) {
        m_meterTimer.stop();
        return;
    }
    if (!m_meterTimer.isActive()) {
        m_meterTimer.start();
        updateMeters();
    }
}

void ContentView::updateMeters()
{
    const std::optional<Date> startedAt = m_model.recordingStartedAt();
    if (!startedAt) {
        return;
    }
    const double seconds = Date::now().sinceReferenceDate - startedAt->sinceReferenceDate;
    m_elapsedLabel->setText(tr("Recording %1").arg(RecordingPreview::time(seconds)));
    const InputLevels levels = m_model.takeInputLevels();
    // Decibels above the floor, so quiet speech still moves the bar.
    const auto position = [](float peak) {
        const double decibels = 20 * std::log10(std::max(peak, 1e-6F));
        return std::clamp(
            static_cast<int>(std::lround(decibels)) + kMeterRangeDecibels, 0, kMeterRangeDecibels);
    };
    m_systemMeter->setValue(position(levels.systemAudio));
    m_microphoneMeter->setValue(position(levels.microphone));
}

QWidget* ContentView::buildStatusArea()
{
    auto* area = new QWidget(this);
    auto* layout = new QVBoxLayout(area);
    layout->setContentsMargins(0, 0, 0, 0);
    m_progress = new QProgressBar(area);
    m_progress->setObjectName(QStringLiteral("busy"));
    m_progress->setRange(0, 0);
    m_progress->setMaximumHeight(8);
    m_progress->setTextVisible(false);
    layout->addWidget(m_progress);
    m_statusLabel = new QLabel(area);
    m_statusLabel->setObjectName(QStringLiteral("status"));
    m_statusLabel->setForegroundRole(QPalette::PlaceholderText);
    m_statusLabel->setWordWrap(true);
    layout->addWidget(m_statusLabel);
    m_warningLabel = caption(QString(), area, false);
    m_warningLabel->setObjectName(QStringLiteral("captureWarning"));
    setColor(m_warningLabel, QPalette::WindowText, QColor(0xd9, 0x7a, 0x00));
    layout->addWidget(m_warningLabel);
    m_errorLabel = new QLabel(area);
    m_errorLabel->setObjectName(QStringLiteral("errorMessage"));
    m_errorLabel->setWordWrap(true);
    m_errorLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    setColor(m_errorLabel, QPalette::WindowText, Qt::red);
    layout->addWidget(m_errorLabel);
    return area;
}

void ContentView::updateAccount()
{
    const bool signedIn = m_model.isSignedIn();
    if (m_serverField->text() != m_model.server()) {
        m_serverField->setText(m_model.server());
    }
    m_serverField->setEnabled(!signedIn);
    const ServerTexts texts = m_model.serverTexts();
    const std::optional<QUrl>& address = m_model.signInAddress();
    m_signInButton->setText(address ? tr("Cancel sign-in") : texts.signInButton);
    m_signInAddressRow->setVisible(address.has_value());
    m_signInAddressField->setText(address ? address->toString() : QString());
    m_speakersSwitch->setText(texts.speakersSwitch);
    m_speakersCaption->setText(texts.speakersCaption);
    m_signInButton->setVisible(!signedIn);
    m_signInButton->setEnabled(!m_model.isBusy() || address);
    m_signOutButton->setVisible(signedIn);
    m_signOutButton->setEnabled(!m_model.isBusy() && !m_model.isRecording());
}

void ContentView::updateOptions()
{
    if (m_emailField->text() != m_model.emailTo()) {
        m_emailField->setText(m_model.emailTo());
    }
    m_speakersSwitch->setChecked(m_model.diarizationEnabled());
    m_speakersSwitch->setEnabled(!m_model.isBusy() && !m_model.isRecording());
    m_autoRecordSwitch->setChecked(m_model.autoRecordEnabled());
}

void ContentView::updateRecordButton()
{
    const bool recording = m_model.isRecording();
    m_recordButton->setText(recording ? tr("Stop && transcribe") : tr("Record"));
    m_recordButton->setIcon(recording ? themedIcon("media-playback-stop", QStyle::SP_MediaStop, this)
                                      : themedIcon("media-record", QStyle::SP_DialogYesButton, this));
    const bool enabled = m_model.isSignedIn() && !m_model.isBusy();
    m_recordButton->setEnabled(enabled);
    m_recordHint->setVisible(!m_model.isSignedIn());
    // Tinted only while it can be pressed, so a disabled button looks disabled.
    QPalette palette = this->palette();
    if (enabled) {
        palette.setColor(
            QPalette::Button, recording ? QColor(0xc6, 0x28, 0x28) : palette.color(QPalette::Highlight));
        palette.setColor(
            QPalette::ButtonText, recording ? QColor(Qt::white) : palette.color(QPalette::HighlightedText));
    }
    m_recordButton->setPalette(palette);
    m_recordButton->setAutoFillBackground(enabled);
    updateRecordingPanel();
}

void ContentView::updateStatus()
{
    m_progress->setVisible(m_model.isBusy());
    m_statusLabel->setText(m_model.status());
    m_warningLabel->setVisible(m_model.captureWarning().has_value());
    m_warningLabel->setText(m_model.captureWarning().value_or(QString()));
    m_errorLabel->setVisible(m_model.errorMessage().has_value());
    m_errorLabel->setText(m_model.errorMessage().value_or(QString()));
}

void ContentView::rebuildPending()
{
    clearLayout(m_pendingRows);
    const auto& jobs = m_model.pendingRecordings();
    m_pendingSection->setVisible(!jobs.empty());
    for (const PendingRecording& job : jobs) {
        m_pendingRows->addWidget(pendingRow(job));
    }
}

QWidget* ContentView::pendingRow(const PendingRecording& job)
{
    auto* row = new QFrame(m_pendingSection);
    row->setObjectName(QStringLiteral("pending-") + job.id.toString(QUuid::WithoutBraces));
    row->setFrameShape(QFrame::StyledPanel);
    auto* layout = new QHBoxLayout(row);
    layout->addWidget(caption(job.recordedAt.toLocalText(), row, false));
    layout->addStretch();
    const bool enabled = !m_model.isBusy() && !m_model.isRecording();
    auto addButton = [&](const QString& text, const QIcon& icon, auto action) {
        auto* button = new QPushButton(icon, text, row);
        button->setEnabled(enabled);
        connect(button, &QPushButton::clicked, this, action);
        layout->addWidget(button);
        return button;
    };
    if (job.canRetryWithoutSpeakers()) {
        addButton(tr("Transcribe without speakers"), QIcon(),
            [this, job] { launch(m_model.retryWithoutSpeakers(job)); });
    }
    addButton(tr("Listen"), themedIcon("media-playback-start", QStyle::SP_MediaPlay, this),
        [this, job] { listen(job); });
    addButton(tr("Retry"), themedIcon("view-refresh", QStyle::SP_BrowserReload, this),
        [this, job] { launch(m_model.retryPending(job)); });
    addButton(tr("Show audio"), themedIcon("folder-open", QStyle::SP_DirOpenIcon, this),
        [job] { revealFile(job.audio()); });
    addButton(tr("Discard…"), themedIcon("user-trash", QStyle::SP_TrashIcon, this),
        [this, job] { confirmDiscard(job); });
    return row;
}

void ContentView::rebuildRecordings()
{
    clearLayout(m_recordingRows);
    const auto& recordings = m_model.recordings();
    m_recordingsStack->setCurrentIndex(recordings.empty() ? 0 : 1);
    for (const Recording& recording : recordings) {
        m_recordingRows->addWidget(recordingRow(recording));
    }
    filterRecordings();
    syncTranscriptPane();
}

void ContentView::filterRecordings()
{
    const QString filter = m_transcriptFilter->text().trimmed();
    for (const Recording& recording : m_model.recordings()) {
        if (auto* row = m_recordingsStack->findChild<QWidget*>(
                QStringLiteral("recording-") + recording.id.toString(QUuid::WithoutBraces))) {
            row->setVisible(matchesFilter(recording, filter));
        }
    }
}

// The pane follows the list: an edited transcript shows its new text, a
// deleted one closes it.
void ContentView::syncTranscriptPane()
{
    if (!m_transcriptPane || !m_transcriptPane->recording()) {
        return;
    }
    const auto& recordings = m_model.recordings();
    const auto current = std::ranges::find(recordings, m_transcriptPane->recording()->id, &Recording::id);
    if (current == recordings.end()) {
        m_transcriptPane->hide();
        return;
    }
    m_transcriptPane->setRecording(*current);
}

void ContentView::openTranscript(const Recording& recording)
{
    // Made on first use, so a window nobody reads in carries no pane.
    if (!m_transcriptPane) {
        m_transcriptPane = new TranscriptPane(m_model, m_splitter);
        connect(m_transcriptPane, &TranscriptPane::closeRequested, m_transcriptPane, &QWidget::hide);
        m_splitter->addWidget(m_transcriptPane);
        m_splitter->setStretchFactor(1, 2);
    }
    m_transcriptPane->setRecording(recording);
    m_transcriptPane->show();
}

QWidget* ContentView::recordingRow(const Recording& recording)
{
    auto* row = new QFrame(m_recordingsStack);
    row->setObjectName(QStringLiteral("recording-") + recording.id.toString(QUuid::WithoutBraces));
    row->setFrameShape(QFrame::StyledPanel);
    auto* layout = new QVBoxLayout(row);
    auto* title = new QLabel(recording.title, row);
    QFont headline = title->font();
    headline.setBold(true);
    title->setFont(headline);
    layout->addWidget(title);
    layout->addWidget(caption(recording.category.value_or(tr("Uncategorized")), row));
    auto* transcript = new QLabel(recording.transcript, row);
    transcript->setWordWrap(true);
    transcript->setMaximumHeight(transcript->fontMetrics().lineSpacing() * 3);
    transcript->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    layout->addWidget(transcript);
    if (recording.cleanupStatus == QStringLiteral("pending")) {
        layout->addWidget(caption(tr("Correcting transcript and generating topic…"), row, false));
    } else if (recording.cleanupStatus == QStringLiteral("failed")) {
        layout->addWidget(caption(tr("AI cleanup unavailable; original transcript retained."), row, false));
    }
    if (recording.emailStatus && *recording.emailStatus != QStringLiteral("disabled")) {
        layout->addWidget(caption(tr("Email: ") + *recording.emailStatus, row));
    }
    layout->addWidget(caption(recording.recordedAt.toLocalText(), row));

    row->setCursor(Qt::PointingHandCursor);
    row->setToolTip(tr("Open the transcript"));
    new ClickFilter(row, [this, recording] { openTranscript(recording); });
    row->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(row, &QWidget::customContextMenuRequested, this, [this, row, recording](const QPoint& point) {
        QMenu menu(row);
        QAction* remove
            = menu.addAction(themedIcon("user-trash", QStyle::SP_TrashIcon, this), tr("Delete transcript…"));
        if (menu.exec(row->mapToGlobal(point)) == remove) {
            confirmDelete(recording);
        }
    });
    return row;
}

void ContentView::toggleRecording()
{
    if (!m_recordButton->isEnabled()) {
        return;
    }
    if (m_model.isRecording()) {
        launch(m_model.stopAndTranscribe());
    } else {
        launch(m_model.startRecording({}));
    }
}

void ContentView::focusSettings()
{
    QLineEdit* first = m_serverField->isVisibleTo(this) ? m_serverField : m_emailField;
    first->setFocus(Qt::ShortcutFocusReason);
    first->selectAll();
}

void ContentView::refresh()
{
    launch(m_model.refresh());
}

void ContentView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_refreshTimer.isActive()) {
        return;
    }
    if (m_model.isSignedIn()) {
        launch(m_model.refresh());
    }
    m_refreshTimer.start();
}

void ContentView::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    m_refreshTimer.stop();
}

void ContentView::tick()
{
    // Poll only while the server is still naming, filing or mailing a transcript.
    if (m_model.isSignedIn() && !m_model.isBusy() && someTranscriptPending()) {
        launch(m_model.refresh());
    }
}

bool ContentView::someTranscriptPending() const
{
    const auto& recordings = m_model.recordings();
    return std::any_of(recordings.begin(), recordings.end(), [](const Recording& recording) {
        return recording.cleanupStatus == QStringLiteral("pending")
            || recording.emailStatus == QStringLiteral("pending");
    });
}

void ContentView::confirmDiscard(const PendingRecording& job)
{
    auto* alert = makeAlert(tr("Discard saved recording?"),
        tr("Move this local audio and its transcription progress to Trash? You can listen first using "
           "Listen. "
           "Existing server transcripts and emails will not be deleted."),
        this);
    QPushButton* trash = alert->addButton(tr("Move to Trash"), QMessageBox::DestructiveRole);
    keepByDefault(*alert, alert->addButton(tr("Cancel"), QMessageBox::RejectRole));
    connect(alert, &QMessageBox::buttonClicked, this, [this, trash, job](QAbstractButton* clicked) {
        if (clicked == trash) {
            m_model.discardPending(job);
        }
    });
    m_discardAlert = alert;
    alert->open();
}

void ContentView::confirmDelete(const Recording& recording)
{
    auto* alert = makeAlert(tr("Delete transcript?"),
        tr("Delete “%1” and its original text from the app and server? This cannot be undone. Existing "
           "backups "
           "and emails already sent are not removed.")
            .arg(recording.title),
        this);
    QPushButton* remove = alert->addButton(tr("Delete"), QMessageBox::DestructiveRole);
    keepByDefault(*alert, alert->addButton(tr("Cancel"), QMessageBox::RejectRole));
    connect(alert, &QMessageBox::buttonClicked, this, [this, remove, recording](QAbstractButton* clicked) {
        if (clicked == remove) {
            launch(m_model.deleteRecording(recording));
        }
    });
    m_deleteAlert = alert;
    alert->open();
}

void ContentView::listen(const PendingRecording& job)
{
    if (!m_model.isPreviewing()) {
        m_model.setPreviewing(true);
    }
    auto* sheet = new RecordingPreview(job, this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    connect(sheet, &QDialog::finished, this, [this] {
        if (m_model.isPreviewing()) {
            m_model.setPreviewing(false);
        }
    });
    m_preview = sheet;
    sheet->open();
}

void ContentView::launch(QCoro::Task<void> task)
{
    // The model's actions never throw; this only keeps the task alive until it ends.
    QCoro::connect(std::move(task), this, [] {});
}
