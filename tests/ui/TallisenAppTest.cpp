#include "ui/TallisenApp.h"

#include "api/KeychainStore.h"
#include "model/AppModel.h"
#include "support/AppFixtures.h"
#include "support/TemporaryXdg.h"
#include "ui/Autostart.h"
#include "ui/ContentView.h"
#include "ui/RecordingPreview.h"
#include "ui/WaveformStrip.h"

#include "Screenshot.h"
#include "Widgets.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QToolBar>

#include <gtest/gtest.h>

#include <functional>

using namespace AppFixtures;
using namespace std::chrono_literals;

namespace {

QAction* menuAction(QMainWindow& window, const QString& text)
{
    return childWithText<QAction>(*window.menuBar(), text);
}

nlohmann::json listed(const char* id, const char* title, const char* category, const char* cleanup)
{
    return recordingJson(id, title,
        { { "transcript",
              "[00:00:00] Speaker 1: Good morning, let us start with the plan for the new release.\n"
              "[00:00:05] Speaker 2: The server work is done and the tests pass." },
            { "recordedAt", "2026-12-04T09:30:00Z" }, { "category", category }, { "cleanupStatus", cleanup },
            { "emailStatus", "sent" } });
}

class TallisenAppTest : public ::testing::Test
{
protected:
    // Signed in to an account the server names, with no transcripts.
    void signIn()
    {
        KeychainStore::saveToken("app-token", server.baseURL());
        server.script("GET", "/v1/me", { ScriptedAnswer::json(200, { { "id", kAccountID } }) });
        scriptList(server, {});
    }

    static void waitUntilIdle(TallisenApp& app)
    {
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return !app.model().isBusy() && !app.model().isAdoptingCaptures(); }, 15000));
    }

    TemporaryXdg xdg;
    FakeServer server;
    SignedOut signedOut { server.baseURL() };
};

} // namespace

// A silent microphone must show during the meeting, not after it. Leaving
// while recording asks first, and Return keeps the meeting.
TEST_F(TallisenAppTest, RecordingShowsItsTimeAndLevelsAndLeavingAsksAndKeepsTheMeeting)
{
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "the choices below are those without a tray";
    signIn();
    const QString tone = xdg.path() + "/tone.wav";
    writeAudio(tone, "aevalsrc=0.5*sin(2*PI*440*t):s=48000:d=3");
    TallisenApp app;
    QSignalSpy quits(&app, &TallisenApp::quitRequested);
    app.show();
    app.window().resize(860, 720);
    waitUntilIdle(app);
    ContentView& view = app.content();
    auto* elapsed = view.findChild<QLabel*>("elapsed");
    auto* system = view.findChild<QProgressBar*>("systemAudioMeter");
    auto* microphone = view.findChild<QProgressBar*>("microphoneMeter");
    ASSERT_TRUE(elapsed && system && microphone);
    EXPECT_FALSE(elapsed->isVisibleTo(&view)) << "nothing records yet";

    view.toggleRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return app.model().isRecording() && !app.model().isBusy(); }, 15000))
        << app.model().errorMessage().value_or("").toStdString();
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
    screenshot(app.window(), "main-recording");
    speaking.waitForFinished(10000);

    struct Attempt
    {
        const char* name;
        std::function<void()> leave;
    };
    const Attempt attempts[] = {
        { "the window's close", [&] { EXPECT_FALSE(app.window().close()); } },
        { "Quit", [&] { menuAction(app.window(), "&Quit")->trigger(); } },
    };
    for (const Attempt& attempt : attempts) {
        SCOPED_TRACE(attempt.name);
        attempt.leave();
        ASSERT_NE(app.closeAlert(), nullptr) << "left without asking";
        QStringList buttons;
        for (QAbstractButton* button : app.closeAlert()->buttons()) {
            buttons << button->text();
        }
        EXPECT_EQ(buttons, QStringList({ TallisenApp::kStopAndTranscribe, "Cancel" }));
        QTest::keyClick(app.closeAlert(), Qt::Key_Return);
        ASSERT_TRUE(QTest::qWaitFor([&] { return app.closeAlert() == nullptr; }, 5000));
        EXPECT_TRUE(app.model().isRecording()) << "Return chose the default, which must keep recording";
        EXPECT_TRUE(app.window().isVisible());
        EXPECT_EQ(quits.size(), 0);
    }

    app.window().close();
    ASSERT_NE(app.closeAlert(), nullptr);
    childWithText<QPushButton>(*app.closeAlert(), TallisenApp::kStopAndTranscribe)->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !app.model().isRecording() && !app.model().isBusy(); }, 60000));
    EXPECT_FALSE(elapsed->isVisibleTo(&view));
    // The fake server transcribes nothing: the meeting waits on disk, and the
    // window stays to show why instead of ending the app.
    QTest::qWait(200);
    EXPECT_EQ(quits.size(), 0);
    EXPECT_TRUE(app.window().isVisible());
    EXPECT_TRUE(app.model().errorMessage().has_value());
    ASSERT_EQ(app.model().pendingRecordings().size(), 1U);
    EXPECT_TRUE(QFile::exists(app.model().pendingRecordings().front().audio()));
}

TEST_F(TallisenAppTest, MenusCarryTheShortcutsAndStartAtLoginWritesAnOwnerOnlyEntry)
{
    TallisenApp app;
    app.show();
    const std::pair<const char*, QKeySequence> shortcuts[] = {
        { "&Quit", QKeySequence(Qt::CTRL | Qt::Key_Q) },
        { "&Record or stop", QKeySequence(Qt::CTRL | Qt::Key_R) },
        { "Re&fresh transcripts", QKeySequence(Qt::Key_F5) },
        { "&Settings", QKeySequence(Qt::CTRL | Qt::Key_Comma) },
        { "&Import recording…", QKeySequence(Qt::CTRL | Qt::Key_I) },
    };
    for (const auto& [text, keys] : shortcuts) {
        SCOPED_TRACE(text);
        QAction* action = menuAction(app.window(), text);
        ASSERT_NE(action, nullptr);
        EXPECT_EQ(action->shortcut(), keys);
        // A second action on the same keys would make both do nothing.
        int owners = 0;
        for (QAction* other : app.window().findChildren<QAction*>()) {
            owners += other->shortcut() == keys ? 1 : 0;
        }
        EXPECT_EQ(owners, 1);
    }

    QSignalSpy quits(&app, &TallisenApp::quitRequested);
    menuAction(app.window(), "&Quit")->trigger();
    EXPECT_EQ(quits.size(), 1) << "nothing records, so Quit asks nothing";
    EXPECT_EQ(app.closeAlert(), nullptr);

    QAction* startAtLogin = menuAction(app.window(), "Start at &login");
    ASSERT_NE(startAtLogin, nullptr);
    EXPECT_FALSE(startAtLogin->isChecked());
    startAtLogin->trigger();
    QFile entry(Autostart::entryPath());
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    EXPECT_TRUE(entry.readAll().contains("\nExec=tallisen --background\n"));
    EXPECT_EQ(
        entry.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
        QFile::Permissions());
    startAtLogin->trigger();
    EXPECT_FALSE(QFile::exists(Autostart::entryPath()));

    // A file where the folder should be: the switch says why and stays off.
    QDir(QFileInfo(Autostart::entryPath()).absolutePath()).removeRecursively();
    QFile blocker(QFileInfo(Autostart::entryPath()).absolutePath());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QTimer::singleShot(0, [] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* warning = qobject_cast<QMessageBox*>(widget); warning && warning->isVisible()) {
                EXPECT_TRUE(warning->text().contains("could not change its login entry"))
                    << warning->text().toStdString();
                warning->accept();
            }
        }
    });
    startAtLogin->trigger();
    EXPECT_FALSE(startAtLogin->isChecked());
}

// Import recording… asks for one file, a recording or any file; a local file
// dropped on the window becomes a job (here kept, as the server transcribes
// nothing), a web address is refused.
TEST_F(TallisenAppTest, ImportAsksForAFileAndADroppedFileBecomesAJob)
{
    signIn();
    TallisenApp app;
    app.show();
    waitUntilIdle(app);

    menuAction(app.window(), "&Import recording…")->trigger();
    QFileDialog* dialog = app.importDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
    EXPECT_TRUE(dialog->nameFilters().front().contains("*.mp4"))
        << dialog->nameFilters().front().toStdString();
    EXPECT_EQ(dialog->nameFilters().back(), "All files (*)");
    dialog->reject();

    const auto drop = [&](const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&app.window(), &enter);
        QDropEvent dropped(QPointF(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&app.window(), &dropped);
        return enter.isAccepted();
    };
    EXPECT_FALSE(drop({ QUrl("https://example.test/call.wav") }));
    const QString call = xdg.path() + "/call.wav";
    writeTone(call, 440, 2);
    EXPECT_TRUE(drop({ QUrl::fromLocalFile(call) }));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !app.model().isBusy() && !app.model().pendingRecordings().empty(); }, 30000));
    ASSERT_EQ(app.model().pendingRecordings().size(), 1u);
    EXPECT_EQ(app.model().pendingRecordings().front().importedFrom, call);
}

// While busy every control of a waiting job is off; Return in its discard
// alert keeps it.
TEST_F(TallisenAppTest, OneTitledWindowThroughSignInRecordingsPendingJobsAndBusy)
{

    std::optional<QImage> signedOut;
    {
        TallisenApp app;
        app.show();
        EXPECT_EQ(app.window().windowTitle(), "Tallisen");
        EXPECT_LE(app.window().minimumWidth(), 640) << "too wide for 1280×800 at a scale of 2";
        EXPECT_LE(app.window().minimumHeight(), 360);
        auto* scroll = app.content().findChild<QScrollArea*>();
        ASSERT_NE(scroll, nullptr);
        app.window().resize(app.window().minimumSize());
        screenshot(app.window(), "main-smallest");
        EXPECT_TRUE(scroll->verticalScrollBar()->isVisible()) << "below its natural size the content scrolls";
        EXPECT_GE(scroll->widget()->height(), scroll->widget()->minimumSizeHint().height()) << "not squeezed";
        app.window().resize(640, 480);
        screenshot(app.window(), "main-narrow");
        app.window().resize(860, 720);
        EXPECT_NE(app.window().findChild<QToolBar*>(), nullptr);
        signedOut = screenshot(app.window(), "main-signed-out");
        EXPECT_FALSE(signedOut->isNull());
    }

    KeychainStore::saveToken("screenshot-token", server.baseURL());
    const PendingRecording job = savedJob(server.baseURL(), Date::now(), true);
    writeAudio(job.audio(), "aevalsrc=0.4*sin(2*PI*220*t)*abs(sin(PI*t/3)):s=48000:d=20");
    const std::vector<nlohmann::json> recordings { listed("3F2504E0-4F89-11D3-9A0C-0305E82C3301",
                                                       "Release planning", "Engineering", "done"),
        listed("6BA7B810-9DAD-11D1-80B4-00C04FD430C8", "Budget review", "Finance", "pending") };
    scriptList(server, recordings);

    TallisenApp app;
    app.show();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return app.model().recordings().size() == 2 && !app.model().isBusy(); }, 15000));
    const QImage signedIn = screenshot(app.window(), "main-signed-in");
    EXPECT_NE(signedIn, *signedOut);

    scriptList(server, recordings, 3000ms);
    ContentView& view = app.content();
    view.refresh();
    ASSERT_TRUE(app.model().isBusy());
    screenshot(app.window(), "main-busy");
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
    EXPECT_FALSE(childWithText<QPushButton>(view, "Record")->isEnabled());
    EXPECT_TRUE(view.findChild<QProgressBar*>("busy")->isVisible());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !app.model().isBusy(); }, 15000));
    ASSERT_NE(row(), nullptr);
    for (auto* button : row()->findChildren<QPushButton*>()) {
        EXPECT_TRUE(button->isEnabled()) << button->text().toStdString();
    }
    EXPECT_FALSE(view.findChild<QProgressBar*>("busy")->isVisible());

    const QString status = app.model().status();
    childWithText<QPushButton>(*row(), "Discard…")->click();
    QMessageBox* alert = view.discardAlert();
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->text(), "Discard saved recording?");
    EXPECT_EQ(alert->informativeText(),
        "Move this local audio and its transcription progress to Trash? You can listen first using Listen. "
        "Existing server transcripts and emails will not be deleted.");
    EXPECT_EQ(
        alert->buttonRole(childWithText<QPushButton>(*alert, "Move to Trash")), QMessageBox::DestructiveRole);
    EXPECT_EQ(alert->buttonRole(childWithText<QPushButton>(*alert, "Cancel")), QMessageBox::RejectRole);
    QTest::keyClick(alert, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return view.discardAlert() == nullptr; }, 5000));
    EXPECT_TRUE(QFileInfo::exists(job.folder()));
    EXPECT_EQ(app.model().pendingRecordings().size(), 1u);
    EXPECT_EQ(app.model().status(), status);

    QPushButton* listen = childWithText<QPushButton>(*row(), "Listen");
    ASSERT_NE(listen, nullptr);
    listen->click();
    ASSERT_NE(app.content().preview(), nullptr);
    EXPECT_TRUE(app.model().isPreviewing());
    ASSERT_TRUE(QTest::qWaitFor([&] { return app.content().preview()->hasPlayer(); }, 15000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !app.content().preview()->waveform().peaks().empty(); }, 15000));
    app.content().preview()->seek(7);
    screenshot(*app.content().preview(), "preview");
    app.content().preview()->close();
    EXPECT_FALSE(app.model().isPreviewing()) << "closing the sheet ends the preview";
}
