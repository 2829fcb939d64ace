// The whole pipeline for one stored job, for the crash-resume test to kill.
// Arguments: server URL, job id, the file that receives the saved transcript.

#include "api/APIClient.h"
#include "core/Uuids.h"
#include "store/PendingRecording.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <QCoroTask>

#include <cstdio>

namespace {

QCoro::Task<int> run(APIClient& client, PendingRecording job, QString resultPath)
{
    try {
        const Recording recording = co_await client.finish(std::move(job), {});
        QSaveFile result(resultPath);
        const bool opened = result.open(QIODevice::WriteOnly);
        co_return opened&& result.write(recording.transcript.toUtf8()) >= 0 && result.commit() ? 0 : 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
    }
    co_return 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() != 4) {
        std::fprintf(stderr, "usage: pipeline_crash_child SERVER JOB-ID RESULT-FILE\n");
        return 2;
    }
    const auto id = Uuids::parse(arguments[2]);
    for (const PendingRecording& job : PendingRecording::loadAll()) {
        if (id && job.id == *id) {
            APIClient client(QUrl(arguments[1]), QStringLiteral("test-token"));
            client.setWaitForTesting([](std::chrono::milliseconds) -> QCoro::Task<void> { co_return; });
            return QCoro::waitFor(run(client, job, arguments[3]));
        }
    }
    std::fprintf(stderr, "job not found\n");
    return 2;
}
