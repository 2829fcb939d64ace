// Peak memory of the two large transfers of the pipeline against a loopback
// HTTPS server in the same process: the 1 GB speaker-detection upload, which
// must stream from disk, and transcribing a long job, which must hold one
// chunk at a time (so 30 minutes and 2 hours peak alike).
#include "api/APIClient.h"
#include "core/Uuids.h"
#include "store/PendingRecording.h"
#include "support/Resources.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <QCoroTask>

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <atomic>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

const std::string kUser = "7C9E6679-7425-40DE-944B-E07FC1F90AE7";
constexpr qint64 kUploadBytes = 1'000'000'000;
constexpr qint64 kChunkBytes = 2'400'000; // five minutes of 64 kb/s AAC

QTemporaryDir& workDirectory()
{
    static QTemporaryDir directory;
    return directory;
}

// An HTTPS server that speaks just enough of the contract; uploads are
// counted, never kept.
class BenchServer
{
public:
    BenchServer()
    {
        const QString certificate = workDirectory().filePath(QStringLiteral("server.pem"));
        const QString key = workDirectory().filePath(QStringLiteral("server.key"));
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
            { "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days",
                "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key,
                "-out", certificate });
        openssl.waitForFinished(-1);
        qputenv("SSL_CERT_FILE", certificate.toUtf8());
        m_server = std::make_unique<httplib::SSLServer>(
            certificate.toUtf8().constData(), key.toUtf8().constData());
        m_server->Get("/v1/me", [](const auto&, auto& response) {
            response.set_content(R"({"id":")" + kUser + "\"}", "application/json");
        });
        m_server->Post(R"(/v1/diarizations/([^/]+)/prepare)", [this](const auto& request, auto& response) {
            response.set_content(R"({"status":"upload","uploadURL":")" + baseURL().toStdString() + "/storage/"
                    + request.matches[1].str() + "\"}",
                "application/json");
        });
        m_server->Put(
            R"(/storage/.*)", [this](const auto&, auto& response, const httplib::ContentReader& reader) {
                reader([this](const char*, size_t length) {
                    m_uploaded += static_cast<qint64>(length);
                    return true;
                });
                response.status = 200;
            });
        m_server->Post(R"(/v1/diarizations/.*/start)", [](const auto&, auto& response) {
            response.set_content(R"({"status":"starting"})", "application/json");
        });
        m_server->Get(R"(/v1/diarizations/.*)", [](const auto&, auto& response) {
            response.set_content(R"({"status":"succeeded","segments":[]})", "application/json");
        });
        m_server->Post("/v1/transcriptions", [](const auto&, auto& response) {
            response.set_content(R"({"text":"Words of this part."})", "application/json");
        });
        m_port = m_server->bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server->listen_after_bind(); });
    }
    ~BenchServer()
    {
        m_server->stop();
        m_thread.join();
    }

    QString baseURL() const { return QStringLiteral("https://127.0.0.1:%1").arg(m_port); }
    qint64 uploaded() const { return m_uploaded; }

private:
    std::unique_ptr<httplib::SSLServer> m_server;
    std::thread m_thread;
    int m_port = 0;
    std::atomic<qint64> m_uploaded = 0;
};

class BenchClient : public APIClient
{
public:
    using APIClient::APIClient;
    using APIClient::detectSpeakers;
};

BenchServer& server()
{
    static BenchServer instance;
    return instance;
}

// Peak resident memory above what was resident when the peak was reset, so
// that the figure is the operation's own (and a sanitizer's fixed shadow
// memory does not count).
double peakGrowthMiB(double baseline)
{
    return bench::statusMiB("VmHWM:") - baseline;
}

PendingRecording newJob(bool diarization)
{
    qputenv("XDG_DATA_HOME", workDirectory().filePath(QStringLiteral("data")).toUtf8());
    PendingRecording job { .id = QUuid::createUuid(),
        .userID = QUuid::fromString(QString::fromStdString(kUser)),
        .server = QUrl(server().baseURL()),
        .diarizationEnabled = diarization };
    QDir().mkpath(job.folder());
    return job;
}

template <typename T> T await(QCoro::Task<T> task)
{
    return QCoro::waitFor(std::move(task));
}

void BM_SpeakerDetectionUpload(benchmark::State& state)
{
    const PendingRecording job = newJob(true);
    QFile audio(job.audio());
    audio.open(QIODevice::WriteOnly);
    audio.resize(kUploadBytes); // sparse: the size is real, the blocks are not
    audio.close();
    BenchClient client(QUrl(server().baseURL()), QStringLiteral("token"));
    double peak = 0;
    for (auto _ : state) {
        bench::resetPeakMemory();
        const double baseline = bench::statusMiB("VmRSS:");
        benchmark::DoNotOptimize(await(client.detectSpeakers(job, {})));
        peak = std::max(peak, peakGrowthMiB(baseline));
    }
    state.counters["peakGrowthMiB"] = peak;
    state.SetBytesProcessed(state.iterations() * kUploadBytes);
    job.remove();
}
BENCHMARK(BM_SpeakerDetectionUpload)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void BM_TranscribeJob(benchmark::State& state)
{
    PendingRecording job = newJob(false);
    const int chunks = static_cast<int>(state.range(0)) / 5;
    QByteArray bytes(kChunkBytes, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    for (int i = 0; i < chunks; ++i) {
        AudioChunk chunk {
            .filename = QStringLiteral("chunk-%1.m4a").arg(i), .start = i * 300.0, .end = (i + 1) * 300.0
        };
        QFile file(QDir(job.folder()).filePath(chunk.filename));
        file.open(QIODevice::WriteOnly);
        file.write(bytes);
        job.chunks.push_back(chunk);
    }
    bytes.clear();
    job.save();
    BenchClient client(QUrl(server().baseURL()), QStringLiteral("token"));
    double peak = 0;
    for (auto _ : state) {
        bench::resetPeakMemory();
        const double baseline = bench::statusMiB("VmRSS:");
        benchmark::DoNotOptimize(await(client.prepareTranscript(job, {})));
        peak = std::max(peak, peakGrowthMiB(baseline));
    }
    state.counters["peakGrowthMiB"] = peak;
    state.counters["chunks"] = chunks;
    job.remove();
}
BENCHMARK(BM_TranscribeJob)->Arg(30)->Arg(120)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    server();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
