#include "model/AppModel.h"

#include "api/APIClient.h"
#include "api/KeychainStore.h"
#include "api/URLError.h"
#include "core/APIClientError.h"
#include "model/SettingsStore.h"
#include "support/AppFixtures.h"
#include "support/ChildTest.h"
#include "support/SecretServiceItems.h"
#include "support/TemporaryXdg.h"

#include <QSignalSpy>
#include <QTest>

#include <QCoroTask>
#include <QCoroTimer>

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

using namespace AppFixtures;

namespace {

// Reaches the model's internal operations and its client.
class TestableAppModel : public AppModel
{
public:
    using AppModel::AppModel;
    using AppModel::client;
    using AppModel::perform;
    using AppModel::updateServer;
};

const std::string kFirstID = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
const std::string kSecondID = "11111111-2222-3333-4444-555555555555";
const std::string kThirdID = "11111111-2222-3333-4444-55555555AAAA";

class AppModelTest : public ::testing::Test
{
protected:
    AppModelTest() { KeychainStore::clearToken(); }
    ~AppModelTest() override { KeychainStore::clearToken(); }

    // A fresh store each time, so it reads the file as it is now.
    SettingsStore& settings() { return m_settings.emplace(); }

    // The settings point at the fake server, signed in there unless told otherwise.
    void useServer(bool signedIn = true)
    {
        settings().setString(SettingsStore::kServer, serverText());
        if (signedIn) {
            KeychainStore::saveToken(kToken, m_server.baseURL());
        }
    }

    std::optional<std::string> lastListAuthorization() const
    {
        const auto requests = m_server.requests("GET", "/v1/recordings");
        return requests.empty() ? std::nullopt : requests.back().header("Authorization");
    }

    QString serverText() const { return m_server.baseURL().toString(); }
    size_t count(const std::string& method, const std::string& path) const
    {
        return m_server.requests(method, path).size();
    }

    AppModel::OpenUrl browser()
    {
        return [this](const QUrl& url) {
            m_opened.push_back(url);
            return m_browserWorks;
        };
    }

    static inline const QString kToken = "token-7f3a";

    TemporaryXdg m_xdg;
    FakeServer m_server;
    std::optional<SettingsStore> m_settings;
    std::vector<QUrl> m_opened;
    bool m_browserWorks = true;
};

// Start-up and settings

TEST_F(AppModelTest, StartUpReadsTheSettingsFallingBackOnUnusableOnesAndTheJobsInRecordingOrder)
{
    {
        TestableAppModel model;
        const QUrl defaultServer(AppModel::kDefaultServer, QUrl::StrictMode);
        EXPECT_EQ(defaultServer.scheme(), "https");
        EXPECT_EQ(defaultServer.path(), "");
        EXPECT_EQ(model.client().baseURL(), defaultServer);
        EXPECT_EQ(model.status(), "Ready");
        EXPECT_FALSE(QFile::exists(SettingsStore::defaultFileName())) << "written without any change";
    }
    settings().setString(SettingsStore::kTranscriptEmail, "team@example.com");
    settings().setString(SettingsStore::kServer, "http://127.0.0.1:9/base/");
    settings().setBoolean(SettingsStore::kDiarizationEnabled, true);
    settings().setBoolean(SettingsStore::kAutoRecordEnabled, false);
    savedJob(QUrl("https://api.tallisen.com"), Date { 900.0 });
    savedJob(QUrl("https://api.tallisen.com"), Date { 100.0 });
    {
        TestableAppModel model;
        EXPECT_EQ(model.emailTo(), "team@example.com");
        EXPECT_EQ(model.client().baseURL(), QUrl("http://127.0.0.1:9/base/"));
        EXPECT_TRUE(model.diarizationEnabled());
        EXPECT_FALSE(model.autoRecordEnabled());
        ASSERT_EQ(model.pendingRecordings().size(), 2u);
        EXPECT_EQ(model.pendingRecordings()[0].recordedAt.sinceReferenceDate, 100.0);
        EXPECT_EQ(model.pendingRecordings()[1].recordedAt.sinceReferenceDate, 900.0);
    }
    settings().setString(SettingsStore::kAutoRecordEnabled, "false");
    settings().setString(SettingsStore::kServer, "ftp://example.org");
    TestableAppModel model;
    EXPECT_TRUE(model.autoRecordEnabled());
    EXPECT_EQ(model.server(), AppModel::kDefaultServer);
    EXPECT_EQ(model.client().baseURL(), QUrl(AppModel::kDefaultServer));
}

// An equal value notifies nobody but is still written: another run may have changed the file.
TEST_F(AppModelTest, SettersNotifyOnlyOnChangeAndAlwaysWrite)
{
    AppModel model;
    QSignalSpy email(&model, &AppModel::emailToChanged);
    QSignalSpy diarization(&model, &AppModel::diarizationEnabledChanged);
    QSignalSpy previewing(&model, &AppModel::isPreviewingChanged);
    model.setEmailTo("a@example.com");
    settings().setString(SettingsStore::kTranscriptEmail, "changed elsewhere");
    model.setEmailTo("a@example.com");
    EXPECT_EQ(email.count(), 1);
    EXPECT_EQ(AppModel().emailTo(), "a@example.com");

    model.setDiarizationEnabled(false);
    EXPECT_EQ(diarization.count(), 0);
    EXPECT_EQ(settings().boolean(SettingsStore::kDiarizationEnabled), false);
    model.setDiarizationEnabled(true);
    EXPECT_EQ(diarization.count(), 1);
    EXPECT_TRUE(AppModel().diarizationEnabled());

    model.setPreviewing(false);
    model.setPreviewing(true);
    model.setPreviewing(true);
    EXPECT_EQ(previewing.count(), 1);
}

// The server check

// A rejected text changes nothing, not even the sign-in; the same server
// with a trailing slash is stored with it and keeps the sign-in.
TEST_F(AppModelTest, ServerCheckTakesOnlyExactHttpOrHttpsTextsAndATrailingSlashKeepsTheSignIn)
{
    useServer();
    TestableAppModel model(browser());
    for (const QString text :
        { "HTTPS://example.org", "Http://example.org", " https://example.org", "https://example.org ",
            "example.org", "ftp://example.org", "https://", "https://exa mple.org", "" }) {
        SCOPED_TRACE(text.toStdString());
        model.setServer(text);
        try {
            model.updateServer();
            ADD_FAILURE() << "accepted";
        } catch (const APIClientError& error) {
            EXPECT_EQ(error.message(), "Enter a valid server URL.");
            EXPECT_EQ(error.statusCode(), std::nullopt);
        }
        EXPECT_EQ(model.client().baseURL(), m_server.baseURL());
        EXPECT_EQ(SettingsStore().string(SettingsStore::kServer), serverText());
    }
    scriptSignIn(m_server, kToken);
    QCoro::waitFor(model.signIn());
    EXPECT_EQ(model.errorMessage(), "Enter a valid server URL.");
    EXPECT_EQ(model.status(), "Failed");
    EXPECT_TRUE(m_server.requests().empty());
    EXPECT_TRUE(m_opened.empty());
    EXPECT_TRUE(model.isSignedIn());
    // An edit that is never used for a sign-in is not stored either.
    model.setServer("https://other.example.org");
    EXPECT_EQ(AppModel().server(), serverText());

    scriptList(m_server, {});
    const QString text = serverText() + "/";
    model.setServer(text);
    model.updateServer();
    EXPECT_EQ(settings().string(SettingsStore::kServer), text);
    EXPECT_EQ(model.client().baseURL(), QUrl(text));
    EXPECT_EQ(AppModel().server(), text);
    EXPECT_TRUE(model.isSignedIn());
    QCoro::waitFor(model.refresh());
    EXPECT_EQ(lastListAuthorization(), "Bearer " + kToken.toStdString());
}

// The busy wrapper

TEST_F(AppModelTest, PerformShowsItsTextWhileBusyAndTurnsEveryKindOfFailureIntoTheError)
{
    TestableAppModel model;
    const auto failWith = [&](auto thrown) {
        QCoro::waitFor(model.perform("Working…", [thrown]() -> QCoro::Task<void> {
            co_await QCoro::sleepFor(std::chrono::milliseconds(1));
            throw thrown;
        }));
        EXPECT_EQ(model.status(), "Failed");
        EXPECT_FALSE(model.isBusy());
        return model.errorMessage().value_or("<absent>");
    };
    EXPECT_EQ(failWith(APIClientError("The server is down.", 503)), "The server is down.");
    EXPECT_EQ(failWith(std::runtime_error("The disk is full.")), "The disk is full.");
    EXPECT_EQ(failWith(URLError(URLError::Code::userAuthenticationRequired)),
        URLError(URLError::Code::userAuthenticationRequired).what());
    EXPECT_FALSE(failWith(42).isEmpty());

    QSignalSpy busy(&model, &AppModel::isBusyChanged);
    bool wasBusy = false;
    QString statusInside;
    std::optional<QString> errorInside = QString("unchanged");
    QCoro::waitFor(model.perform("Working…", [&]() -> QCoro::Task<void> {
        wasBusy = model.isBusy();
        statusInside = model.status();
        errorInside = model.errorMessage();
        co_return;
    }));
    EXPECT_TRUE(wasBusy);
    EXPECT_EQ(statusInside, "Working…");
    EXPECT_EQ(errorInside, std::nullopt) << "the last failure is cleared at the start";
    EXPECT_EQ(model.status(), "Working…");
    EXPECT_FALSE(model.isBusy());
    EXPECT_EQ(busy.count(), 2);
}

// Transcript list

// A refresh that fails leaves the list; a session the server rejected stays signed in.
TEST_F(AppModelTest, RefreshKeepsTheServersOrderCountsInTheSingularOnlyForOneAndAFailureKeepsTheList)
{
    useServer();
    TestableAppModel model;
    QSignalSpy status(&model, &AppModel::statusChanged);
    QSignalSpy recordings(&model, &AppModel::recordingsChanged);
    const struct
    {
        std::vector<std::string> titles;
        QString status;
    } lists[] = { { { "Later", "Earlier", "Again" }, "3 transcripts" }, { {}, "0 transcripts" },
        { {}, "0 transcripts" }, { { "Stand-up" }, "1 transcript" } };
    for (const auto& list : lists) {
        std::vector<nlohmann::json> listed;
        for (size_t i = 0; i < list.titles.size(); ++i) {
            listed.push_back(recordingJson(std::vector { kFirstID, kSecondID, kThirdID }[i], list.titles[i]));
        }
        scriptList(m_server, listed);
        QCoro::waitFor(model.refresh());
        EXPECT_EQ(model.status(), list.status);
        ASSERT_EQ(model.recordings().size(), list.titles.size());
        for (size_t i = 0; i < list.titles.size(); ++i) {
            EXPECT_EQ(model.recordings()[i].title.toStdString(), list.titles[i]);
        }
    }
    EXPECT_EQ(model.errorMessage(), std::nullopt);
    EXPECT_EQ(lastListAuthorization(), "Bearer " + kToken.toStdString());
    EXPECT_EQ(recordings.count(), 4);
    EXPECT_EQ(status.count(), 8);

    model.client().setToken(std::nullopt);
    QCoro::waitFor(model.refresh());
    EXPECT_EQ(model.status(), "Failed");
    EXPECT_EQ(model.errorMessage(), QString(URLError(URLError::Code::userAuthenticationRequired).what()));
    EXPECT_EQ(model.recordings().size(), 1u);
    EXPECT_EQ(count("GET", "/v1/recordings"), 4);

    m_server.script(
        "GET", "/v1/recordings", { ScriptedAnswer::json(401, { { "error", "The session has expired." } }) });
    TestableAppModel restarted;
    QCoro::waitFor(restarted.refresh());
    EXPECT_EQ(restarted.status(), "Failed");
    EXPECT_EQ(restarted.errorMessage(), "The session has expired.");
    EXPECT_TRUE(restarted.isSignedIn());
    EXPECT_EQ(recordings.count(), 4);
}

// Sign-in and sign-out

TEST_F(AppModelTest, SignInThroughTheBrowserAfterARefusedOneStoresTheTokenForTheNextStart)
{
    const QString page = scriptSignIn(m_server, kToken, 2);
    scriptList(m_server, { recordingJson(kFirstID, "Stand-up"), recordingJson(kSecondID, "Review") });
    {
        TestableAppModel model(browser());
        model.client().setWaitForTesting([](std::chrono::milliseconds) -> QCoro::Task<void> { co_return; });
        model.setServer(serverText());
        QSignalSpy signedIn(&model, &AppModel::isSignedInChanged);
        const auto exchange
            = ScriptedAnswer::json(410, { { "error", "The sign-in was cancelled in the browser." } });
        m_server.script("POST", "/auth/exchange", { exchange });
        QCoro::waitFor(model.signIn());
        EXPECT_EQ(model.errorMessage(), "The sign-in was cancelled in the browser.");
        EXPECT_EQ(model.status(), "Failed");
        EXPECT_EQ(signedIn.count(), 0);
        EXPECT_EQ(KeychainStore::loadToken(m_server.baseURL()), std::nullopt);
        EXPECT_EQ(count("GET", "/v1/recordings"), 0);

        scriptSignIn(m_server, kToken, 2);
        QStringList statuses;
        QObject::connect(&model, &AppModel::statusChanged, [&] { statuses.append(model.status()); });
        QCoro::waitFor(model.signIn());

        ASSERT_EQ(model.errorMessage(), std::nullopt);
        const QString authority = m_server.baseURL().authority();
        EXPECT_EQ(statuses,
            (QStringList { "Opening the sign-in at " + authority + "…",
                "Waiting for the sign-in at " + authority + "…", "Signed in", "2 transcripts" }));
        EXPECT_EQ(m_opened, (std::vector<QUrl> { QUrl(page), QUrl(page) }));
        EXPECT_EQ(count("POST", "/auth/google/prepare"), 2);
        EXPECT_EQ(count("POST", "/auth/exchange"), 4);
        for (const ReceivedRequest& request : m_server.requests("POST", "/auth/exchange")) {
            EXPECT_EQ(request.body, R"({"code":"one-time"})");
        }
        EXPECT_EQ(signedIn.count(), 1);
        EXPECT_EQ(KeychainStore::loadToken(m_server.baseURL()), kToken);
        EXPECT_EQ(settings().string(SettingsStore::kServer), serverText());
        EXPECT_EQ(model.recordings().size(), 2u);
        EXPECT_FALSE(model.isBusy());
    }
    const size_t requestsBefore = m_server.requests().size();
    TestableAppModel restarted(browser());
    EXPECT_TRUE(restarted.isSignedIn());
    EXPECT_EQ(restarted.client().token(), kToken);
    EXPECT_EQ(restarted.client().baseURL(), m_server.baseURL());
    EXPECT_TRUE(restarted.recordings().empty());
    // Give a stray request time to arrive.
    QCoro::waitFor(QCoro::sleepFor(std::chrono::milliseconds(200)));
    EXPECT_EQ(m_server.requests().size(), requestsBefore);
}

// A token goes only to the server that issued it.

TEST_F(AppModelTest, AStoredTokenOfAnotherServerOrOfNoServerIsNotUsed)
{
    useServer(false);
    scriptList(m_server, {});
    const std::function<void()> stores[] = {
        [] { KeychainStore::saveToken(kToken, QUrl("https://issuer.example.com")); },
        [] { SecretServiceItems::storeForeignItem(kToken.toUtf8(), "text/plain"); },
    };
    for (const auto& store : stores) {
        store();
        AppModel model;
        EXPECT_FALSE(model.isSignedIn());
        QCoro::waitFor(model.refresh());
        EXPECT_EQ(model.status(), "Failed");
        KeychainStore::clearToken();
    }
    EXPECT_TRUE(m_server.requests().empty());
}

TEST_F(AppModelTest, SigningInElsewhereSignsOutAndSendsTheOldTokenNowhere)
{
    useServer();
    FakeServer other;
    other.script(
        "POST", "/auth/google/prepare", { ScriptedAnswer::json(401, { { "error", "unauthorized" } }) });
    scriptList(other, {});
    scriptList(m_server, { recordingJson(kFirstID, "Stand-up") });
    TestableAppModel model(browser());
    QCoro::waitFor(model.refresh());
    ASSERT_EQ(model.recordings().size(), 1u);
    QSignalSpy signedIn(&model, &AppModel::isSignedInChanged);

    model.setServer(other.baseURL().toString());
    QCoro::waitFor(model.signIn());
    EXPECT_EQ(model.errorMessage(), "unauthorized");
    EXPECT_FALSE(model.isSignedIn());
    EXPECT_EQ(signedIn.count(), 1);
    EXPECT_TRUE(model.recordings().empty());
    QCoro::waitFor(model.refresh());
    EXPECT_FALSE(AppModel().isSignedIn());

    // Back at the first server the old token is gone too.
    model.setServer(serverText());
    model.updateServer();
    EXPECT_FALSE(model.isSignedIn());
    EXPECT_EQ(KeychainStore::loadToken(m_server.baseURL()), std::nullopt);
    ASSERT_FALSE(other.requests().empty());
    for (const ReceivedRequest& request : other.requests()) {
        EXPECT_FALSE(request.header("Authorization")) << request.path;
    }
}

TEST_F(AppModelTest, SignOutForgetsTokenAndListButKeepsJobsAndSettings)
{
    savedJob(QUrl("https://api.tallisen.com"));
    savedJob(QUrl("https://api.tallisen.com"));
    useServer();
    settings().setString(SettingsStore::kTranscriptEmail, "team@example.com");
    scriptList(m_server, { recordingJson(kFirstID, "Stand-up") });
    TestableAppModel model;
    QCoro::waitFor(model.refresh());
    QSignalSpy pending(&model, &AppModel::pendingRecordingsChanged);

    model.signOut();

    EXPECT_FALSE(model.isSignedIn());
    EXPECT_EQ(KeychainStore::loadToken(m_server.baseURL()), std::nullopt);
    EXPECT_TRUE(model.recordings().empty());
    EXPECT_EQ(model.status(), "Signed out");
    EXPECT_EQ(model.pendingRecordings().size(), 2u);
    EXPECT_EQ(pending.count(), 0);
    EXPECT_EQ(model.emailTo(), "team@example.com");
    EXPECT_EQ(model.server(), serverText());
    EXPECT_FALSE(AppModel().isSignedIn());
}

// Without a reachable Secret Service the token cannot be stored: the sign-in
// runs in a child process whose session bus address leads nowhere.
constexpr const char* kNoSecretStoreVariable = "TALLISEN_TEST_NO_SECRET_STORE";

TEST(AppModelWithoutSecretStore, SignInThatCannotStoreTheTokenSignsInForThisRunOnly)
{
    if (qEnvironmentVariableIsSet(kNoSecretStoreVariable)) {
        GTEST_SKIP() << "this is the child process";
    }
    QProcessEnvironment variables;
    variables.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tallisen-test-bus");
    variables.insert(kNoSecretStoreVariable, "1");
    expectPassesInAChild("AppModelTest.ChildSignInWithoutSecretStore", variables);
}

TEST_F(AppModelTest, ChildSignInWithoutSecretStore)
{
    if (!qEnvironmentVariableIsSet(kNoSecretStoreVariable)) {
        GTEST_SKIP() << "runs only inside the parent test, without a Secret Service";
    }
    scriptSignIn(m_server, kToken);
    scriptList(m_server, { recordingJson(kFirstID, "Stand-up") });
    TestableAppModel model(browser());
    model.setServer(serverText());
    QSignalSpy signedIn(&model, &AppModel::isSignedInChanged);

    QCoro::waitFor(model.signIn());

    EXPECT_EQ(model.status(), "Failed");
    ASSERT_TRUE(model.errorMessage().has_value());
    EXPECT_FALSE(model.errorMessage()->contains(kToken));
    EXPECT_TRUE(model.isSignedIn());
    EXPECT_EQ(signedIn.count(), 1);
    EXPECT_FALSE(model.isBusy());
    EXPECT_FALSE(AppModel().isSignedIn());
}

} // namespace
