// Starts a recording with the user's default devices, prints the raw
// capture's path and records until it is killed.
#include "capture/Recorder.h"

#include "support/RunTask.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>

#include <cstdio>
#include <exception>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Recorder recorder;
    try {
        TestTasks::run(recorder.start());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    std::printf("%s\n", recorder.rawCapturePath()->toLocal8Bit().constData());
    std::fflush(stdout);
    return QCoreApplication::exec();
}
