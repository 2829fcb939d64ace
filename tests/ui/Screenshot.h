#pragma once

#include <QDir>
#include <QImage>
#include <QTest>
#include <QWidget>

// A picture of the widget, also saved when TALLISEN_SCREENSHOT_DIR names a
// folder (the README's screenshots are made this way under Xvfb).
inline QImage screenshot(QWidget& widget, const char* name)
{
    QTest::qWait(200);
    const QImage image = widget.grab().toImage();
    const QString directory = qEnvironmentVariable("TALLISEN_SCREENSHOT_DIR");
    if (!directory.isEmpty()) {
        QDir().mkpath(directory);
        image.save(directory + u'/' + QString::fromLatin1(name) + ".png");
    }
    return image;
}
