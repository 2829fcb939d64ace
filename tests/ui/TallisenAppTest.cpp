#include "ui/TallisenApp.h"

#include "api/KeychainStore.h"
#include "model/AppModel.h"
#include "model/SettingsStore.h"
#include "support/FakeServer.h"
#include "support/TemporaryXdg.h"
#include "ui/ContentView.h"
#include "ui/RecordingPreview.h"
#include "ui/WaveformStrip.h"

#include <QDir>
#include <QMainWindow>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QToolBar>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// Saves a picture of the widget when TALLISEN_SCREENSHOT_DIR names a folder
// (the README's screenshots are made this way under Xvfb).
QImage capture(QWidget& widget, const char* name)
{
    QTest::qWait(200);
    const QImage image = widget.grab().toImage();
    const QString directory = qEnvironmentVariable("TALLISEN_SCREENSHOT_DIR");
    if (!directory.isEmpty()) {
        QDir().mkpath(directory);
        image.save(directory + u'/' + QString::fromLatin1(name) + ".png");
    }
    return image;
}

nlohmann::json recordingJson(const char* id, const char* title, const char* category, const char* cleanup)
{
    return { { "id", id }, { "title", title },
        { "transcript",
            "[00:00:00] Speaker 1: Good morning, let us start with the plan for the new release.\n"
            "[00:00:05] Speaker 2: The server work is done and the tests pass." },
        { "languageCodes", nlohmann::json::array({ "en" }) }, { "recordedAt", "2026-12-04T09:30:00Z" },
        { "createdAt", "2026-12-04T10:30:00Z" }, { "category", category }, { "cleanupStatus", cleanup },
        { "emailStatus", "sent" } };
}

} // namespace

TEST(TallisenAppTest, OneTitledWindowThroughSignInRecordingsPendingJobsAndBusy)
{
    TemporaryXdg xdg;
    FakeServer server;
    KeychainStore::clearToken();
    SettingsStore().setString(SettingsStore::kServer, server.baseURL().toString());

    std::optional<QImage> signedOut;
    {
        TallisenApp app;
        app.show();
        EXPECT_EQ(app.window().windowTitle(), "Tallisen");
        EXPECT_GE(app.window().minimumWidth(), 760);
        EXPECT_GE(app.window().minimumHeight(), 520);
        EXPECT_NE(app.window().findChild<QToolBar*>(), nullptr);
        signedOut = capture(app.window(), "main-signed-out");
        EXPECT_FALSE(signedOut->isNull());
    }

    KeychainStore::saveToken("screenshot-token", server.baseURL());
    PendingRecording job { .id = QUuid::createUuid(),
        .userID = QUuid::createUuid(),
        .server = server.baseURL(),
        .recordedAt = Date::now(),
        .emailTo = "",
        .diarizationEnabled = true };
    ASSERT_TRUE(QDir().mkpath(job.folder()));
    job.save();
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg",
        { "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
            "aevalsrc=0.4*sin(2*PI*220*t)*abs(sin(PI*t/3)):s=48000:d=20", "-c:a", "aac", job.audio() });
    ASSERT_TRUE(ffmpeg.waitForFinished(30000));
    auto list = ScriptedAnswer::json(200,
        { { "recordings",
            nlohmann::json::array({ recordingJson("3F2504E0-4F89-11D3-9A0C-0305E82C3301", "Release planning",
                                        "Engineering", "done"),
                recordingJson(
                    "6BA7B810-9DAD-11D1-80B4-00C04FD430C8", "Budget review", "Finance", "pending") }) } });
    server.script("GET", "/v1/recordings", { list });

    TallisenApp app;
    app.show();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return app.model().recordings().size() == 2 && !app.model().isBusy(); }, 15000));
    const QImage signedIn = capture(app.window(), "main-signed-in");
    EXPECT_NE(signedIn, *signedOut);

    list.delay = 3000ms;
    server.script("GET", "/v1/recordings", { list });
    app.content().refresh();
    ASSERT_TRUE(app.model().isBusy());
    capture(app.window(), "main-busy");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !app.model().isBusy(); }, 15000));

    QPushButton* listen = nullptr;
    for (auto* button : app.window().findChildren<QPushButton*>()) {
        if (button->text() == "Listen") {
            listen = button;
        }
    }
    ASSERT_NE(listen, nullptr);
    listen->click();
    ASSERT_NE(app.content().preview(), nullptr);
    EXPECT_TRUE(app.model().isPreviewing());
    ASSERT_TRUE(QTest::qWaitFor([&] { return app.content().preview()->hasPlayer(); }, 15000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !app.content().preview()->waveform().peaks().empty(); }, 15000));
    app.content().preview()->seek(7);
    capture(*app.content().preview(), "preview");
    app.content().preview()->close();
    EXPECT_FALSE(app.model().isPreviewing()) << "closing the sheet ends the preview";
    KeychainStore::clearToken();
}
