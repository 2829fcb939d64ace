// The whole road of one meeting on real components: browser sign-in against
// the transcription server, twenty seconds of two tones through the sound
// server, stop, speaker detection and word alignment, the saved transcript.

#include "SessionFixture.h"

#include "api/APIClient.h"
#include "model/ModelTestServer.h"

#include <QStandardPaths>

#include <nlohmann/json.hpp>

using namespace SessionTesting;
using namespace std::chrono_literals;

namespace {

std::unique_ptr<QProcess> play(const QString& wav, const QString& sink)
{
    auto player = std::make_unique<QProcess>();
    player->start("paplay", { "--device=" + sink, wav });
    player->waitForStarted(5000);
    return player;
}

// Whether `expected` appears in `seen` in this order, other lines between.
bool inOrder(const QStringList& seen, const QStringList& expected)
{
    qsizetype at = 0;
    for (const QString& line : seen) {
        if (at < expected.size() && line == expected[at]) {
            ++at;
        }
    }
    return at == expected.size();
}

} // namespace

class RecordingRoadTest : public SessionTest
{
};

TEST_F(RecordingRoadTest, SignInRecordTranscribeWithSpeakersAndLeaveNothingBehind)
{
    // Sign-in runs against a plain loopback server: the HTTPS test server
    // waits for a body on a POST without Content-Length, which the sign-in
    // requests do not send.
    KeychainStore::clearToken();
    ModelTestServer accounts;
    SettingsStore().setString(SettingsStore::kServer, accounts.url().toString());
    accounts.route("POST", "/auth/google/prepare", [&accounts](const ModelTestServer::Request&) {
        return ModelTestServer::Answer {
            200,
            QStringLiteral(R"({"url":"%1/signin","code":"one-time"})").arg(accounts.url().toString()).toUtf8()
        };
    });
    accounts.route("POST", "/auth/exchange", [&accounts](const ModelTestServer::Request&) {
        return accounts.count("POST", "/auth/exchange") == 1
            ? ModelTestServer::Answer { 400, R"({"error":"Sign-in is still pending."})" }
            : ModelTestServer::Answer { 200, R"({"token":"test-token"})" };
    });
    accounts.route("GET", "/v1/me", [](const ModelTestServer::Request&) {
        return ModelTestServer::Answer { 200, QStringLiteral(R"({"id":"%1"})").arg(kUserID).toUtf8() };
    });
    accounts.route("GET", "/v1/recordings", [](const ModelTestServer::Request&) {
        return ModelTestServer::Answer { 200, R"({"recordings":[]})" };
    });
    server.configure([](PipelineServer::Settings& settings) {
        settings.segments
            = nlohmann::json::array({ { { "speaker", "SPEAKER_00" }, { "start", 0.0 }, { "end", 10.0 } },
                { { "speaker", "SPEAKER_01" }, { "start", 10.0 }, { "end", 20.5 } } });
        settings.transcribe
            = [](const PipelineServer::Request&) { return std::string("Good morning all. Thanks, hello."); };
        settings.align = [](const std::string&) {
            return nlohmann::json::array({ { { "text", "Good" }, { "start", 1.0 }, { "end", 1.4 } },
                { { "text", " morning" }, { "start", 1.5 }, { "end", 2.0 } },
                { { "text", " all." }, { "start", 2.1 }, { "end", 2.5 } },
                { { "text", " Thanks," }, { "start", 12.0 }, { "end", 12.5 } },
                { { "text", " hello." }, { "start", 12.6 }, { "end", 13.0 } } });
        };
    });
    const QString low = xdg.path() + "/low.wav";
    const QString high = xdg.path() + "/high.wav";
    writeTone(low, 330, 20);
    writeTone(high, 880, 20);

    SessionModel model;
    collectStatuses(model);
    ASSERT_FALSE(model.isSignedIn());
    run(model.signIn());
    ASSERT_TRUE(model.isSignedIn()) << model.errorMessage().value_or("").toStdString();
    EXPECT_EQ(KeychainStore::loadToken(accounts.url()), kToken);
    // The same account on the transcription server, as a second sign-in would set it.
    model.setServer(server.baseURL().toString());
    model.updateServer();
    model.client().setToken(kToken);
    model.setDiarizationEnabled(true);

    run(model.startRecording({}));
    ASSERT_TRUE(model.isRecording()) << model.errorMessage().value_or("").toStdString();
    const auto system = play(low, "speaker");
    const auto microphone = play(high, "micfeed");
    ASSERT_TRUE(QTest::qWaitFor([&] { return system->state() == QProcess::NotRunning; }, 40000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return microphone->state() == QProcess::NotRunning; }, 5000));
    run(model.stopAndTranscribe());

    EXPECT_EQ(model.errorMessage(), std::nullopt);
    EXPECT_EQ(model.status(), "Transcript saved; AI is naming and categorizing it…");
    const auto saved = server.savedTranscripts();
    ASSERT_EQ(saved.size(), 1U);
    const std::string transcript = saved.begin()->second.value("transcript", "");
    EXPECT_NE(transcript.find("Good morning all."), std::string::npos) << transcript;
    EXPECT_NE(transcript.find("Thanks, hello."), std::string::npos) << transcript;
    EXPECT_LT(transcript.find("Good morning all."), transcript.find("Thanks, hello.")) << transcript;
    EXPECT_NE(transcript.find("00:00:01"), std::string::npos) << transcript;
    EXPECT_NE(transcript.find("00:00:12"), std::string::npos) << transcript;
    // The whole meeting went up for speaker detection: AAC of 20 s is tens of kilobytes.
    const auto uploads = server.requests("upload");
    ASSERT_EQ(uploads.size(), 1U);
    EXPECT_GT(uploads.front().bodyBytes, 40000);
    ASSERT_EQ(model.recordings().size(), 1U);

    EXPECT_TRUE(inOrder(statuses,
        { "Opening the sign-in at " + accounts.url().authority() + "…",
            "Waiting for the sign-in at " + accounts.url().authority() + "…", "Signed in", "0 transcripts",
            "Starting capture…", "Recording microphone + system audio", "Finalizing mixed audio…",
            "Saving the complete meeting transcript…",
            "Transcript saved; AI is naming and categorizing it…" }))
        << statuses.join(" | ").toStdString();

    const QString tallisen
        = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Tallisen";
    EXPECT_TRUE(filesIn(Recorder::capturesDirectory()).isEmpty());
    EXPECT_TRUE(filesIn(PendingRecording::root()).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(Recorder::defaultRecoveryDirectory()));
    EXPECT_TRUE(model.pendingRecordings().empty());
}
