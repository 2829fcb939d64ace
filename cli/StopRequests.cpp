#include "cli/StopRequests.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace {

// The write end of the pipe, for the handler; one StopRequests at a time.
volatile sig_atomic_t signalPipe = -1;

void onSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    if (signalPipe >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(signalPipe, &byte, 1);
    }
    errno = saved;
}

} // namespace

StopRequests::StopRequests(bool watchStandardInput, QObject* parent)
    : QObject(parent)
{
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::system_error(errno, std::generic_category(), "Cannot create a pipe");
    }
    signalPipe = m_pipe[1];
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    m_handlersInstalled = true;
    m_signalNotifier = std::make_unique<QSocketNotifier>(m_pipe[0], QSocketNotifier::Read);
    connect(m_signalNotifier.get(), &QSocketNotifier::activated, this, &StopRequests::readSignalPipe);
    if (watchStandardInput) {
        m_inputNotifier = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        connect(m_inputNotifier.get(), &QSocketNotifier::activated, this, &StopRequests::readStandardInput);
    }
}

StopRequests::~StopRequests()
{
    restoreHandlers();
    m_signalNotifier.reset();
    m_inputNotifier.reset();
    ::close(m_pipe[0]);
    ::close(m_pipe[1]);
}

void StopRequests::request()
{
    restoreHandlers();
    if (m_requested) {
        return;
    }
    m_requested = true;
    emit requested();
}

void StopRequests::readSignalPipe()
{
    char bytes[16];
    while (::read(m_pipe[0], bytes, sizeof bytes) > 0) { }
    request();
}

void StopRequests::readStandardInput()
{
    char bytes[256];
    const ssize_t count = ::read(STDIN_FILENO, bytes, sizeof bytes);
    if (count <= 0) {
        // End of input (or an error): only the other ways can stop now.
        m_inputNotifier->setEnabled(false);
        return;
    }
    for (ssize_t i = 0; i < count; ++i) {
        if (bytes[i] == '\n') {
            request();
            return;
        }
    }
}

void StopRequests::restoreHandlers()
{
    if (!m_handlersInstalled) {
        return;
    }
    m_handlersInstalled = false;
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    signalPipe = -1;
}
