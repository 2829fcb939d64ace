#include "ui/SingleInstance.h"
#include "ui/TallisenApp.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tallisen"));
    QApplication::setOrganizationName(QStringLiteral("Tallisen"));
    QApplication::setDesktopFileName(QStringLiteral("tallisen"));
    SingleInstance instance;
    if (!instance.isPrimary()) {
        if (instance.failure().isEmpty()) {
            return 0;
        }
        std::fprintf(stderr, "%s\n", instance.failure().toLocal8Bit().constData());
        return 1;
    }
    TallisenApp app;
    QObject::connect(&instance, &SingleInstance::activationRequested, &app, &TallisenApp::raise);
    app.show();
    return QApplication::exec();
}
