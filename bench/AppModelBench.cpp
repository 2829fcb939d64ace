// Start-up cost of the application model: construction with 1,000 pending
// jobs on disk and a token in the Secret Service, in temporary XDG dirs. Run
// inside scripts/with-services so the token lookup talks to a real keyring.
// The parts are measured too, to show where the time goes.
#include "api/KeychainStore.h"
#include "model/AppModel.h"
#include "store/PendingRecording.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

PendingRecording makeJob(int index)
{
    PendingRecording job {
        .id = QUuid::createUuid(),
        .userID = QUuid::createUuid(),
        .server = QUrl("https://api.tallisen.com"),
        .recordedAt = Date { 786000000.0 + index },
        .emailTo = "team@example.com",
        .diarizationEnabled = true,
    };
    for (int c = 0; c < 10; ++c) {
        AudioChunk chunk { .filename = QString("chunk-%1.m4a").arg(c, 3, 10, QChar('0')),
            .start = c * 300.0,
            .end = (c + 1) * 300.0 };
        chunk.text = QString(" a few words of text").repeated(20);
        job.chunks.push_back(chunk);
    }
    return job;
}

// One temporary XDG tree with 1,000 jobs, shared by every benchmark.
class Fixture
{
public:
    Fixture()
    {
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_directory.path() + "/data"));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_directory.path() + "/config"));
        for (int i = 0; i < 1000; ++i) {
            const PendingRecording job = makeJob(i);
            QDir().mkpath(job.folder());
            job.save();
        }
        KeychainStore::saveToken("benchmark-token");
    }
    ~Fixture() { KeychainStore::clearToken(); }

private:
    QTemporaryDir m_directory;
};

Fixture& fixture()
{
    static Fixture instance;
    return instance;
}

// Argument 0: without SSL_CERT_FILE / SSL_CERT_DIR, whose certificates the
// client parses when it is built; 1: with them as the environment has them.
void constructWithThousandJobs(benchmark::State& state)
{
    fixture();
    const QByteArray certFile = qgetenv("SSL_CERT_FILE");
    const QByteArray certDir = qgetenv("SSL_CERT_DIR");
    if (state.range(0) == 0) {
        qunsetenv("SSL_CERT_FILE");
        qunsetenv("SSL_CERT_DIR");
    }
    for (auto _ : state) {
        const AppModel model;
        if (model.pendingRecordings().size() != 1000 || !model.isSignedIn()) {
            state.SkipWithError("the model did not start with every job and the token");
        }
    }
    if (!certFile.isEmpty()) {
        qputenv("SSL_CERT_FILE", certFile);
    }
    if (!certDir.isEmpty()) {
        qputenv("SSL_CERT_DIR", certDir);
    }
}

void loadAllThousandJobs(benchmark::State& state)
{
    fixture();
    for (auto _ : state) {
        benchmark::DoNotOptimize(PendingRecording::loadAll());
    }
}

void loadToken(benchmark::State& state)
{
    fixture();
    for (auto _ : state) {
        benchmark::DoNotOptimize(KeychainStore::loadToken());
    }
}

} // namespace

BENCHMARK(constructWithThousandJobs)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(loadAllThousandJobs)->Unit(benchmark::kMillisecond);
BENCHMARK(loadToken)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
