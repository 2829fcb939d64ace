#include "ui/TallisenApp.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tallisen"));
    QApplication::setOrganizationName(QStringLiteral("Tallisen"));
    QApplication::setDesktopFileName(QStringLiteral("tallisen"));
    TallisenApp app;
    app.show();
    return QApplication::exec();
}
