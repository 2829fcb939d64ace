// tallisen-cli: the text front end over the application model, for
// terminals, SSH sessions and scripts.

#include "cli/CliArguments.h"
#include "cli/CliRunner.h"
#include "cli/ProgressDisplay.h"
#include "model/AppModel.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

int terminalColumns(int fd)
{
    winsize size {};
    if (::ioctl(fd, TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

bool hasDesktop()
{
    return qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

// The model without its microphone monitor: only 'auto' records by itself,
// so no other subcommand can start a recording behind the user's back.
class ModelWithoutMonitor : public AppModel
{
public:
    explicit ModelWithoutMonitor(OpenUrl openUrl)
        : AppModel(std::move(openUrl), std::nullopt)
    { }
};

int printUsageError(const UsageError& error)
{
    const QByteArray text = (error.message() + QStringLiteral("\n\n") + error.usage()).toUtf8();
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stderr);
    return static_cast<int>(ExitCode::usage);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("tallisen-cli " TALLISEN_VERSION);
        return 0;
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tallisen"));

    CliCommand command;
    try {
        command = CliArguments::parse(QCoreApplication::arguments().mid(1));
    } catch (const UsageError& error) {
        return printUsageError(error);
    }

    QFile output;
    QFile errors;
    // On the descriptors, not the stdio streams: no buffer holds results back
    // behind later error lines when both go to the same file.
    if (!output.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered)
        || !errors.open(STDERR_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        return static_cast<int>(ExitCode::failure);
    }
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    ProgressDisplay progress(errors, terminal, terminal ? terminalColumns(STDERR_FILENO) : 0);

    // The address is always printed, so a sign-in works over SSH; a browser
    // is only tried where a desktop session is.
    const bool tryBrowser = !command.noBrowser && hasDesktop();
    AppModel::OpenUrl openUrl = [&](const QUrl& url) {
        progress.print(QStringLiteral("Sign in at: %1").arg(url.toString()));
        if (tryBrowser) {
            QProcess::startDetached(QStringLiteral("xdg-open"), { url.toString() });
        }
        return true;
    };
    const std::unique_ptr<AppModel> model = command.kind == CliCommand::Kind::autoRecord
        ? std::make_unique<AppModel>(openUrl)
        : std::make_unique<ModelWithoutMonitor>(openUrl);

    CliRunner runner(*model, progress, output);
    int exitCode = static_cast<int>(ExitCode::failure);
    // Started from the event loop so that even a subcommand that finishes
    // without suspending ends the loop it runs in.
    QTimer::singleShot(0, &app, [&]() {
        QCoro::connect(runner.run(command), &app, [&](ExitCode code) {
            exitCode = static_cast<int>(code);
            QCoreApplication::exit(exitCode);
        });
    });
    QCoreApplication::exec();
    return exitCode;
}
