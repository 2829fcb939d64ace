// Start-up cost of finding the pending jobs: loadAll() over 1,000 jobs of 50
// transcribed and aligned chunks each, in a temporary XDG data directory.
#include "store/PendingRecording.h"
#include "support/PendingJobs.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

void loadAllThousandJobs(benchmark::State& state)
{
    QTemporaryDir directory;
    qputenv("XDG_DATA_HOME", QFile::encodeName(directory.path()));
    const qint64 bytes
        = bench::savePendingJobs(1000, { .chunks = 50, .textRepeats = 4, .wordsPerChunk = 20 });
    for (auto _ : state) {
        const auto jobs = PendingRecording::loadAll();
        if (jobs.size() != 1000) {
            state.SkipWithError("not every job was loaded");
        }
        benchmark::DoNotOptimize(jobs);
    }
    state.counters["jobFileBytes"] = static_cast<double>(bytes) / 1000.0;
}

} // namespace

BENCHMARK(loadAllThousandJobs)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
