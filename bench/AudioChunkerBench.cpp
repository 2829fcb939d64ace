// Splitting a long meeting recording (48 kHz mono AAC) into five-minute chunks
// with 2.5 s of context, against the ffmpeg command making the same cuts.
// Peak memory is reset before each run so that 30 min and 2 h compare.
#include "pipeline/AudioChunker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <fstream>
#include <map>
#include <string>

namespace {

constexpr double kMaximumSeconds = 300;
constexpr std::int64_t kMaximumBytes = 20'000'000;
constexpr double kContextSeconds = 2.5;
constexpr int kBaseMinutes = 30;

void runFfmpeg(const QStringList& arguments)
{
    QProcess process;
    process.start("ffmpeg", QStringList { "-v", "error", "-y" } + arguments);
    process.waitForFinished(-1);
    if (process.exitCode() != 0) {
        qFatal("ffmpeg failed: %s", process.readAllStandardError().constData());
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

void resetPeakMemory()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

double peakMemoryMiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
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

// The cuts of the last split of each length, for the ffmpeg comparison.
std::map<int, std::vector<AudioChunk>>& plannedCuts()
{
    static std::map<int, std::vector<AudioChunk>> cuts;
    return cuts;
}

void BM_Split(benchmark::State& state)
{
    const int minutes = int(state.range(0));
    const QString source = recording(minutes);
    for (auto _ : state) {
        QTemporaryDir directory;
        resetPeakMemory();
        plannedCuts()[minutes] = split(source, directory.path());
        state.counters["peakRssMiB"] = peakMemoryMiB();
    }
    state.counters["chunks"] = double(plannedCuts()[minutes].size());
    state.counters["xRealTime"]
        = benchmark::Counter(minutes * 60.0 * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_FfmpegCommand(benchmark::State& state)
{
    const int minutes = int(state.range(0));
    const QString source = recording(minutes);
    if (!plannedCuts().contains(minutes)) {
        QTemporaryDir directory;
        plannedCuts()[minutes] = split(source, directory.path());
    }
    for (auto _ : state) {
        QTemporaryDir directory;
        int index = 0;
        for (const AudioChunk& chunk : plannedCuts()[minutes]) {
            runFfmpeg({ "-ss", QString::number(*chunk.audioStart, 'f', 6), "-to",
                QString::number(*chunk.audioEnd, 'f', 6), "-i", source, "-c:a", "aac", "-b:a", "64k",
                QDir(directory.path()).filePath(QStringLiteral("chunk-%1.m4a").arg(index++)) });
        }
    }
    state.counters["xRealTime"]
        = benchmark::Counter(minutes * 60.0 * double(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_Split)->Arg(30)->Arg(120)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_FfmpegCommand)->Arg(120)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    // The chunker's coroutines resume through the event loop.
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
