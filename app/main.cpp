#include "ui/SingleInstance.h"
#include "ui/TallisenApp.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    // Before QApplication, which needs a display.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("tallisen " TALLISEN_VERSION);
        return 0;
    }
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
    // The window's close and the tray decide when the app ends.
    QApplication::setQuitOnLastWindowClosed(false);
    TallisenApp app;
    QObject::connect(&instance, &SingleInstance::activationRequested, &app, &TallisenApp::raise);
    QObject::connect(&app, &TallisenApp::quitRequested, &application, &QApplication::quit);
    // Started at login: stay in the tray when that is where automatic recording shows.
    if (!QApplication::arguments().contains(QStringLiteral("--background")) || !app.livesInTray()) {
        app.show();
    }
    return QApplication::exec();
}
