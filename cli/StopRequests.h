#pragma once

// Turns the user's ways of ending a wait into one signal: Ctrl+C (SIGINT),
// SIGTERM, and optionally Enter on standard input. The signal handler only
// writes a byte to a pipe; the rest runs on the event loop. After the first
// request the default handlers are back, so a second Ctrl+C ends the process
// at once (saved recordings are on disk by then or still in the capture).

#include <QObject>
#include <QSocketNotifier>

#include <memory>

class StopRequests : public QObject
{
    Q_OBJECT

public:
    explicit StopRequests(bool watchStandardInput, QObject* parent = nullptr);
    ~StopRequests() override;

    bool isRequested() const { return m_requested; }
    // Requests the stop from inside the program (a timer, the model).
    void request();

signals:
    void requested();

private:
    void readSignalPipe();
    void readStandardInput();
    void restoreHandlers();

    int m_pipe[2] = { -1, -1 };
    std::unique_ptr<QSocketNotifier> m_signalNotifier;
    std::unique_ptr<QSocketNotifier> m_inputNotifier;
    bool m_requested = false;
    bool m_handlersInstalled = false;
};
