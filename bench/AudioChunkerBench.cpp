// Splitting a long meeting recording (48 kHz mono AAC) into five-minute chunks
// with 2.5 s of context, against the ffmpeg command making the same cuts.
// Peak memory is reset before each run so that 30 min and 2 h compare.
// TALLISEN_BENCH_CHUNK_SOURCE splits that file instead of the generated
// recordings (bench/run passes the mix made by the capture benchmark).
#include "pipeline/AudioChunker.h"
#include "support/Resources.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <map>
#include <string>

namespace {

constexpr double kMaximumSeconds = 300;
constexpr std::int64_t kMaximumBytes = 20'000'000;
constexpr double kContextSeconds = 2.5;
constexpr int kBaseMinutes = 30;

void runFfmpeg(const QStringList& arguments)
{
    if (!bench::runProgram("ffmpeg", QStringList { "-v", "error", "-y" } + arguments).succeeded) {
        qFatal("ffmpeg failed: %s", qPrintable(arguments.join(' ')));
    }
}

// Noise bursts with pauses of varying length, like talk; longer recordings
// repeat the 30-minute one without re-encoding.
QString recording(int minutes)
{
    const QString path = QDir::temp().filePath(QStringLiteral("tallisen-bench-%1min.m4a").arg(minutes));
    if (QFile::exists(path)) {
        return path;
    }
    if (minutes == kBaseMinutes) {
        runFfmpeg({ "-f", "lavfi", "-i",
            QStringLiteral("aevalsrc='0.3*(random(0)-0.5)*gt(sin(2*PI*0.37*t)+sin(2*PI*0.11*t),-0.4)'"
                           ":s=48000:d=%1")
                .arg(kBaseMinutes * 60),
            "-c:a", "aac", "-b:a", "64k", path });
    } else {
        runFfmpeg({ "-stream_loop", QString::number(minutes / kBaseMinutes - 1), "-i",
            recording(kBaseMinutes), "-c", "copy", path });
    }
    return path;
}

std::vector<AudioChunk> split(const QString& source, const QString& directory)
{
    std::vector<AudioChunk> chunks;
    std::exception_ptr failure;
    auto run = [&]() -> QCoro::Task<> {
        try {
            chunks = co_await AudioChunker::split(
                source, directory, kMaximumSeconds, kMaximumBytes, kContextSeconds);
        } catch (...) {
            failure = std::current_exception();
        }
    };
    QCoro::waitFor(run());
    if (failure) {
        std::rethrow_exception(failure);
    }
    return chunks;
}

// The cuts of the last split of each source, for the ffmpeg comparison.
std::map<QString, std::vector<AudioChunk>>& plannedCuts()
{
    static std::map<QString, std::vector<AudioChunk>> cuts;
    return cuts;
}

void setRealTime(benchmark::State& state, const std::vector<AudioChunk>& chunks)
{
    const double seconds = chunks.empty() ? 0 : chunks.back().end;
    state.counters["recordingMinutes"] = seconds / 60;
    state.counters["xRealTime"]
        = benchmark::Counter(seconds * double(state.iterations()), benchmark::Counter::kIsRate);
}

void splitSource(benchmark::State& state, const QString& source)
{
    for (auto _ : state) {
        QTemporaryDir directory;
        bench::resetPeakMemory();
        const double resident = bench::statusMiB("VmRSS:");
        const double before = bench::processCpuSeconds();
        plannedCuts()[source] = split(source, directory.path());
        state.counters["cpuSeconds"] = bench::processCpuSeconds() - before;
        // The whole process, as for ffmpeg; the benchmark itself adds little.
        const double peak = bench::statusMiB("VmHWM:");
        state.counters["peakRssMiB"] = peak;
        // What the split itself added to what the process held before it.
        state.counters["addedRssMiB"] = peak - resident;
    }
    state.counters["chunks"] = double(plannedCuts()[source].size());
    setRealTime(state, plannedCuts()[source]);
}

void cutWithFfmpeg(benchmark::State& state, const QString& source)
{
    if (!plannedCuts().contains(source)) {
        QTemporaryDir directory;
        plannedCuts()[source] = split(source, directory.path());
    }
    for (auto _ : state) {
        QTemporaryDir directory;
        double peak = 0;
        double cpu = 0;
        int index = 0;
        for (const AudioChunk& chunk : plannedCuts()[source]) {
            const bench::ProcessCost cost = bench::runProgram("ffmpeg",
                { "-v", "error", "-y", "-ss", QString::number(*chunk.audioStart, 'f', 6), "-to",
                    QString::number(*chunk.audioEnd, 'f', 6), "-i", source, "-c:a", "aac", "-b:a", "64k",
                    QDir(directory.path()).filePath(QStringLiteral("chunk-%1.m4a").arg(index++)) });
            if (!cost.succeeded) {
                state.SkipWithError("ffmpeg failed");
                return;
            }
            peak = std::max(peak, cost.peakMiB);
            cpu += cost.cpuSeconds;
        }
        state.counters["peakRssMiB"] = peak;
        state.counters["cpuSeconds"] = cpu;
    }
    setRealTime(state, plannedCuts()[source]);
}

void registerBenchmarks()
{
    const auto configure = [](benchmark::internal::Benchmark* benchmark) {
        benchmark->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
    };
    const QString given = qEnvironmentVariable("TALLISEN_BENCH_CHUNK_SOURCE");
    if (!given.isEmpty()) {
        configure(benchmark::RegisterBenchmark("BM_Split/file", splitSource, given));
        configure(benchmark::RegisterBenchmark("BM_FfmpegCommand/file", cutWithFfmpeg, given));
        return;
    }
    for (const int minutes : { 30, 120 }) {
        configure(benchmark::RegisterBenchmark(("BM_Split/" + std::to_string(minutes)).c_str(),
            [minutes](benchmark::State& state) { splitSource(state, recording(minutes)); }));
    }
    configure(benchmark::RegisterBenchmark(
        "BM_FfmpegCommand/120", [](benchmark::State& state) { cutWithFfmpeg(state, recording(120)); }));
}

} // namespace

int main(int argc, char** argv)
{
    // The chunker's coroutines resume through the event loop.
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    registerBenchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
