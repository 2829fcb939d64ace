#include "ui/TallisenApp.h"

#include "model/AppModel.h"
#include "ui/Autostart.h"
#include "ui/ContentView.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDesktopServices>
#include <QDropEvent>
#include <QFileDialog>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QToolBar>

#include <QCoroTask>

namespace {

// Window geometry is the window's own business, kept apart from the model's settings.
QSettings windowSettings()
{
    return QSettings(
        QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Tallisen"), QStringLiteral("window"));
}

// The first local file a drag carries, if any.
std::optional<QString> draggedFile(const QMimeData* data)
{
    if (!data) {
        return std::nullopt;
    }
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile()) {
            return url.toLocalFile();
        }
    }
    return std::nullopt;
}

} // namespace

const QString TallisenApp::kStopAndTranscribe = QObject::tr("Stop && transcribe");
const QString TallisenApp::kKeepRecording = QObject::tr("Keep recording in the tray");

TallisenApp::TallisenApp(QObject* parent)
    : QObject(parent)
    , m_model(std::make_unique<AppModel>(&QDesktopServices::openUrl))
    , m_window(std::make_unique<QMainWindow>())
{
    buildWindow();
    buildMenus();
    buildTray();
    // A person must always know when they are being recorded, even with the window hidden.
    connect(m_model.get(), &AppModel::automaticRecordingStarted, this, [this](const QString& clientName) {
        notify(tr("Tallisen started recording"), tr("%1 is using the microphone.").arg(clientName));
    });
    connect(m_model.get(), &AppModel::automaticRecordingStopped, this,
        [this] { notify(tr("Tallisen stopped recording"), tr("The meeting is being transcribed.")); });
    connect(m_model.get(), &AppModel::isBusyChanged, this, &TallisenApp::finishLeavingAfterStop);
    connect(m_model.get(), &AppModel::isRecordingChanged, this, &TallisenApp::finishLeavingAfterStop);
    m_window->installEventFilter(this);
    connect(qApp, &QCoreApplication::aboutToQuit, this, &TallisenApp::saveGeometry);
}

TallisenApp::~TallisenApp() = default;

void TallisenApp::show()
{
    restoreGeometry();
    m_window->show();
}

void TallisenApp::raise()
{
    m_window->showNormal();
    m_window->raise();
    m_window->activateWindow();
}

void TallisenApp::buildWindow()
{
    m_window->setWindowTitle(QStringLiteral("Tallisen"));
    m_window->setWindowIcon(
        QIcon::fromTheme(QStringLiteral("tallisen"), QIcon(QStringLiteral(":/tallisen.svg"))));
    // Fits a 1280×800 screen at a scale of 2 with room for the desktop's
    // panels; below its natural size the content scrolls.
    m_window->setMinimumSize(560, 340);
    m_content = new ContentView(*m_model, m_window.get());
    m_window->setCentralWidget(m_content);
    // A recording dropped anywhere on the window is imported.
    m_window->setAcceptDrops(true);
}

void TallisenApp::buildMenus()
{
    QMenuBar* bar = m_window->menuBar();
    QMenu* file = bar->addMenu(tr("&File"));
    m_startAtLogin = file->addAction(tr("Start at &login"));
    m_startAtLogin->setCheckable(true);
    m_startAtLogin->setChecked(Autostart::isEnabled());
    connect(m_startAtLogin, &QAction::toggled, this, [this](bool enabled) {
        try {
            Autostart::setEnabled(enabled);
        } catch (const std::exception& error) {
            const QSignalBlocker quiet(m_startAtLogin);
            m_startAtLogin->setChecked(Autostart::isEnabled());
            QMessageBox::warning(m_window.get(), tr("Start at login"), QString::fromUtf8(error.what()));
        }
    });
    QAction* import = file->addAction(tr("&Import recording…"), this, &TallisenApp::chooseRecordingToImport);
    import->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));
    const auto updateImport
        = [this, import] { import->setEnabled(!m_model->isBusy() && !m_model->isRecording()); };
    connect(m_model.get(), &AppModel::isBusyChanged, import, updateImport);
    connect(m_model.get(), &AppModel::isRecordingChanged, import, updateImport);
    updateImport();
    file->addSeparator();
    QAction* quitAction = file->addAction(tr("&Quit"), this, &TallisenApp::quit);
    quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    QMenu* recording = bar->addMenu(tr("&Recording"));
    QAction* record = recording->addAction(tr("&Record or stop"), m_content, &ContentView::toggleRecording);
    record->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    // One action for the menu and the toolbar, or F5 would be ambiguous and do nothing.
    QAction* refresh = recording->addAction(QIcon::fromTheme(QStringLiteral("view-refresh"),
                                                m_window->style()->standardIcon(QStyle::SP_BrowserReload)),
        tr("Re&fresh transcripts"), m_content, &ContentView::refresh);
    refresh->setShortcut(QKeySequence(Qt::Key_F5));
    refresh->setIconText(tr("Refresh"));
    QAction* settings = recording->addAction(tr("&Settings"), m_content, &ContentView::focusSettings);
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));

    QMenu* help = bar->addMenu(tr("&Help"));
    help->addAction(tr("&About Tallisen"), this, &TallisenApp::showAbout);

    QToolBar* toolbar = m_window->addToolBar(tr("Toolbar"));
    toolbar->setMovable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toolbar->addAction(refresh);
}

bool TallisenApp::livesInTray() const
{
    return m_tray && (m_model->isRecording() || m_model->autoRecordEnabled());
}

void TallisenApp::quit()
{
    if (m_model->isRecording()) {
        askBeforeLeaving(Leaving::Quit);
        return;
    }
    emit quitRequested();
}

bool TallisenApp::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (watched == m_window.get()
        && (type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop)) {
        return handleDrag(static_cast<QDropEvent*>(event));
    }
    if (watched != m_window.get() || event->type() != QEvent::Close) {
        return QObject::eventFilter(watched, event);
    }
    if (m_model->isRecording()) {
        event->ignore();
        askBeforeLeaving(Leaving::Close);
        return true;
    }
    // The window hides either way; without a reason to stay in the tray the app ends with it.
    if (!livesInTray()) {
        QMetaObject::invokeMethod(this, &TallisenApp::quitRequested, Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

void TallisenApp::askBeforeLeaving(Leaving leaving)
{
    if (m_closeAlert) {
        m_closeAlert->raise();
        return;
    }
    raise();
    auto* alert = new QMessageBox(QMessageBox::Question, tr("Tallisen is recording"),
        leaving == Leaving::Quit ? tr("Stop the recording and transcribe it before quitting?")
                                 : tr("Stop the recording and transcribe it, or keep recording in the tray?"),
        QMessageBox::NoButton, m_window.get());
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    QPushButton* stop = alert->addButton(kStopAndTranscribe, QMessageBox::AcceptRole);
    QPushButton* keep = leaving == Leaving::Close && m_tray
        ? alert->addButton(kKeepRecording, QMessageBox::ActionRole)
        : nullptr;
    QPushButton* cancel = alert->addButton(QMessageBox::Cancel);
    // A stray Return or Escape keeps the meeting running.
    alert->setDefaultButton(cancel);
    alert->setEscapeButton(cancel);
    connect(alert, &QMessageBox::buttonClicked, this, [this, stop, keep, leaving](QAbstractButton* clicked) {
        if (clicked == stop) {
            m_leaveAfterStop = leaving;
            m_content->toggleRecording();
        } else if (clicked != nullptr && clicked == keep) {
            m_window->hide();
        }
    });
    m_closeAlert = alert;
    alert->open();
}

void TallisenApp::finishLeavingAfterStop()
{
    if (!m_leaveAfterStop || m_model->isBusy() || m_model->isRecording()) {
        return;
    }
    const Leaving leaving = *m_leaveAfterStop;
    m_leaveAfterStop.reset();
    // The meeting is kept as a job either way; a failure stays in view, and
    // the app stays to retry it when the server is back.
    if (m_model->errorMessage()) {
        raise();
        return;
    }
    if (leaving == Leaving::Quit) {
        emit quitRequested();
        return;
    }
    m_window->close();
}

void TallisenApp::chooseRecordingToImport()
{
    if (m_importDialog) {
        m_importDialog->raise();
        return;
    }
    auto* dialog = new QFileDialog(m_window.get(), tr("Import recording"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setNameFilters(
        { tr("Recordings (*.m4a *.mp3 *.wav *.ogg *.opus *.flac *.aac *.wma *.mp4 *.mkv *.mov "
             "*.webm *.avi)"),
            tr("All files (*)") });
    connect(dialog, &QFileDialog::fileSelected, this, &TallisenApp::importRecording);
    m_importDialog = dialog;
    dialog->open();
}

void TallisenApp::importRecording(const QString& path)
{
    // The model reports its own failures; this only keeps the task alive.
    QCoro::connect(m_model->importRecording(path), this, [] {});
}

bool TallisenApp::handleDrag(QDropEvent* event)
{
    const std::optional<QString> file = draggedFile(event->mimeData());
    if (!file || m_model->isBusy() || m_model->isRecording()) {
        event->ignore();
        return true;
    }
    event->acceptProposedAction();
    if (event->type() == QEvent::Drop) {
        importRecording(*file);
    }
    return true;
}

void TallisenApp::showAbout()
{
    QMessageBox::about(m_window.get(), tr("About Tallisen"),
        tr("<b>Tallisen</b> %1<br>Records meetings and transcribes them with their speakers.")
            .arg(QStringLiteral(TALLISEN_VERSION)));
}

void TallisenApp::buildTray()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    m_tray = new QSystemTrayIcon(m_window->windowIcon(), this);
    auto* menu = new QMenu(m_window.get());
    QAction* stop = menu->addAction(kStopAndTranscribe);
    connect(stop, &QAction::triggered, m_content, &ContentView::toggleRecording);
    connect(m_model.get(), &AppModel::isRecordingChanged, stop,
        [this, stop] { stop->setVisible(m_model->isRecording()); });
    stop->setVisible(m_model->isRecording());
    menu->addAction(tr("Show Tallisen"), this, &TallisenApp::raise);
    menu->addAction(tr("Quit Tallisen"), this, &TallisenApp::quit);
    m_tray->setContextMenu(menu);
    connect(m_tray, &QSystemTrayIcon::activated, this, &TallisenApp::raise);
    connect(m_model.get(), &AppModel::isRecordingChanged, this, &TallisenApp::updateTray);
    connect(m_model.get(), &AppModel::autoRecordEnabledChanged, this, &TallisenApp::updateTray);
    updateTray();
}

void TallisenApp::updateTray()
{
    if (!m_tray) {
        return;
    }
    const bool recording = m_model->isRecording();
    m_tray->setToolTip(recording ? tr("Tallisen is recording") : QStringLiteral("Tallisen"));
    m_tray->setIcon(recording ? QIcon::fromTheme(QStringLiteral("media-record"), m_window->windowIcon())
                              : m_window->windowIcon());
    m_tray->setVisible(livesInTray());
}

void TallisenApp::notify(const QString& summary, const QString& body)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"), QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("Notify"));
    call << QStringLiteral("Tallisen") << 0u << QStringLiteral("tallisen") << summary << body << QStringList()
         << QVariantMap() << -1;
    // Without a notification daemon the tray icon and the window still show the recording.
    QDBusConnection::sessionBus().asyncCall(call);
}

void TallisenApp::restoreGeometry()
{
    const QByteArray geometry = windowSettings().value(QStringLiteral("geometry")).toByteArray();
    if (geometry.isEmpty() || !m_window->restoreGeometry(geometry)) {
        m_window->resize(860, 720);
    }
}

void TallisenApp::saveGeometry()
{
    windowSettings().setValue(QStringLiteral("geometry"), m_window->saveGeometry());
}
