// Start-up cost of finding the pending jobs: loadAll() over 1,000 jobs of 50
// transcribed and aligned chunks each, in a temporary XDG data directory.
#include "store/PendingRecording.h"

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
        .alignmentVersion = 1,
    };
    for (int c = 0; c < 50; ++c) {
        AudioChunk chunk { .filename = QString("chunk-%1.m4a").arg(c, 3, 10, QChar('0')),
            .start = c * 300.0,
            .end = (c + 1) * 300.0 };
        chunk.text = QString(" a few words of text").repeated(4);
        chunk.audioStart = chunk.start;
        chunk.audioEnd = chunk.end;
        chunk.words = std::vector<AlignedWord> {};
        for (int w = 0; w < 20; ++w) {
            chunk.words->push_back(AlignedWord { " word", w * 1.5, w * 1.5 + 0.4 });
        }
        job.chunks.push_back(chunk);
    }
    return job;
}

void loadAllThousandJobs(benchmark::State& state)
{
    QTemporaryDir directory;
    qputenv("XDG_DATA_HOME", QFile::encodeName(directory.path()));
    qint64 bytes = 0;
    for (int i = 0; i < 1000; ++i) {
        const PendingRecording job = makeJob(i);
        QDir().mkpath(job.folder());
        job.save();
        bytes += job.encode().size();
    }
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
