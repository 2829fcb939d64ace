#pragma once

#include <QDBusMessage>
#include <QObject>
#include <QPalette>

// Follows the desktop's light or dark preference, which the XDG desktop
// portal publishes as org.freedesktop.appearance's color-scheme, at start and
// whenever the person changes it. Qt's own platform integration does not
// read it here, so without this a dark desktop gets a light window.
class DesktopPalette : public QObject
{
    Q_OBJECT

public:
    // The portal's values.
    enum class Scheme : uint
    {
        noPreference = 0,
        dark = 1,
        light = 2
    };

    explicit DesktopPalette(QObject* parent = nullptr);

    Scheme scheme() const { return m_scheme; }
    static QPalette darkPalette();

signals:
    void schemeChanged(DesktopPalette::Scheme scheme);

private slots:
    // The whole message, so no argument type needs registering first.
    void settingChanged(const QDBusMessage& message);

private:
    void apply(const QVariant& value);

    Scheme m_scheme = Scheme::noPreference;
};
