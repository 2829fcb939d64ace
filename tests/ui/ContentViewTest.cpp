#include "ui/ContentView.h"

#include "api/KeychainStore.h"
#include "support/AppFixtures.h"
#include "support/TemporaryXdg.h"

#include "Screenshot.h"
#include "Widgets.h"

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace AppFixtures;
using namespace std::chrono_literals;

namespace {

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
    void signIn() { KeychainStore::saveToken(QStringLiteral("ui-test-token"), m_server.baseURL()); }
    size_t listRequests() const { return m_server.requests("GET", "/v1/recordings").size(); }

    TemporaryXdg m_xdg;
    FakeServer m_server;
    SignedOut m_signedOut { m_server.baseURL() };
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

// Captions, the delete alert and the refresh loop on one signed-in list.
TEST_F(ContentViewTest, SignedInRowsShowTheirCaptionsDeleteOnlyOnConfirmAndPollWhileTheServerWorks)
{
    signIn();
    const char* const budgetID = "6BA7B810-9DAD-11D1-80B4-00C04FD430C8";
    const char* const standupID = "6BA7B811-9DAD-11D1-80B4-00C04FD430C8";
    scriptList(m_server,
        { listed(kSyncID, "Weekly sync", nullptr, "failed", "disabled"),
            listed(budgetID, "Budget", "Finance", "done", "sent"),
            listed(standupID, "Standup", "Team", nullptr, nullptr) });
    const std::string path = std::string("/v1/recordings/") + kSyncID;
    m_server.script("DELETE", path, { ScriptedAnswer::json(200, { { "deleted", true } }) });
    QuietModel model;
    ContentView view(model);
    view.setRefreshInterval(100ms);
    view.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.recordings().size() == 3 && !model.isBusy(); }, 10000));
    QTest::qWait(50);

    const auto row = [&](const QString& id) { return view.findChild<QWidget*>("recording-" + id.toLower()); };
    const QStringList sync = visibleTexts(view, row(kSyncID));
    EXPECT_TRUE(sync.contains("Uncategorized"));
    EXPECT_TRUE(sync.contains("AI cleanup unavailable; original transcript retained."));
    EXPECT_FALSE(sync.join('|').contains("Email: ")) << "disabled e-mail shows no line";
    const QStringList budget = visibleTexts(view, row(budgetID));
    EXPECT_TRUE(budget.contains("Finance"));
    EXPECT_TRUE(budget.contains("Email: sent"));
    EXPECT_FALSE(visibleTexts(view, row(standupID)).join('|').contains("Email: "))
        << "absent e-mail shows no line";
    EXPECT_FALSE(view.findChild<QLineEdit*>()->isEnabled()) << "the server is fixed while signed in";
    EXPECT_TRUE(buttonNamed(view, "Record")->isEnabled());
    QTest::qWait(600);
    EXPECT_EQ(listRequests(), 1u) << "everything final: the loop sleeps and sends nothing";

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
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.recordings().size() == 2 && !model.isBusy(); }, 10000));
    EXPECT_EQ(model.status(), "Transcript deleted from app and server");
    EXPECT_EQ(row(kSyncID), nullptr);

    scriptList(m_server, { listed(kSyncID, "Naming…", nullptr, "done", "pending") });
    const size_t before = listRequests();
    view.refresh();
    ASSERT_TRUE(QTest::qWaitFor([&] { return listRequests() >= before + 3; }, 10000))
        << "an e-mail still pending keeps the list fresh";
    view.hide();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isBusy(); }, 5000));
    const size_t afterHide = listRequests();
    QTest::qWait(400);
    EXPECT_EQ(listRequests(), afterHide) << "the loop ends when the view goes away";
}
