#include "ui/ContentView.h"

#include "api/KeychainStore.h"
#include "model/AppModel.h"
#include "model/SettingsStore.h"
#include "support/AppFixtures.h"
#include "support/TemporaryXdg.h"

#include "Screenshot.h"
#include "Widgets.h"

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace AppFixtures;
using namespace std::chrono_literals;

namespace {

// The model without its microphone monitor, so a test decides when anything records.
class QuietModel : public AppModel
{
public:
    explicit QuietModel(bool browserOpens = true)
        : AppModel([browserOpens](const QUrl&) { return browserOpens; }, std::nullopt)
    { }
};

const char* const kSyncID = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";

nlohmann::json listed(const char* id, const char* title, nlohmann::json category,
    nlohmann::json cleanupStatus, nlohmann::json emailStatus)
{
    return recordingJson(id, title,
        { { "category", category }, { "cleanupStatus", cleanupStatus }, { "emailStatus", emailStatus } });
}

QPushButton* buttonNamed(QWidget& root, const QString& text)
{
    return childWithText<QPushButton>(root, text);
}

QStringList visibleTexts(QWidget& root, QWidget* within)
{
    QStringList texts;
    for (auto* label : within->findChildren<QLabel*>()) {
        if (label->isVisibleTo(&root)) {
            texts << label->text();
        }
    }
    return texts;
}

class ContentViewTest : public ::testing::Test
{
protected:
    ContentViewTest()
    {
        KeychainStore::clearToken();
        SettingsStore().setString(SettingsStore::kServer, m_server.baseURL().toString());
    }
    ~ContentViewTest() override { KeychainStore::clearToken(); }

    void signIn() { KeychainStore::saveToken(QStringLiteral("ui-test-token"), m_server.baseURL()); }
    size_t listRequests() const { return m_server.requests("GET", "/v1/recordings").size(); }

    TemporaryXdg m_xdg;
    FakeServer m_server;
};

} // namespace

// Only the product's own service uses third parties, and only its texts name them.
TEST_F(ContentViewTest, SignedOutOffersASignInNamingTheServerThatDoesTheWorkAndNeverPolls)
{
    const QString own = m_server.baseURL().authority();
    const struct
    {
        QString server;
        QStringList named;
        QStringList neverNamed;
    } cases[] = {
        { m_server.baseURL().toString(), { "Sign in at " + own, "Detect speakers (on " + own + ")" },
            { "Google", "pyannoteAI", "OpenAI", "charge" } },
        { AppModel::kDefaultServer, { "Continue with Google", "Detect speakers (pyannoteAI)", "charges" },
            {} },
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.server.toStdString());
        QuietModel model;
        model.setServer(test.server);
        ContentView view(model);
        view.setRefreshInterval(50ms);
        view.show();
        QTest::qWait(400);
        QStringList texts = visibleTexts(view, &view);
        for (auto* button : view.findChildren<QAbstractButton*>()) {
            if (button->isVisibleTo(&view)) {
                texts << button->text();
            }
        }
        const QString all = texts.join('\n');
        for (const QString& named : test.named) {
            EXPECT_TRUE(all.contains(named)) << named.toStdString() << " missing from\n" << all.toStdString();
        }
        for (const QString& neverNamed : test.neverNamed) {
            EXPECT_FALSE(all.contains(neverNamed, Qt::CaseInsensitive)) << neverNamed.toStdString();
        }
        EXPECT_TRUE(texts.contains("Sign in to record."));
        EXPECT_TRUE(texts.contains("No transcripts"));
        EXPECT_FALSE(texts.contains("Sign out"));
        EXPECT_FALSE(buttonNamed(view, "Record")->isEnabled());
        EXPECT_TRUE(view.findChild<QLineEdit*>()->isEnabled());
    }
    EXPECT_EQ(listRequests(), 0u) << "no refresh on show and no polling while signed out";
}

// A sign-in that never completes must not hold the app: its address can be
// copied by hand, and Cancel ends the wait within a poll.
TEST_F(ContentViewTest, WaitingSignInOffersItsAddressToCopyEvenWithoutABrowserAndACancel)
{
    const QString page = scriptSignIn(m_server, "never", 1000);
    QuietModel model(false);
    ContentView view(model);
    view.show();
    const QString signIn = "Sign in at " + m_server.baseURL().authority();
    buttonNamed(view, signIn)->click();
    auto* address = view.findChild<QLineEdit*>("signInAddress");
    ASSERT_NE(address, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return address->isVisibleTo(&view); }, 10000));
    EXPECT_EQ(address->text(), page);
    EXPECT_EQ(model.status(), "The browser did not open: copy the address into one to continue.");
    buttonNamed(view, "Copy address")->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), page);

    QPushButton* cancel = buttonNamed(view, "Cancel sign-in");
    ASSERT_NE(cancel, nullptr);
    EXPECT_TRUE(cancel->isEnabled()) << "the window is busy, but the sign-in can always be cancelled";
    cancel->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isBusy(); }, 5000)) << "Cancel did not end the wait";
    EXPECT_FALSE(address->isVisibleTo(&view));
    EXPECT_NE(buttonNamed(view, signIn), nullptr);
    EXPECT_EQ(model.status(), "Signed out");
    EXPECT_FALSE(model.isSignedIn());
    EXPECT_FALSE(model.errorMessage().has_value());
    const size_t polls = m_server.requests("POST", "/auth/exchange").size();
    QTest::qWait(1500);
    EXPECT_EQ(m_server.requests("POST", "/auth/exchange").size(), polls) << "still polling after Cancel";
}

TEST_F(ContentViewTest, SignedInRowsShowCategoryEmailAndCleanupCaptions)
{
    signIn();
    scriptList(m_server,
        { listed(kSyncID, "Weekly sync", nullptr, "failed", "disabled"),
            listed("6BA7B810-9DAD-11D1-80B4-00C04FD430C8", "Budget", "Finance", "done", "sent"),
            listed("6BA7B811-9DAD-11D1-80B4-00C04FD430C8", "Standup", "Team", nullptr, nullptr) });
    QuietModel model;
    ContentView view(model);
    view.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.recordings().size() == 3; }, 10000));
    QTest::qWait(50);

    const auto row = [&](const QString& id) {
        return visibleTexts(view, view.findChild<QWidget*>("recording-" + id.toLower()));
    };
    const QStringList sync = row(kSyncID);
    EXPECT_TRUE(sync.contains("Uncategorized"));
    EXPECT_TRUE(sync.contains("AI cleanup unavailable; original transcript retained."));
    EXPECT_FALSE(sync.join('|').contains("Email: ")) << "disabled e-mail shows no line";
    const QStringList budget = row("6BA7B810-9DAD-11D1-80B4-00C04FD430C8");
    EXPECT_TRUE(budget.contains("Finance"));
    EXPECT_TRUE(budget.contains("Email: sent"));
    EXPECT_FALSE(row("6BA7B811-9DAD-11D1-80B4-00C04FD430C8").join('|').contains("Email: "))
        << "absent e-mail shows no line";
    EXPECT_FALSE(view.findChild<QLineEdit*>()->isEnabled()) << "the server is fixed while signed in";
    EXPECT_TRUE(buttonNamed(view, "Record")->isEnabled());
}

TEST_F(ContentViewTest, RefreshLoopPollsOnlyWhileTheServerIsStillWorking)
{
    signIn();
    scriptList(m_server, { listed(kSyncID, "Done", "Team", "done", "sent") });
    QuietModel model;
    ContentView view(model);
    view.setRefreshInterval(100ms);
    view.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return listRequests() == 1 && !model.isBusy(); }, 10000));
    QTest::qWait(600);
    EXPECT_EQ(listRequests(), 1u) << "everything final: the loop sleeps and sends nothing";

    scriptList(m_server, { listed(kSyncID, "Naming…", nullptr, "done", "pending") });
    view.refresh();
    ASSERT_TRUE(QTest::qWaitFor([&] { return listRequests() >= 4; }, 10000))
        << "an e-mail still pending keeps the list fresh";
    view.hide();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isBusy(); }, 5000));
    const size_t afterHide = listRequests();
    QTest::qWait(400);
    EXPECT_EQ(listRequests(), afterHide) << "the loop ends when the view goes away";
}

// A silent microphone must show during the meeting, not after it.
TEST_F(ContentViewTest, RecordingShowsItsTimeAndALevelMeterPerSource)
{
    signIn();
    scriptList(m_server, {});
    m_server.script("GET", "/v1/me", { ScriptedAnswer::json(200, { { "id", kAccountID } }) });
    const QString tone = m_xdg.path() + "/tone.wav";
    writeAudio(tone, "aevalsrc=0.5*sin(2*PI*440*t):s=48000:d=3");
    QuietModel model;
    ContentView view(model);
    view.resize(760, 720);
    view.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isBusy(); }, 10000));
    auto* elapsed = view.findChild<QLabel*>("elapsed");
    auto* system = view.findChild<QProgressBar*>("systemAudioMeter");
    auto* microphone = view.findChild<QProgressBar*>("microphoneMeter");
    ASSERT_TRUE(elapsed && system && microphone);
    EXPECT_FALSE(elapsed->isVisibleTo(&view)) << "nothing records yet";

    view.toggleRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.isRecording() && !model.isBusy(); }, 15000))
        << model.errorMessage().value_or("").toStdString();
    EXPECT_TRUE(system->isVisibleTo(&view));
    QProcess speaking;
    speaking.start("paplay", { "--device=micfeed", tone });
    EXPECT_TRUE(QTest::qWaitFor([&] { return microphone->value() > 40; }, 5000))
        << "the microphone meter stayed at " << microphone->value();
    EXPECT_LT(system->value(), 20) << "nothing played on the system output";
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return elapsed->text().startsWith("Recording 0:0") && elapsed->text() != "Recording 0:00"; },
        5000))
        << "the time did not run: " << elapsed->text().toStdString();
    screenshot(view, "main-recording");
    speaking.waitForFinished(10000);

    view.toggleRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isRecording() && !model.isBusy(); }, 60000));
    EXPECT_FALSE(elapsed->isVisibleTo(&view));
}

TEST_F(ContentViewTest, BusyDisablesEveryPendingControlAndReturnInTheDiscardAlertKeepsTheJob)
{
    signIn();
    const PendingRecording job = savedJob(m_server.baseURL(), Date::now(), true);
    scriptList(m_server, {}, 1500ms);
    QuietModel model;
    ContentView view(model);
    view.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.isBusy(); }, 5000));
    const auto row
        = [&] { return view.findChild<QWidget*>("pending-" + job.id.toString(QUuid::WithoutBraces)); };
    ASSERT_NE(row(), nullptr);
    QStringList labels;
    for (auto* button : row()->findChildren<QPushButton*>()) {
        labels << button->text();
        EXPECT_FALSE(button->isEnabled()) << button->text().toStdString();
    }
    EXPECT_EQ(
        labels, (QStringList { "Transcribe without speakers", "Listen", "Retry", "Show audio", "Discard…" }));
    EXPECT_FALSE(buttonNamed(view, "Record")->isEnabled());
    EXPECT_TRUE(view.findChild<QProgressBar*>("busy")->isVisible());

    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isBusy(); }, 10000));
    ASSERT_NE(row(), nullptr);
    for (auto* button : row()->findChildren<QPushButton*>()) {
        EXPECT_TRUE(button->isEnabled()) << button->text().toStdString();
    }
    EXPECT_FALSE(view.findChild<QProgressBar*>("busy")->isVisible());

    const QString status = model.status();
    buttonNamed(*row(), "Discard…")->click();
    QMessageBox* alert = view.discardAlert();
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->text(), "Discard saved recording?");
    EXPECT_EQ(alert->informativeText(),
        "Move this local audio and its transcription progress to Trash? You can listen first using Listen. "
        "Existing server transcripts and emails will not be deleted.");
    EXPECT_EQ(alert->buttonRole(buttonNamed(*alert, "Move to Trash")), QMessageBox::DestructiveRole);
    EXPECT_EQ(alert->buttonRole(buttonNamed(*alert, "Cancel")), QMessageBox::RejectRole);
    // Return, pressed out of habit, keeps the recording.
    QTest::keyClick(alert, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return view.discardAlert() == nullptr; }, 5000));
    EXPECT_TRUE(QFileInfo::exists(job.folder()));
    EXPECT_EQ(model.pendingRecordings().size(), 1u);
    EXPECT_EQ(model.status(), status);
}

TEST_F(ContentViewTest, DeleteAlertNamesTheTranscriptAndDeletesOnlyOnConfirm)
{
    signIn();
    scriptList(m_server, { listed(kSyncID, "Weekly sync", "Team", "done", nullptr) });
    const std::string path = std::string("/v1/recordings/") + kSyncID;
    m_server.script("DELETE", path, { ScriptedAnswer::json(200, { { "deleted", true } }) });
    QuietModel model;
    ContentView view(model);
    view.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.recordings().size() == 1 && !model.isBusy(); }, 10000));

    view.confirmDelete(model.recordings().front());
    QMessageBox* alert = view.deleteAlert();
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->text(), "Delete transcript?");
    EXPECT_EQ(alert->informativeText(),
        "Delete “Weekly sync” and its original text from the app and server? This cannot be undone. Existing "
        "backups and emails already sent are not removed.");
    EXPECT_EQ(alert->buttonRole(buttonNamed(*alert, "Delete")), QMessageBox::DestructiveRole);
    buttonNamed(*alert, "Cancel")->click();
    QTest::qWait(100);
    EXPECT_TRUE(m_server.requests("DELETE", path).empty());

    view.confirmDelete(model.recordings().front());
    buttonNamed(*view.deleteAlert(), "Delete")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.recordings().empty() && !model.isBusy(); }, 10000));
    EXPECT_EQ(model.status(), "Transcript deleted from app and server");
    EXPECT_TRUE(visibleTexts(view, &view).contains("No transcripts"));
}
