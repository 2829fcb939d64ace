#include "ui/DesktopPalette.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QStyle>

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kGroup = QStringLiteral("org.freedesktop.appearance");
const QString kKey = QStringLiteral("color-scheme");

// Read answers a variant inside a variant; the change signal carries one.
QVariant unwrapped(QVariant value)
{
    while (value.userType() == qMetaTypeId<QDBusVariant>()) {
        value = value.value<QDBusVariant>().variant();
    }
    return value;
}

} // namespace

DesktopPalette::DesktopPalette(QObject* parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(kService, kPath, kInterface, QStringLiteral("SettingChanged"), this,
        SLOT(settingChanged(QDBusMessage)));
    QDBusMessage read = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Read"));
    read << kGroup << kKey;
    // Asynchronous, so a portal slow to start never holds up the window.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(read), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusMessage reply = call->reply();
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
            apply(reply.arguments().constFirst());
        }
    });
}

QPalette DesktopPalette::darkPalette()
{
    const QColor window(0x2d, 0x2d, 0x30);
    const QColor base(0x1e, 0x1e, 0x20);
    const QColor text(0xe6, 0xe6, 0xe6);
    const QColor disabledText(0x80, 0x80, 0x80);
    QPalette palette(window);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3d));
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::BrightText, Qt::white);
    palette.setColor(QPalette::ToolTipBase, base);
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x9a, 0x9a));
    palette.setColor(QPalette::Highlight, QColor(0x35, 0x84, 0xe4));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Link, QColor(0x78, 0xae, 0xed));
    palette.setColor(QPalette::Mid, QColor(0x5a, 0x5a, 0x5e));
    for (const QPalette::ColorRole role : { QPalette::WindowText, QPalette::Text, QPalette::ButtonText }) {
        palette.setColor(QPalette::Disabled, role, disabledText);
    }
    return palette;
}

void DesktopPalette::settingChanged(const QDBusMessage& message)
{
    const QVariantList arguments = message.arguments();
    if (arguments.size() == 3 && arguments[0].toString() == kGroup && arguments[1].toString() == kKey) {
        apply(arguments[2]);
    }
}

void DesktopPalette::apply(const QVariant& value)
{
    bool isNumber = false;
    const uint number = unwrapped(value).toUInt(&isNumber);
    const Scheme scheme = isNumber && number == uint(Scheme::dark) ? Scheme::dark
        : isNumber && number == uint(Scheme::light)                ? Scheme::light
                                                                   : Scheme::noPreference;
    if (scheme == m_scheme) {
        return;
    }
    const bool wasDark = m_scheme == Scheme::dark;
    m_scheme = scheme;
    if (scheme == Scheme::dark || wasDark) {
        QApplication::setPalette(
            scheme == Scheme::dark ? darkPalette() : QApplication::style()->standardPalette());
    }
    emit schemeChanged(scheme);
}
