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
#include <exception>
#include <map>
#include <optional>
#include <vector>

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

// The client with the pipeline's private steps in reach and its waits
// recorded instead of slept.
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

inline const QString kToken = QStringLiteral("test-token");

// The message of the APIClientError a task ends with, or a note that it did not.
template <typename T> QString failureMessage(QCoro::Task<T> task)
{
    try {
        TestTasks::run(std::move(task));
    } catch (const APIClientError& error) {
        EXPECT_FALSE(error.statusCode().has_value()) << error.message().toStdString();
        return error.message();
    }
    return QStringLiteral("(no APIClientError)");
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

inline PendingRecording savedJob(const PendingRecording& job)
{
    return PendingRecording::decode(readFile(QDir(job.folder()).filePath(PendingRecording::kJobFileName)));
}

// Chunks of `seconds` each, without context, whose files hold random bytes.
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

} // namespace PipelineTesting

// A signed-in client against a fresh server, and a job folder under a
// temporary data directory.
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

    std::function<void(const QString&)> recordProgress()
    {
        return [this](const QString& line) { progress.append(line); };
    }

    TemporaryXdg xdg;
    PipelineServer server;
    std::optional<TestClient> client;
    QStringList progress;
};

namespace PipelineTesting {

// Which of the job's chunk files a request carried, by content (-1: none).
inline int chunkIndexOf(const PendingRecording& job, const std::string& body)
{
    for (size_t i = 0; i < job.chunks.size(); ++i) {
        const QByteArray file = readFile(QDir(job.folder()).filePath(job.chunks[i].filename));
        if (body.size() == static_cast<size_t>(file.size()) && body == file.toStdString()) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Answers each chunk's transcription with its own text.
inline std::function<std::string(const PipelineServer::Request&)> transcriptsByChunk(
    const PendingRecording& job, std::vector<std::string> texts)
{
    return [job, texts](const PipelineServer::Request& request) {
        const int index = chunkIndexOf(job, request.body);
        return index < 0 ? std::string("unknown chunk") : texts[static_cast<size_t>(index)];
    };
}

inline std::vector<std::string> kindsOf(const std::vector<PipelineServer::Request>& requests)
{
    std::vector<std::string> result;
    for (const auto& request : requests) {
        result.push_back(request.kind());
    }
    return result;
}

} // namespace PipelineTesting
