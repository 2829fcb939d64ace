#include "api/KeychainStore.h"

#include "ClientFixtures.h"
#include "support/SecretServiceItems.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

// Against the real Secret Service (gnome-keyring on the private session bus
// that scripts/with-services starts), and against a bus with none.
namespace {

constexpr const char* kChildVariable = "TALLISEN_TEST_NO_SECRET_SERVICE";
const QUrl kServer(QStringLiteral("https://tallisen.example.com"));

class Keychain : public ::testing::Test
{
protected:
    void SetUp() override { KeychainStore::clearToken(); }
    void TearDown() override { KeychainStore::clearToken(); }
};

} // namespace

TEST_F(Keychain, ASavedTokenLoadsBackExactlyForTheServerThatIssuedItAlone)
{
    EXPECT_FALSE(KeychainStore::loadToken(kServer));
    // Saving replaces every earlier item, so exactly one remains.
    SecretServiceItems::storeForeignItem(QByteArrayLiteral("from an older version"), "text/plain");
    KeychainStore::saveToken(QStringLiteral("first"), QUrl(QStringLiteral("https://other.example.com")));
    const QString token = QStringLiteral("t\u00f8ken-\u2713 with spaces/+=");
    KeychainStore::saveToken(token, kServer);
    EXPECT_EQ(SecretServiceItems::countTokenItems(), 1);
    const struct
    {
        const char* server;
        bool loads;
    } cases[] = {
        { "https://tallisen.example.com", true },
        { "https://tallisen.example.com/", true },
        { "http://tallisen.example.com", false },
        { "https://tallisen.example.com:8443", false },
        { "https://other.example.com", false },
        { "https://tallisen.example.com/other", false },
    };
    for (const auto& item : cases) {
        const auto loaded = KeychainStore::loadToken(QUrl(QString::fromLatin1(item.server)));
        EXPECT_EQ(loaded, item.loads ? std::optional(token) : std::nullopt) << item.server;
    }

    KeychainStore::clearToken();
    EXPECT_EQ(SecretServiceItems::countTokenItems(), 0);
    EXPECT_NO_THROW(KeychainStore::clearToken());
}

// A token stored without its server (by an older version), or a secret that
// is not UTF-8, is not used.
TEST_F(Keychain, ItemsItCannotTrustLoadAsAbsent)
{
    for (const auto& [secret, type] : { std::pair(QByteArrayLiteral("from an older version"), "text/plain"),
             std::pair(QByteArray("\xff\xfe\x80", 3), "application/octet-stream") }) {
        SecretServiceItems::storeForeignItem(secret, type);
        EXPECT_FALSE(KeychainStore::loadToken(kServer)) << type;
        KeychainStore::clearToken();
        EXPECT_EQ(SecretServiceItems::countTokenItems(), 0) << "clearing leaves no item of any kind";
    }
}

TEST(KeychainErrorText, IsThePlatformMessageOrTheStatusNumber)
{
    const KeychainError bare(-25300);
    EXPECT_STREQ(bare.what(), "Keychain error -25300");
    EXPECT_EQ(bare.status(), -25300);
    EXPECT_STREQ(
        KeychainError(4, QStringLiteral("The collection is locked.")).what(), "The collection is locked.");
}

TEST(KeychainWithoutSecretService, LoadIsAbsentAndSaveFailsWithAClearMessage)
{
    if (qEnvironmentVariableIsSet(kChildVariable)) {
        GTEST_SKIP() << "this is the child process";
    }
    // A private bus with no service files, so nothing can start a keyring.
    QTemporaryDir directory;
    const QString config = directory.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
               "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>"
               "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
               "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    file.close();

    QProcess bus;
    bus.start(QStringLiteral("dbus-daemon"),
        { QStringLiteral("--config-file=") + config, QStringLiteral("--print-address=1"),
            QStringLiteral("--nofork") });
    ASSERT_TRUE(bus.waitForStarted(5000));
    ASSERT_TRUE(bus.waitForReadyRead(5000));
    const QString address = QString::fromUtf8(bus.readLine()).trimmed();

    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
    environment.insert(QString::fromLatin1(kChildVariable), QStringLiteral("1"));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
        { QStringLiteral("--gtest_filter=KeychainWithoutSecretServiceChild.*") });
    ASSERT_TRUE(child.waitForFinished(60'000));
    const QString output = QString::fromUtf8(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("[  PASSED  ] 1 test"))) << output.toStdString();

    bus.terminate();
    bus.waitForFinished(5000);
}

TEST(KeychainWithoutSecretServiceChild, Checks)
{
    if (!qEnvironmentVariableIsSet(kChildVariable)) {
        GTEST_SKIP() << "runs only inside the parent test, on a bus without a Secret Service";
    }
    EXPECT_FALSE(KeychainStore::loadToken(kServer));
    EXPECT_NO_THROW(KeychainStore::clearToken());
    try {
        KeychainStore::saveToken(QStringLiteral("never-stored"), kServer);
        ADD_FAILURE() << "saving must fail without a Secret Service";
    } catch (const KeychainError& error) {
        EXPECT_THAT(error.what(), ::testing::HasSubstr("No secret store"));
        EXPECT_THAT(error.what(), ::testing::Not(::testing::HasSubstr("never-stored")));
        EXPECT_NE(error.status(), 0);
    }

    // A sign-in whose token cannot be stored still signs in for this run.
    FakeServer server;
    server.script("POST", "/auth/exchange", { ScriptedAnswer::json(200, { { "token", "issued" } }) });
    APIClient client(server.baseURL());
    EXPECT_THROW(TestTasks::run(client.waitForSignIn(QStringLiteral("code"))), KeychainError);
    EXPECT_EQ(client.token(), QStringLiteral("issued"));
}
