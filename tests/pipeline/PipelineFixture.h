#pragma once

#include "PipelineServer.h"

#include "api/APIClient.h"
#include "core/Uuids.h"
#include "store/PendingRecording.h"
#include "support/RunTask.h"
#include "support/TemporaryXdg.h"

#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <vector>

inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

// The client with its waits recorded instead of slept.
class TestClient : public APIClient
{
public:
    using APIClient::APIClient;
    using APIClient::detectSpeakers;

    std::vector<std::chrono::milliseconds> waits;

    void recordWaits()
    {
        setWaitForTesting([this](std::chrono::milliseconds duration) -> QCoro::Task<void> {
            waits.push_back(duration);
            co_return;
        });
    }
};

namespace PipelineTesting {

using Strings = std::vector<std::string>;
inline const QString kToken = QStringLiteral("test-token");

// The exception of type Error a task ends with, if it does.
template <typename Error, typename T> std::optional<Error> thrown(QCoro::Task<T> task)
{
    try {
        TestTasks::run(std::move(task));
    } catch (const Error& error) {
        return error;
    }
    return std::nullopt;
}

// The message of the APIClientError, without a status code, a task ends with.
template <typename T> QString failureMessage(QCoro::Task<T> task)
{
    const auto error = thrown<APIClientError>(std::move(task));
    EXPECT_FALSE(error && error->statusCode()) << error->message().toStdString();
    return error ? error->message() : QStringLiteral("(no APIClientError)");
}

inline QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes) {
        byte = static_cast<char>(QRandomGenerator::global()->bounded(256));
    }
    return bytes;
}

// An AAC M4A of `seconds` of 8 kHz tone, made once per length for the run.
inline QString toneRecording(int seconds)
{
    static QTemporaryDir directory;
    static std::map<int, QString> made;
    if (const auto found = made.find(seconds); found != made.end()) {
        return found->second;
    }
    const QString file = directory.filePath(QStringLiteral("tone-%1.m4a").arg(seconds));
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
        { "-v", "error", "-y", "-f", "lavfi", "-i",
            QStringLiteral("sine=frequency=440:sample_rate=8000:duration=%1").arg(seconds), "-c:a", "aac",
            "-b:a", "16k", file });
    ffmpeg.waitForFinished(-1);
    EXPECT_EQ(ffmpeg.exitCode(), 0) << ffmpeg.readAllStandardError().toStdString();
    return made.emplace(seconds, file).first->second;
}

inline void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QString jobFile(const PendingRecording& job)
{
    return QDir(job.folder()).filePath(PendingRecording::kJobFileName);
}

inline PendingRecording savedJob(const PendingRecording& job)
{
    return PendingRecording::decode(readFile(jobFile(job)));
}

// Chunks of `seconds` each whose files hold random bytes.
inline std::vector<AudioChunk> chunkFiles(
    const QString& folder, int count, double seconds = 60.0, double contextSeconds = 0.0)
{
    std::vector<AudioChunk> chunks;
    for (int i = 0; i < count; ++i) {
        AudioChunk chunk { .filename = QStringLiteral("chunk-%1.m4a").arg(Uuids::text(QUuid::createUuid())),
            .start = i * seconds,
            .end = (i + 1) * seconds };
        chunk.audioStart = std::max(0.0, chunk.start - contextSeconds);
        chunk.audioEnd = std::min(count * seconds, chunk.end + contextSeconds);
        writeFile(QDir(folder).filePath(chunk.filename), randomBytes(2000 + i * 37));
        chunks.push_back(chunk);
    }
    return chunks;
}

// Which of the job's chunk files a request carried (-1: none).
inline int chunkIndexOf(const PendingRecording& job, const std::string& body)
{
    for (size_t i = 0; i < job.chunks.size(); ++i) {
        if (body == readFile(QDir(job.folder()).filePath(job.chunks[i].filename)).toStdString()) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Answers each chunk's transcription with its own text.
inline std::function<std::string(const PipelineServer::Request&)> transcriptsByChunk(
    const PendingRecording& job, Strings texts)
{
    return [job, texts](const PipelineServer::Request& request) {
        const int index = chunkIndexOf(job, request.body);
        return index < 0 ? std::string("unknown chunk") : texts[static_cast<size_t>(index)];
    };
}

inline Strings kindsOf(const std::vector<PipelineServer::Request>& requests)
{
    Strings result;
    for (const auto& request : requests) {
        result.push_back(request.kind());
    }
    return result;
}

} // namespace PipelineTesting

// A signed-in client against a fresh server, and jobs under a temporary
// data directory.
class PipelineTest : public ::testing::Test
{
protected:
    PipelineTest()
    {
        qputenv("SSL_CERT_FILE", PipelineServer::certificatePath().toUtf8());
        client.emplace(server.baseURL(), PipelineTesting::kToken);
        client->recordWaits();
    }

    // A new job of this account and server, saved, with `audioBytes` of audio.
    PendingRecording makeJob(bool diarization, qsizetype audioBytes = 4096)
    {
        PendingRecording job { .id = QUuid::createUuid(),
            .userID = QUuid::fromString(QString::fromStdString(PipelineServer::Settings().userID)),
            .server = server.baseURL(),
            .recordedAt = Date::fromUnixSeconds(1772357400.75),
            .emailTo = QStringLiteral("team@example.com"),
            .diarizationEnabled = diarization };
        EXPECT_TRUE(QDir().mkpath(job.folder()));
        QFile::setPermissions(
            job.folder(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        PipelineTesting::writeFile(job.audio(), PipelineTesting::randomBytes(audioBytes));
        job.save();
        return job;
    }

    // A new job whose audio is `seconds` of real tone.
    PendingRecording toneJob(bool diarization, int seconds)
    {
        PendingRecording job = makeJob(diarization);
        EXPECT_TRUE(QFile::remove(job.audio()));
        EXPECT_TRUE(QFile::copy(PipelineTesting::toneRecording(seconds), job.audio()));
        return job;
    }

    // A job already split into `count` one-minute chunk files, with speakers
    // detected when it has diarization.
    PendingRecording splitJob(bool diarization, int count)
    {
        PendingRecording job = makeJob(diarization);
        job.chunks = PipelineTesting::chunkFiles(job.folder(), count, 60.0, diarization ? 2.5 : 0.0);
        if (diarization) {
            job.alignmentVersion = 1;
            job.speakerSegments = std::vector<SpeakerSegment> { { 0, 1000, QStringLiteral("A") } };
        }
        job.save();
        return job;
    }

    std::function<void(const QString&)> recordProgress()
    {
        return [this](const QString& line) { progress.append(line); };
    }

    TemporaryXdg xdg;
    PipelineServer server;
    std::optional<TestClient> client;
    QStringList progress;
};
