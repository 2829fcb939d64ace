// Start-up cost of the application model: construction with 1,000 pending
// jobs on disk and a token in the Secret Service, in temporary XDG dirs. Run
// inside scripts/with-services so the token lookup talks to a real keyring.
// The parts are measured too, to show where the time goes.
#include "api/KeychainStore.h"
#include "model/AppModel.h"
#include "store/PendingRecording.h"
#include "support/PendingJobs.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

// One temporary XDG tree with 1,000 jobs, shared by every benchmark.
class Fixture
{
public:
    Fixture()
    {
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_directory.path() + "/data"));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_directory.path() + "/config"));
        bench::savePendingJobs(1000, {});
        KeychainStore::saveToken("benchmark-token", QUrl(AppModel::kDefaultServer));
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

void constructWithThousandJobs(benchmark::State& state)
{
    fixture();
    for (auto _ : state) {
        const AppModel model;
        if (model.pendingRecordings().size() != 1000 || !model.isSignedIn()) {
            state.SkipWithError("the model did not start with every job and the token");
        }
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
        benchmark::DoNotOptimize(KeychainStore::loadToken(QUrl(AppModel::kDefaultServer)));
    }
}

} // namespace

BENCHMARK(constructWithThousandJobs)->Unit(benchmark::kMillisecond);
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
