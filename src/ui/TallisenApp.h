#pragma once

// The application entry: one AppModel for the life of the process and one
// window titled "Tallisen" whose content is the ContentView. The tray icon
// makes a running recording visible even when the window is hidden, and keeps
// the app running while automatic recording is on. Closing the window or
// quitting during a recording asks first.

#include "ui/DesktopPalette.h"

#include <QFileDialog>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>

#include <memory>
#include <optional>

class AppModel;
class ContentView;
class QAction;
class QDropEvent;
class QSystemTrayIcon;

class TallisenApp : public QObject
{
    Q_OBJECT

public:
    explicit TallisenApp(QObject* parent = nullptr);
    ~TallisenApp() override;

    void show();
    // Shows the window in front, also from the tray or a later launch.
    void raise();
    // True when a hidden window leaves the app reachable: a tray exists and
    // automatic recording is on, or a recording runs.
    bool livesInTray() const;
    AppModel& model() { return *m_model; }
    QMainWindow& window() { return *m_window; }
    ContentView& content() { return *m_content; }
    // The question asked before a recording is closed or quit, while shown.
    QMessageBox* closeAlert() const { return m_closeAlert; }

    // The buttons of closeAlert, by the texts they show.
    static const QString kStopAndTranscribe;
    static const QString kKeepRecording;

    // Ctrl+Q and the tray's Quit: asks first while recording.
    void quit();
    // File → Import recording…: asks for a file, then imports it.
    void chooseRecordingToImport();
    // Imports a recording made elsewhere (a file chosen or dropped on the window).
    void importRecording(const QString& path);
    // The file dialog of the last Import recording…, while it is open.
    QFileDialog* importDialog() const { return m_importDialog; }

signals:
    // The app should end now; main() ends the event loop.
    void quitRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Leaving
    {
        Close,
        Quit
    };

    void buildWindow();
    void buildMenus();
    void buildTray();
    void updateTray();
    void notify(const QString& summary, const QString& body);
    void restoreGeometry();
    void saveGeometry();
    void askBeforeLeaving(Leaving leaving);
    void finishLeavingAfterStop();
    void showAbout();
    // Accepts a drag that carries a local file and imports it when dropped.
    bool handleDrag(QDropEvent* event);

    // First, so the window is built in the desktop's palette.
    DesktopPalette m_palette;
    std::unique_ptr<AppModel> m_model;
    std::unique_ptr<QMainWindow> m_window;
    ContentView* m_content = nullptr;
    QAction* m_startAtLogin = nullptr;
    QPointer<QSystemTrayIcon> m_tray;
    QPointer<QMessageBox> m_closeAlert;
    QPointer<QFileDialog> m_importDialog;
    // Set by "Stop & transcribe" in closeAlert: how to leave once the model is idle.
    std::optional<Leaving> m_leaveAfterStop;
};
