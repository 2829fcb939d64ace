#pragma once

// The application entry: one AppModel for the life of the process and one
// window titled "Tallisen" whose content is the ContentView. The tray icon
// makes a running recording visible even when the window is hidden.

#include <QMainWindow>
#include <QPointer>

#include <memory>

class AppModel;
class ContentView;
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
    AppModel& model() { return *m_model; }
    QMainWindow& window() { return *m_window; }
    ContentView& content() { return *m_content; }

private:
    void buildWindow();
    void buildTray();
    void updateTray();
    void notify(const QString& summary, const QString& body);
    void restoreGeometry();
    void saveGeometry();

    std::unique_ptr<AppModel> m_model;
    std::unique_ptr<QMainWindow> m_window;
    ContentView* m_content = nullptr;
    QPointer<QSystemTrayIcon> m_tray;
};
