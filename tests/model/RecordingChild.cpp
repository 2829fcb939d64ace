// A model in its own process that starts a recording, prints "recording"
// once the capture runs and records until it is killed.
#include "model/AppModel.h"

#include <QCoreApplication>

#include <QCoroTask>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    AppModel model([](const QUrl&) { return true; });
    QCoro::waitFor(model.startRecording({}));
    if (!model.isRecording()) {
        std::fprintf(stderr, "%s\n", model.errorMessage().value_or(QString()).toLocal8Bit().constData());
        return 1;
    }
    std::printf("recording\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}
