#include "ui/DesktopPalette.h"

#include "support/TemporaryXdg.h"
#include "ui/TallisenApp.h"

#include "Screenshot.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusVariant>
#include <QSignalSpy>
#include <QStyle>

#include <gtest/gtest.h>

#include <optional>

namespace {

// The desktop's side of the portal's Settings interface, as xdg-desktop-portal
// answers and signals it, on its own connection to the test run's session bus.
class PortalSettings : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

public:
    explicit PortalSettings(uint scheme)
        : m_scheme(scheme)
        , m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("portal")))
    {
        m_bus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), this,
            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals);
        m_registered = m_bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"));
    }

    ~PortalSettings() override
    {
        m_bus.unregisterService(QStringLiteral("org.freedesktop.portal.Desktop"));
        m_bus.unregisterObject(QStringLiteral("/org/freedesktop/portal/desktop"));
        QDBusConnection::disconnectFromBus(QStringLiteral("portal"));
    }

    bool registered() const { return m_registered; }

    void change(const QString& group, const QString& key, uint scheme)
    {
        m_scheme = scheme;
        emit SettingChanged(group, key, QDBusVariant(scheme));
    }

public slots:
    QDBusVariant Read(const QString&, const QString&)
    {
        return QDBusVariant(QVariant::fromValue(QDBusVariant(m_scheme)));
    }

signals:
    void SettingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    uint m_scheme;
    QDBusConnection m_bus;
    bool m_registered = false;
};

bool looksDark()
{
    return QApplication::palette().color(QPalette::Window).lightness() < 100
        && QApplication::palette().color(QPalette::WindowText).lightness() > 150;
}

// Every test leaves the application as it found it.
class DesktopPaletteTest : public ::testing::Test
{
protected:
    void TearDown() override { QApplication::setPalette(QApplication::style()->standardPalette()); }
};

} // namespace

TEST_F(DesktopPaletteTest, FollowsThePortalsSchemeAtStart)
{
    struct Case
    {
        const char* name;
        std::optional<uint> portal;
        bool dark;
    };
    const Case cases[] = {
        { "prefers dark", 1, true },
        { "no preference", 0, false },
        { "prefers light", 2, false },
        { "no portal", std::nullopt, false },
    };
    ASSERT_FALSE(looksDark()) << "the style's own palette is light";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<PortalSettings> portal;
        if (c.portal) {
            portal.emplace(*c.portal);
            ASSERT_TRUE(portal->registered());
        }
        DesktopPalette palette;
        QSignalSpy changed(&palette, &DesktopPalette::schemeChanged);
        // No preference and no portal send nothing; give the answer time to come.
        changed.wait(c.portal && *c.portal != 0 ? 5000 : 500);
        EXPECT_EQ(looksDark(), c.dark);
        EXPECT_EQ(palette.scheme() == DesktopPalette::Scheme::dark, c.dark);
        QApplication::setPalette(QApplication::style()->standardPalette());
    }
}

TEST_F(DesktopPaletteTest, TheOpenWindowTurnsDarkAndBackWhenTheDesktopChanges)
{
    TemporaryXdg xdg;
    PortalSettings portal(2);
    ASSERT_TRUE(portal.registered());
    TallisenApp app;
    app.show();
    QTest::qWait(300);
    ASSERT_FALSE(looksDark());

    portal.change(QStringLiteral("org.freedesktop.appearance"), QStringLiteral("color-scheme"), 1);
    for (int i = 0; i < 50 && !looksDark(); ++i) {
        QTest::qWait(100);
    }
    ASSERT_TRUE(looksDark());
    app.window().resize(860, 720);
    const QImage dark = screenshot(app.window(), "main-dark");
    EXPECT_LT(dark.pixelColor(dark.width() / 2, dark.height() - 5).lightness(), 100)
        << "the window itself is painted dark";

    portal.change(QStringLiteral("org.freedesktop.appearance"), QStringLiteral("contrast"), 2);
    QTest::qWait(300);
    EXPECT_TRUE(looksDark()) << "another setting of the same group changes nothing";

    portal.change(QStringLiteral("org.freedesktop.appearance"), QStringLiteral("color-scheme"), 0);
    for (int i = 0; i < 50 && looksDark(); ++i) {
        QTest::qWait(100);
    }
    EXPECT_FALSE(looksDark());
}

#include "DesktopPaletteTest.moc"
