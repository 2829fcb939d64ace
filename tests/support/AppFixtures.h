#pragma once

// What the model's and the window's tests set up alike: transcripts as the
// server lists them, a browser sign-in on the fake server, a job waiting on
// disk and generated audio.

#include "core/Date.h"
#include "store/PendingRecording.h"
#include "support/FakeServer.h"

#include <QDir>
#include <QProcess>
#include <QStringList>
#include <QUuid>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace AppFixtures {

inline const std::string kAccountID = "7C9E6679-7425-40DE-944B-E07FC1F90AE7";

// A transcript as GET /v1/recordings lists it; `extra` adds or replaces fields.
inline nlohmann::json recordingJson(
    const std::string& id, const std::string& title, const nlohmann::json& extra = nlohmann::json::object())
{
    nlohmann::json recording { { "id", id }, { "title", title }, { "transcript", "Hello there." },
        { "languageCodes", { "en" } }, { "recordedAt", "2026-03-01T09:30:00Z" },
        { "createdAt", "2026-03-01T10:30:00Z" } };
    recording.update(extra);
    return recording;
}

inline void scriptList(
    FakeServer& server, const std::vector<nlohmann::json>& recordings, std::chrono::milliseconds delay = {})
{
    auto answer = ScriptedAnswer::json(200, { { "recordings", nlohmann::json(recordings) } });
    answer.delay = delay;
    server.script("GET", "/v1/recordings", { answer });
}

// Prepare names a page on the server, the exchange stays pending for
// `pending` polls and then issues the token. Returns the page.
inline QString scriptSignIn(FakeServer& server, const QString& token, int pending = 0)
{
    const QString page = server.baseURL().toString() + "/auth/google/start?state=xyz";
    server.script("POST", "/auth/google/prepare",
        { ScriptedAnswer::json(200, { { "url", page.toStdString() }, { "code", "one-time" } }) });
    std::vector<ScriptedAnswer> exchange(
        pending, ScriptedAnswer::json(400, { { "error", "Sign-in is still pending." } }));
    exchange.push_back(ScriptedAnswer::json(200, { { "token", token.toStdString() } }));
    server.script("POST", "/auth/exchange", exchange);
    server.script("GET", "/v1/me", { ScriptedAnswer::json(200, { { "id", kAccountID } }) });
    return page;
}

// A job of some account waiting on disk, without audio.
inline PendingRecording savedJob(const QUrl& server, Date recordedAt = Date::now(), bool diarization = false)
{
    PendingRecording job { .id = QUuid::createUuid(),
        .userID = QUuid::createUuid(),
        .server = server,
        .recordedAt = recordedAt,
        .emailTo = "team@example.com",
        .diarizationEnabled = diarization };
    EXPECT_TRUE(QDir().mkpath(job.folder()));
    job.save();
    return job;
}

// Runs the ffmpeg command with these arguments (inputs, options, output).
inline void runFfmpeg(const QStringList& arguments)
{
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", QStringList { "-nostdin", "-loglevel", "error", "-y" } + arguments);
    ASSERT_TRUE(ffmpeg.waitForFinished(30000));
    ASSERT_EQ(ffmpeg.exitCode(), 0) << ffmpeg.readAllStandardError().toStdString();
}

// Audio from an ffmpeg lavfi source; the file's extension picks the format.
inline void writeAudio(const QString& path, const QString& source)
{
    runFfmpeg({ "-f", "lavfi", "-i", source, path });
}

// A mono 48 kHz sine at about a third of full scale.
inline void writeTone(const QString& path, double frequency, double seconds)
{
    writeAudio(path, QStringLiteral("aevalsrc=0.37*sin(2*PI*%1*t):s=48000:d=%2").arg(frequency).arg(seconds));
}

} // namespace AppFixtures
