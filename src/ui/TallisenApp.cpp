#include "ui/TallisenApp.h"

#include "model/AppModel.h"
#include "ui/ContentView.h"

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QSettings>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QToolBar>

namespace {

// Window geometry is the window's own business, kept apart from the model's settings.
QSettings windowSettings()
{
    return QSettings(
        QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Tallisen"), QStringLiteral("window"));
}

} // namespace

TallisenApp::TallisenApp(QObject* parent)
    : QObject(parent)
    , m_model(std::make_unique<AppModel>())
    , m_window(std::make_unique<QMainWindow>())
{
    buildWindow();
    buildTray();
    // A person must always know when they are being recorded, even with the window hidden.
    connect(m_model.get(), &AppModel::automaticRecordingStarted, this, [this](const QString& clientName) {
        notify(tr("Tallisen started recording"), tr("%1 is using the microphone.").arg(clientName));
    });
    connect(m_model.get(), &AppModel::automaticRecordingStopped, this,
        [this] { notify(tr("Tallisen stopped recording"), tr("The meeting is being transcribed.")); });
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
    m_window->setMinimumSize(760, 520);
    m_content = new ContentView(*m_model, m_window.get());
    m_window->setCentralWidget(m_content);

    QToolBar* toolbar = m_window->addToolBar(tr("Toolbar"));
    toolbar->setMovable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    QAction* refresh = toolbar->addAction(QIcon::fromTheme(QStringLiteral("view-refresh"),
                                              m_window->style()->standardIcon(QStyle::SP_BrowserReload)),
        tr("Refresh"));
    connect(refresh, &QAction::triggered, m_content, &ContentView::refresh);

    auto* record = new QAction(tr("Record or stop"), m_window.get());
    record->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    connect(record, &QAction::triggered, m_content, &ContentView::toggleRecording);
    m_window->addAction(record);
}

void TallisenApp::buildTray()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    m_tray = new QSystemTrayIcon(m_window->windowIcon(), this);
    auto* menu = new QMenu(m_window.get());
    QAction* stop = menu->addAction(tr("Stop && transcribe"));
    connect(stop, &QAction::triggered, m_content, &ContentView::toggleRecording);
    menu->addAction(tr("Show Tallisen"), this, &TallisenApp::raise);
    m_tray->setContextMenu(menu);
    connect(m_model.get(), &AppModel::isRecordingChanged, this, &TallisenApp::updateTray);
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
    m_tray->setVisible(recording);
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
