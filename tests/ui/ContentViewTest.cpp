#include "ui/ContentView.h"

#include "api/KeychainStore.h"
#include "model/AppModel.h"
#include "model/SettingsStore.h"
#include "support/FakeServer.h"
#include "support/TemporaryXdg.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// The model without its microphone monitor, so a test decides when anything records.
class QuietModel : public AppModel
{
public:
    QuietModel()
        : AppModel([](const QUrl&) { return true; }, std::nullopt)
    { }
};

nlohmann::json recordingJson(const char* id, const char* title, nlohmann::json category,
    nlohmann::json cleanupStatus, nlohmann::json emailStatus)
{
    return {
        { "id", id },
        { "title", title },
        { "transcript", "Hello there." },
        { "languageCodes", nlohmann::json::array({ "en" }) },
        { "recordedAt", "2026-03-01T09:30:00Z" },
        { "createdAt", "2026-03-01T10:30:00Z" },
        { "category", category },
        { "cleanupStatus", cleanupStatus },
        { "emailStatus", emailStatus },
    };
}

QPushButton* buttonNamed(QWidget& root, const QString& text)
{
    for (auto* button : root.findChildren<QPushButton*>()) {
        if (button->text() == text) {
            return button;
        }
    }
    return nullptr;
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
    void SetUp() override
    {
        KeychainStore::clearToken();
        SettingsStore settings;
        settings.setString(SettingsStore::kServer, m_server.baseURL().toString());
    }

    void TearDown() override { KeychainStore::clearToken(); }

    void signIn() { KeychainStore::saveToken(QStringLiteral("ui-test-token"), m_server.baseURL()); }

    void scriptList(const nlohmann::json& recordings, std::chrono::milliseconds delay = 0ms)
    {
        auto answer = ScriptedAnswer::json(200, { { "recordings", recordings } });
        answer.delay = delay;
        m_server.script("GET", "/v1/recordings", { answer });
    }

    PendingRecording savePendingJob()
    {
        PendingRecording job { .id = QUuid::createUuid(),
            .userID = QUuid::createUuid(),
            .server = m_server.baseURL(),
            .recordedAt = Date::now(),
            .emailTo = "",
            .diarizationEnabled = true };
        EXPECT_TRUE(QDir().mkpath(job.folder()));
        job.save();
        return job;
    }

    size_t listRequests() const { return m_server.requests("GET", "/v1/recordings").size(); }

    TemporaryXdg m_xdg;
    FakeServer m_server;
};

} // namespace

TEST_F(ContentViewTest, SignedOutOffersSignInAndNeverPolls)
{
    QuietModel model;
    ContentView view(model);
    view.setRefreshInterval(50ms);
    view.show();
    QTest::qWait(400);

    EXPECT_TRUE(view.findChild<QLineEdit*>()->isEnabled());
    ASSERT_NE(buttonNamed(view, "Continue with Google"), nullptr);
    EXPECT_TRUE(buttonNamed(view, "Continue with Google")->isVisible());
    EXPECT_FALSE(buttonNamed(view, "Sign out")->isVisible());
    EXPECT_FALSE(buttonNamed(view, "Record")->isEnabled());
    EXPECT_EQ(listRequests(), 0u) << "no refresh on show and no polling while signed out";
    EXPECT_TRUE(visibleTexts(view, &view).contains("No transcripts"));
}

TEST_F(ContentViewTest, SignedInRowsShowCategoryEmailAndCleanupCaptions)
{
    signIn();
    scriptList(nlohmann::json::array({
        recordingJson("3F2504E0-4F89-11D3-9A0C-0305E82C3301", "Weekly sync", nullptr, "failed", "disabled"),
        recordingJson("6BA7B810-9DAD-11D1-80B4-00C04FD430C8", "Budget", "Finance", "done", "sent"),
        recordingJson("6BA7B811-9DAD-11D1-80B4-00C04FD430C8", "Standup", "Team", nullptr, nullptr),
    }));
    QuietModel model;
    ContentView view(model);
    view.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.recordings().size() == 3; }, 10000));
    QTest::qWait(50);

    auto row = [&](const char* id) {
        return view.findChild<QWidget*>(QString("recording-") + QString(id).toLower());
    };
    const QStringList sync = visibleTexts(view, row("3F2504E0-4F89-11D3-9A0C-0305E82C3301"));
    EXPECT_TRUE(sync.contains("Uncategorized"));
    EXPECT_TRUE(sync.contains("AI cleanup unavailable; original transcript retained."));
    EXPECT_FALSE(sync.join('|').contains("Email: ")) << "disabled e-mail shows no line";
    const QStringList budget = visibleTexts(view, row("6BA7B810-9DAD-11D1-80B4-00C04FD430C8"));
    EXPECT_TRUE(budget.contains("Finance"));
    EXPECT_TRUE(budget.contains("Email: sent"));
    const QStringList standup = visibleTexts(view, row("6BA7B811-9DAD-11D1-80B4-00C04FD430C8"));
    EXPECT_FALSE(standup.join('|').contains("Email: ")) << "absent e-mail shows no line";
    EXPECT_FALSE(view.findChild<QLineEdit*>()->isEnabled()) << "the server is fixed while signed in";
    EXPECT_TRUE(buttonNamed(view, "Record")->isEnabled());
    EXPECT_EQ(model.status(), "3 transcripts");
}

TEST_F(ContentViewTest, RefreshLoopPollsOnlyWhileTheServerIsStillWorking)
{
    signIn();
    scriptList(nlohmann::json::array(
        { recordingJson("3F2504E0-4F89-11D3-9A0C-0305E82C3301", "Done", "Team", "done", "sent") }));
    QuietModel model;
    ContentView view(model);
    view.setRefreshInterval(100ms);
    view.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return listRequests() == 1 && !model.isBusy(); }, 10000));
    QTest::qWait(600);
    EXPECT_EQ(listRequests(), 1u) << "everything final: the loop sleeps and sends nothing";

    scriptList(nlohmann::json::array(
        { recordingJson("3F2504E0-4F89-11D3-9A0C-0305E82C3301", "Naming…", nullptr, "done", "pending") }));
    view.refresh();
    ASSERT_TRUE(QTest::qWaitFor([&] { return listRequests() >= 4; }, 10000))
        << "an e-mail still pending keeps the list fresh";
    view.hide();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isBusy(); }, 5000));
    const size_t afterHide = listRequests();
    QTest::qWait(400);
    EXPECT_EQ(listRequests(), afterHide) << "the loop ends when the view goes away";
}

TEST_F(ContentViewTest, BusyDisablesRecordAndEveryPendingControl)
{
    signIn();
    const PendingRecording job = savePendingJob();
    scriptList(nlohmann::json::array(), 1500ms);
    QuietModel model;
    ContentView view(model);
    view.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.isBusy(); }, 5000));

    QWidget* row = view.findChild<QWidget*>("pending-" + job.id.toString(QUuid::WithoutBraces));
    ASSERT_NE(row, nullptr);
    const auto buttons = row->findChildren<QPushButton*>();
    QStringList labels;
    for (auto* button : buttons) {
        labels << button->text();
        EXPECT_FALSE(button->isEnabled()) << button->text().toStdString();
    }
    EXPECT_EQ(
        labels, (QStringList { "Transcribe without speakers", "Listen", "Retry", "Show audio", "Discard…" }));
    EXPECT_FALSE(buttonNamed(view, "Record")->isEnabled());
    EXPECT_TRUE(view.findChild<QProgressBar*>()->isVisible());

    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isBusy(); }, 10000));
    row = view.findChild<QWidget*>("pending-" + job.id.toString(QUuid::WithoutBraces));
    ASSERT_NE(row, nullptr);
    for (auto* button : row->findChildren<QPushButton*>()) {
        EXPECT_TRUE(button->isEnabled()) << button->text().toStdString();
    }
    EXPECT_FALSE(view.findChild<QProgressBar*>()->isVisible());
}

TEST_F(ContentViewTest, DiscardAlertTextsAndCancelChangesNothing)
{
    const PendingRecording job = savePendingJob();
    QuietModel model;
    ContentView view(model);
    view.show();
    QWidget* row = view.findChild<QWidget*>("pending-" + job.id.toString(QUuid::WithoutBraces));
    ASSERT_NE(row, nullptr);
    buttonNamed(*row, "Discard…")->click();
    QMessageBox* alert = view.discardAlert();
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->text(), "Discard saved recording?");
    EXPECT_EQ(alert->informativeText(),
        "Move this local audio and its transcription progress to Trash? You can listen first using Listen. "
        "Existing server transcripts and emails will not be deleted.");
    QPushButton* trash = buttonNamed(*alert, "Move to Trash");
    QPushButton* cancel = buttonNamed(*alert, "Cancel");
    ASSERT_NE(trash, nullptr);
    ASSERT_NE(cancel, nullptr);
    EXPECT_EQ(alert->buttonRole(trash), QMessageBox::DestructiveRole);
    EXPECT_EQ(alert->buttonRole(cancel), QMessageBox::RejectRole);

    // Return, pressed out of habit, keeps the recording.
    QTest::keyClick(alert, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return view.discardAlert() == nullptr; }, 5000));
    EXPECT_TRUE(QFileInfo::exists(job.folder()));
    EXPECT_EQ(model.pendingRecordings().size(), 1u);
    EXPECT_EQ(model.status(), "Ready");
}

TEST_F(ContentViewTest, DeleteAlertNamesTheTranscriptAndDeletesOnlyOnConfirm)
{
    signIn();
    scriptList(nlohmann::json::array(
        { recordingJson("3F2504E0-4F89-11D3-9A0C-0305E82C3301", "Weekly sync", "Team", "done", nullptr) }));
    m_server.script("DELETE", "/v1/recordings/3F2504E0-4F89-11D3-9A0C-0305E82C3301",
        { ScriptedAnswer::json(200, { { "deleted", true } }) });
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
    EXPECT_TRUE(m_server.requests("DELETE", "/v1/recordings/3F2504E0-4F89-11D3-9A0C-0305E82C3301").empty());

    view.confirmDelete(model.recordings().front());
    buttonNamed(*view.deleteAlert(), "Delete")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.recordings().empty() && !model.isBusy(); }, 10000));
    EXPECT_EQ(model.status(), "Transcript deleted from app and server");
    EXPECT_TRUE(visibleTexts(view, &view).contains("No transcripts"));
}
