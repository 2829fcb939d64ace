#include "model/AppModel.h"

#include "api/APIClient.h"
#include "api/KeychainStore.h"
#include "api/URLError.h"
#include "core/APIClientError.h"
#include "model/SettingsStore.h"
#include "support/FakeServer.h"
#include "support/SecretServiceItems.h"
#include "support/TemporaryXdg.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <QCoroTask>
#include <QCoroTimer>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <stdexcept>
#include <utility>
#include <vector>

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

nlohmann::json recordingJson(const std::string& id, const std::string& title)
{
    return {
        { "id", id },
        { "title", title },
        { "transcript", "Hello." },
        { "languageCodes", { "en" } },
        { "recordedAt", "2026-12-01T10:00:00Z" },
        { "createdAt", "2026-12-01T11:00:00Z" },
    };
}

const std::string kFirstID = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
const std::string kSecondID = "11111111-2222-3333-4444-555555555555";

class AppModelTest : public ::testing::Test
{
protected:
    AppModelTest() { KeychainStore::clearToken(); }
    ~AppModelTest() override { KeychainStore::clearToken(); }

    // A fresh store each time, so it reads the file as it is now.
    SettingsStore& settings() { return m_settings.emplace(); }

    void pointSettingsAtServer() { settings().setString(SettingsStore::kServer, serverText()); }

    void serveRecordings(const std::vector<nlohmann::json>& recordings)
    {
        m_server.script("GET", "/v1/recordings",
            { ScriptedAnswer::json(200, { { "recordings", nlohmann::json(recordings) } }) });
    }

    std::optional<std::string> lastListAuthorization() const
    {
        const auto requests = m_server.requests("GET", "/v1/recordings");
        return requests.empty() ? std::nullopt : requests.back().header("Authorization");
    }

    // Prepare gives a page on the server; the exchange stays pending for
    // `pending` answers and then issues kToken.
    void serveSignIn(int pending)
    {
        m_server.script("POST", "/auth/google/prepare",
            { ScriptedAnswer::json(200, { { "url", signInPage().toStdString() }, { "code", "one-time" } }) });
        std::vector<ScriptedAnswer> exchange(
            pending, ScriptedAnswer::json(400, { { "error", "Sign-in is still pending." } }));
        exchange.push_back(ScriptedAnswer::json(200, { { "token", kToken.toStdString() } }));
        m_server.script("POST", "/auth/exchange", exchange);
        m_server.script("GET", "/v1/me", { ScriptedAnswer::json(200, { { "id", kSecondID } }) });
    }

    QString signInPage() const { return serverText() + "/auth/google/start?state=xyz"; }
    QString serverText() const { return m_server.baseURL().toString(); }
    size_t count(const std::string& method, const std::string& path) const
    {
        return m_server.requests(method, path).size();
    }

    static void skipWaits(TestableAppModel& model)
    {
        model.client().setWaitForTesting([](std::chrono::milliseconds) -> QCoro::Task<void> { co_return; });
    }

    AppModel::OpenUrl browser()
    {
        return [this](const QUrl& url) {
            m_opened.push_back(url);
            return m_browserWorks;
        };
    }

    static void writePendingJob(double recordedAt)
    {
        const PendingRecording job {
            .id = QUuid::createUuid(),
            .userID = QUuid::createUuid(),
            .server = QUrl("https://api.tallisen.com"),
            .recordedAt = Date { recordedAt },
            .emailTo = "team@example.com",
        };
        QDir().mkpath(job.folder());
        job.save();
    }

    static inline const QString kToken = "token-7f3a";

    TemporaryXdg m_xdg;
    FakeServer m_server;
    std::optional<SettingsStore> m_settings;
    std::vector<QUrl> m_opened;
    bool m_browserWorks = true;
};

// Start-up and settings

TEST_F(AppModelTest, FreshStartUsesTheDefaults)
{
    TestableAppModel model(browser());
    EXPECT_EQ(model.emailTo(), "");
    EXPECT_EQ(model.server(), AppModel::kDefaultServer);
    const QUrl defaultServer(AppModel::kDefaultServer, QUrl::StrictMode);
    EXPECT_EQ(defaultServer.scheme(), "https");
    EXPECT_EQ(defaultServer.path(), "");
    EXPECT_EQ(model.client().baseURL(), defaultServer);
    EXPECT_FALSE(model.diarizationEnabled());
    EXPECT_TRUE(model.autoRecordEnabled());
    EXPECT_EQ(model.status(), "Ready");
    EXPECT_FALSE(model.isBusy());
    EXPECT_FALSE(model.isRecording());
    EXPECT_FALSE(model.isPreviewing());
    EXPECT_FALSE(model.isSignedIn());
    EXPECT_EQ(model.errorMessage(), std::nullopt);
    EXPECT_EQ(model.captureWarning(), std::nullopt);
    EXPECT_TRUE(model.recordings().empty());
    EXPECT_TRUE(model.pendingRecordings().empty());
    EXPECT_FALSE(QFile::exists(SettingsStore::defaultFileName()));
}

TEST_F(AppModelTest, StoredSettingsAreRead)
{
    settings().setString(SettingsStore::kTranscriptEmail, "team@example.com");
    settings().setString(SettingsStore::kServer, "http://127.0.0.1:9/base/");
    settings().setBoolean(SettingsStore::kDiarizationEnabled, true);
    settings().setBoolean(SettingsStore::kAutoRecordEnabled, false);
    TestableAppModel model;
    EXPECT_EQ(model.emailTo(), "team@example.com");
    EXPECT_EQ(model.server(), "http://127.0.0.1:9/base/");
    EXPECT_EQ(model.client().baseURL(), QUrl("http://127.0.0.1:9/base/"));
    EXPECT_TRUE(model.diarizationEnabled());
    EXPECT_FALSE(model.autoRecordEnabled());
}

TEST_F(AppModelTest, AutoRecordStoredAsAnotherTypeReadsTrue)
{
    settings().setString(SettingsStore::kAutoRecordEnabled, "false");
    EXPECT_TRUE(AppModel().autoRecordEnabled());
}

TEST_F(AppModelTest, StoredServerThatFailsTheCheckFallsBackToTheDefault)
{
    settings().setString(SettingsStore::kServer, "ftp://example.org");
    TestableAppModel model;
    EXPECT_EQ(model.server(), AppModel::kDefaultServer);
    EXPECT_EQ(model.client().baseURL(), QUrl(AppModel::kDefaultServer));
}

TEST_F(AppModelTest, PendingJobsAreLoadedInRecordingOrder)
{
    writePendingJob(900.0);
    writePendingJob(100.0);
    const AppModel model;
    ASSERT_EQ(model.pendingRecordings().size(), 2u);
    EXPECT_EQ(model.pendingRecordings()[0].recordedAt.sinceReferenceDate, 100.0);
    EXPECT_EQ(model.pendingRecordings()[1].recordedAt.sinceReferenceDate, 900.0);
}

// Change notification

TEST_F(AppModelTest, EqualEmailWriteNotifiesNobodyButStillWritesTheSetting)
{
    AppModel model;
    QSignalSpy changed(&model, &AppModel::emailToChanged);
    model.setEmailTo("a@example.com");
    EXPECT_EQ(changed.count(), 1);

    settings().setString(SettingsStore::kTranscriptEmail, "changed elsewhere");
    model.setEmailTo("a@example.com");
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(settings().string(SettingsStore::kTranscriptEmail), "a@example.com");
    EXPECT_EQ(AppModel().emailTo(), "a@example.com");
}

TEST_F(AppModelTest, EqualDiarizationWriteNotifiesNobodyButStillWritesTheSetting)
{
    AppModel model;
    QSignalSpy changed(&model, &AppModel::diarizationEnabledChanged);
    model.setDiarizationEnabled(false);
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(settings().boolean(SettingsStore::kDiarizationEnabled), false);
    model.setDiarizationEnabled(true);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_TRUE(AppModel().diarizationEnabled());
}

TEST_F(AppModelTest, PreviewingNotifiesOnlyOnChange)
{
    AppModel model;
    QSignalSpy changed(&model, &AppModel::isPreviewingChanged);
    model.setPreviewing(false);
    model.setPreviewing(true);
    model.setPreviewing(true);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_TRUE(model.isPreviewing());
}

TEST_F(AppModelTest, EditingServerWithoutSigningInLeavesTheStoredValue)
{
    pointSettingsAtServer();
    {
        TestableAppModel model;
        QSignalSpy changed(&model, &AppModel::serverChanged);
        model.setServer("https://other.example.org");
        model.setServer("https://other.example.org");
        EXPECT_EQ(changed.count(), 1);
        EXPECT_EQ(model.client().baseURL(), m_server.baseURL());
    }
    EXPECT_EQ(AppModel().server(), serverText());
}

// The server check

TEST_F(AppModelTest, ServerCheckRejectsTextsNotExactlyHttpOrHttps)
{
    pointSettingsAtServer();
    TestableAppModel model;
    for (const QString text :
        { "HTTPS://example.org", "Http://example.org", " https://example.org", "https://example.org ",
            "example.org", "ftp://example.org", "https://", "https://exa mple.org", "" }) {
        model.setServer(text);
        try {
            model.updateServer();
            ADD_FAILURE() << "accepted " << text.toStdString();
        } catch (const APIClientError& error) {
            EXPECT_EQ(error.message(), "Enter a valid server URL.");
            EXPECT_EQ(error.statusCode(), std::nullopt);
        }
        EXPECT_EQ(model.client().baseURL(), m_server.baseURL());
        EXPECT_EQ(SettingsStore().string(SettingsStore::kServer), serverText());
    }
}

TEST_F(AppModelTest, ServerWithTrailingSlashPassesAndIsStoredWithIt)
{
    TestableAppModel model;
    const QString text = serverText() + "/";
    model.setServer(text);
    model.updateServer();
    EXPECT_EQ(settings().string(SettingsStore::kServer), text);
    EXPECT_EQ(model.client().baseURL(), QUrl(text));
    EXPECT_EQ(AppModel().server(), text);
}

// The busy wrapper

TEST_F(AppModelTest, PerformShowsItsTextWhileBusyAndKeepsTheOperationsStatus)
{
    TestableAppModel model;
    QSignalSpy busy(&model, &AppModel::isBusyChanged);
    bool wasBusy = false;
    QString statusInside;
    QCoro::waitFor(model.perform("Working…", [&]() -> QCoro::Task<void> {
        wasBusy = model.isBusy();
        statusInside = model.status();
        co_return;
    }));
    EXPECT_TRUE(wasBusy);
    EXPECT_EQ(statusInside, "Working…");
    EXPECT_EQ(model.status(), "Working…");
    EXPECT_FALSE(model.isBusy());
    EXPECT_EQ(busy.count(), 2);
}

TEST_F(AppModelTest, PerformTurnsEveryKindOfFailureIntoTheErrorAndFailed)
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
}

TEST_F(AppModelTest, PerformClearsTheLastErrorWhenItStarts)
{
    TestableAppModel model;
    QCoro::waitFor(model.perform("One…", []() -> QCoro::Task<void> {
        throw std::runtime_error("First failure.");
        co_return;
    }));
    std::optional<QString> errorInside = QString("unchanged");
    QCoro::waitFor(model.perform("Two…", [&]() -> QCoro::Task<void> {
        errorInside = model.errorMessage();
        co_return;
    }));
    EXPECT_EQ(errorInside, std::nullopt);
    EXPECT_EQ(model.errorMessage(), std::nullopt);
    EXPECT_EQ(model.status(), "Two…");
}

// Transcript list

TEST_F(AppModelTest, RefreshShowsTheCountInTheSingularOnlyForOne)
{
    pointSettingsAtServer();
    KeychainStore::saveToken(kToken, m_server.baseURL());
    AppModel model;
    QSignalSpy status(&model, &AppModel::statusChanged);
    QSignalSpy recordings(&model, &AppModel::recordingsChanged);

    serveRecordings({ recordingJson(kFirstID, "Stand-up") });
    QCoro::waitFor(model.refresh());
    EXPECT_EQ(model.status(), "1 transcript");
    ASSERT_EQ(model.recordings().size(), 1u);
    EXPECT_EQ(model.recordings()[0].title, "Stand-up");
    EXPECT_EQ(lastListAuthorization(), "Bearer " + kToken.toStdString());

    serveRecordings({});
    QCoro::waitFor(model.refresh());
    EXPECT_EQ(model.status(), "0 transcripts");
    EXPECT_EQ(model.errorMessage(), std::nullopt);

    serveRecordings({});
    QCoro::waitFor(model.refresh());
    EXPECT_EQ(recordings.count(), 3);
    EXPECT_EQ(status.count(), 6);
}

TEST_F(AppModelTest, RefreshKeepsTheServersOrder)
{
    pointSettingsAtServer();
    KeychainStore::saveToken(kToken, m_server.baseURL());
    serveRecordings({ recordingJson(kSecondID, "Later"), recordingJson(kFirstID, "Earlier"),
        recordingJson("11111111-2222-3333-4444-55555555aaaa", "Again") });
    AppModel model;
    QCoro::waitFor(model.refresh());
    ASSERT_EQ(model.recordings().size(), 3u);
    EXPECT_EQ(model.recordings()[0].title, "Later");
    EXPECT_EQ(model.recordings()[1].title, "Earlier");
    EXPECT_EQ(model.recordings()[2].title, "Again");
    EXPECT_EQ(model.status(), "3 transcripts");
}

TEST_F(AppModelTest, RefreshSignedOutFailsAndLeavesTheList)
{
    pointSettingsAtServer();
    KeychainStore::saveToken(kToken, m_server.baseURL());
    serveRecordings({ recordingJson(kFirstID, "Stand-up") });
    TestableAppModel model;
    QCoro::waitFor(model.refresh());
    ASSERT_EQ(model.recordings().size(), 1u);

    model.client().setToken(std::nullopt);
    QSignalSpy recordings(&model, &AppModel::recordingsChanged);
    QCoro::waitFor(model.refresh());
    EXPECT_EQ(model.status(), "Failed");
    EXPECT_EQ(model.errorMessage(), QString(URLError(URLError::Code::userAuthenticationRequired).what()));
    EXPECT_EQ(model.recordings().size(), 1u);
    EXPECT_EQ(recordings.count(), 0);
    EXPECT_EQ(count("GET", "/v1/recordings"), 1);
    EXPECT_FALSE(model.isBusy());
}

TEST_F(AppModelTest, RejectedTokenFailsWithTheServersTextAndStaysSignedIn)
{
    pointSettingsAtServer();
    KeychainStore::saveToken("an-old-token", m_server.baseURL());
    m_server.script(
        "GET", "/v1/recordings", { ScriptedAnswer::json(401, { { "error", "The session has expired." } }) });
    AppModel model;
    QCoro::waitFor(model.refresh());
    EXPECT_EQ(model.status(), "Failed");
    EXPECT_EQ(model.errorMessage(), "The session has expired.");
    EXPECT_TRUE(model.isSignedIn());
}

// Sign-in and sign-out

TEST_F(AppModelTest, SignInThroughTheBrowserStoresTheTokenAndLoadsTheList)
{
    serveSignIn(2);
    serveRecordings({ recordingJson(kFirstID, "Stand-up"), recordingJson(kSecondID, "Review") });
    TestableAppModel model(browser());
    skipWaits(model);
    model.setServer(serverText());
    QSignalSpy signedIn(&model, &AppModel::isSignedInChanged);
    QSignalSpy busy(&model, &AppModel::isBusyChanged);
    QStringList statuses;
    QObject::connect(&model, &AppModel::statusChanged, [&] { statuses.append(model.status()); });

    QCoro::waitFor(model.signIn());

    ASSERT_EQ(model.errorMessage(), std::nullopt);
    EXPECT_EQ(statuses,
        (QStringList { "Opening the sign-in at " + m_server.baseURL().authority() + "…",
            "Waiting for the sign-in at " + m_server.baseURL().authority() + "…", "Signed in",
            "2 transcripts" }));
    ASSERT_EQ(m_opened.size(), 1u);
    EXPECT_EQ(m_opened[0], QUrl(signInPage()));
    EXPECT_EQ(count("POST", "/auth/google/prepare"), 1);
    EXPECT_EQ(count("POST", "/auth/exchange"), 3);
    for (const ReceivedRequest& request : m_server.requests("POST", "/auth/exchange")) {
        EXPECT_EQ(request.body, R"({"code":"one-time"})");
    }
    EXPECT_TRUE(model.isSignedIn());
    EXPECT_EQ(signedIn.count(), 1);
    EXPECT_EQ(KeychainStore::loadToken(m_server.baseURL()), kToken);
    EXPECT_EQ(settings().string(SettingsStore::kServer), serverText());
    EXPECT_EQ(model.recordings().size(), 2u);
    EXPECT_EQ(busy.count(), 2);
    EXPECT_FALSE(model.isBusy());
}

TEST_F(AppModelTest, RestartComesUpSignedInWithoutAnyRequest)
{
    serveSignIn(0);
    serveRecordings({});
    {
        TestableAppModel model(browser());
        model.setServer(serverText());
        QCoro::waitFor(model.signIn());
        ASSERT_TRUE(model.isSignedIn());
    }
    const size_t requestsBefore = m_server.requests().size();
    TestableAppModel restarted(browser());
    EXPECT_TRUE(restarted.isSignedIn());
    EXPECT_EQ(restarted.client().token(), kToken);
    EXPECT_EQ(restarted.client().baseURL(), m_server.baseURL());
    EXPECT_EQ(restarted.status(), "Ready");
    EXPECT_TRUE(restarted.recordings().empty());
    // Give a stray request time to arrive.
    QCoro::waitFor(QCoro::sleepFor(std::chrono::milliseconds(200)));
    EXPECT_EQ(m_server.requests().size(), requestsBefore);
}

TEST_F(AppModelTest, SignInWithAnInvalidServerSendsNothing)
{
    serveSignIn(0);
    pointSettingsAtServer();
    TestableAppModel model(browser());
    model.setServer("HTTPS://example.org");
    QCoro::waitFor(model.signIn());
    EXPECT_EQ(model.errorMessage(), "Enter a valid server URL.");
    EXPECT_EQ(model.status(), "Failed");
    EXPECT_TRUE(m_server.requests().empty());
    EXPECT_TRUE(m_opened.empty());
    EXPECT_EQ(model.client().baseURL(), m_server.baseURL());
    EXPECT_EQ(settings().string(SettingsStore::kServer), serverText());
}

// A sign-in that never completes must not hold the app: its address can be
// copied by hand, and Cancel ends the wait within a poll.
TEST_F(AppModelTest, WaitingSignInShowsItsAddressEvenWithoutABrowserAndCanBeCancelled)
{
    serveSignIn(1000);
    m_browserWorks = false;
    TestableAppModel model(browser());
    model.setServer(serverText());
    bool ended = false;
    QCoro::connect(model.signIn(), &model, [&] { ended = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return count("POST", "/auth/exchange") >= 2; }, 10000));
    EXPECT_EQ(model.signInAddress(), QUrl(signInPage()));
    EXPECT_EQ(model.status(), "The browser did not open: copy the address into one to continue.");
    EXPECT_TRUE(model.isBusy());

    model.cancelSignIn();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, 5000)) << "Cancel did not end the wait";
    EXPECT_EQ(model.status(), "Signed out");
    EXPECT_EQ(model.errorMessage(), std::nullopt);
    EXPECT_FALSE(model.signInAddress());
    EXPECT_FALSE(model.isSignedIn());
    EXPECT_FALSE(model.isBusy());
    const size_t polls = count("POST", "/auth/exchange");
    QTest::qWait(1500);
    EXPECT_EQ(count("POST", "/auth/exchange"), polls) << "still polling after Cancel";
}

TEST_F(AppModelTest, RefusedSignInLeavesTheUserSignedOut)
{
    serveSignIn(0);
    m_server.script("POST", "/auth/exchange",
        { ScriptedAnswer::json(410, { { "error", "The sign-in was cancelled in the browser." } }) });
    TestableAppModel model(browser());
    model.setServer(serverText());
    QSignalSpy signedIn(&model, &AppModel::isSignedInChanged);
    QCoro::waitFor(model.signIn());
    EXPECT_EQ(model.errorMessage(), "The sign-in was cancelled in the browser.");
    EXPECT_EQ(model.status(), "Failed");
    EXPECT_FALSE(model.isSignedIn());
    EXPECT_EQ(signedIn.count(), 0);
    EXPECT_EQ(KeychainStore::loadToken(m_server.baseURL()), std::nullopt);
    EXPECT_EQ(count("GET", "/v1/recordings"), 0);
}

// A token goes only to the server that issued it.

TEST_F(AppModelTest, AStoredTokenOfAnotherServerOrOfNoServerIsNotUsed)
{
    pointSettingsAtServer();
    serveRecordings({});
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
    pointSettingsAtServer();
    KeychainStore::saveToken(kToken, m_server.baseURL());
    FakeServer other;
    other.script(
        "POST", "/auth/google/prepare", { ScriptedAnswer::json(401, { { "error", "unauthorized" } }) });
    other.script("GET", "/v1/recordings",
        { ScriptedAnswer::json(200, { { "recordings", nlohmann::json::array() } }) });
    serveRecordings({ recordingJson(kFirstID, "Stand-up") });
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

TEST_F(AppModelTest, TheSameServerWithATrailingSlashKeepsTheSignIn)
{
    pointSettingsAtServer();
    KeychainStore::saveToken(kToken, m_server.baseURL());
    serveRecordings({});
    TestableAppModel model;
    model.setServer(serverText() + "/");
    model.updateServer();
    EXPECT_TRUE(model.isSignedIn());
    QCoro::waitFor(model.refresh());
    EXPECT_EQ(lastListAuthorization(), "Bearer " + kToken.toStdString());
}

TEST_F(AppModelTest, SignOutForgetsTokenAndListButKeepsJobsAndSettings)
{
    writePendingJob(100.0);
    writePendingJob(200.0);
    pointSettingsAtServer();
    settings().setString(SettingsStore::kTranscriptEmail, "team@example.com");
    KeychainStore::saveToken(kToken, m_server.baseURL());
    serveRecordings({ recordingJson(kFirstID, "Stand-up") });
    TestableAppModel model;
    QCoro::waitFor(model.refresh());
    const std::vector<PendingRecording> jobs = model.pendingRecordings();
    QSignalSpy signedIn(&model, &AppModel::isSignedInChanged);
    QSignalSpy pending(&model, &AppModel::pendingRecordingsChanged);

    model.signOut();

    EXPECT_FALSE(model.isSignedIn());
    EXPECT_EQ(signedIn.count(), 1);
    EXPECT_EQ(KeychainStore::loadToken(m_server.baseURL()), std::nullopt);
    EXPECT_TRUE(model.recordings().empty());
    EXPECT_EQ(model.status(), "Signed out");
    EXPECT_EQ(model.pendingRecordings(), jobs);
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
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tallisen-test-bus");
    environment.insert(kNoSecretStoreVariable, "1");
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
        { "--gtest_filter=AppModelTest.ChildSignInWithoutSecretStore" });
    ASSERT_TRUE(child.waitForFinished(120'000));
    const std::string output = child.readAll().toStdString();
    EXPECT_EQ(child.exitCode(), 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

TEST_F(AppModelTest, ChildSignInWithoutSecretStore)
{
    if (!qEnvironmentVariableIsSet(kNoSecretStoreVariable)) {
        GTEST_SKIP() << "runs only inside the parent test, without a Secret Service";
    }
    serveSignIn(0);
    serveRecordings({ recordingJson(kFirstID, "Stand-up") });
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
