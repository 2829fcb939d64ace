// Capture and mixing costs. Run inside scripts/with-services (the capture
// benchmark records from the headless sound server):
//   CaptureBench --benchmark_filter=^BM_CaptureCpu   CPU share of a recording minute
//   CaptureBench --benchmark_filter=^BM_Mix          a two-hour capture mixed by us and by ffmpeg
// TALLISEN_BENCH_CAPTURE_SECONDS shortens the recording (default 60),
// TALLISEN_BENCH_MIX_MINUTES the mixed capture (default 120), and
// TALLISEN_BENCH_MIX_OUTPUT keeps our mix at that path so that the chunker
// benchmark can split the very same file.
#include "capture/CaptureFile.h"
#include "capture/Recorder.h"
#include "capture/TrackMixer.h"
#include "support/Resources.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QCoro/QCoroTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <numbers>
#include <vector>

namespace {

// A raw capture as the recorder writes it: speech-like tones on both tracks.
void writeCapture(const QString& path, int minutes)
{
    CaptureFile file(path);
    std::vector<float> block(4800);
    qint64 written = 0;
    const qint64 total = qint64(minutes) * 60 * CaptureFile::kSampleRate;
    while (written < total) {
        for (size_t i = 0; i < block.size(); ++i) {
            const double t = double(written + qint64(i)) / CaptureFile::kSampleRate;
            block[i] = float(0.3 * std::sin(2 * std::numbers::pi * (200 + 100 * std::sin(t)) * t));
        }
        file.append(0, block.data(), qint64(block.size()));
        file.append(1, block.data(), qint64(block.size()));
        written += qint64(block.size());
    }
    file.finish();
}

int environmentNumber(const char* name, int fallback)
{
    const int value = qEnvironmentVariableIntValue(name);
    return value > 0 ? value : fallback;
}

void BM_CaptureCpu(benchmark::State& state)
{
    const int seconds = environmentNumber("TALLISEN_BENCH_CAPTURE_SECONDS", 60);
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
    for (auto _ : state) {
        Recorder recorder;
        QCoro::waitFor(recorder.start());
        const double before = bench::processCpuSeconds();
        QCoro::waitFor(QCoro::sleepFor(std::chrono::seconds(seconds)));
        const double used = bench::processCpuSeconds() - before;
        const QString raw = *recorder.rawCapturePath();
        const qint64 rawBytes = QFileInfo(raw).size();
        const QString mixed = QCoro::waitFor(recorder.stop());
        state.counters["captureSeconds"] = seconds;
        state.counters["cpuPercentOfOneCore"] = 100 * used / seconds;
        state.counters["rawMBPerHour"] = double(rawBytes) * 3600 / seconds / 1e6;
        state.counters["mixedMBPerHour"] = double(QFileInfo(mixed).size()) * 3600 / seconds / 1e6;
    }
}
BENCHMARK(BM_CaptureCpu)->Iterations(1)->Unit(benchmark::kSecond);

void BM_MixLongCapture(benchmark::State& state)
{
    const int minutes = environmentNumber("TALLISEN_BENCH_MIX_MINUTES", 120);
    // 0 lets the mixer choose (one segment per processor); 1 is the single encode.
    const int segments = environmentNumber("TALLISEN_BENCH_MIX_SEGMENTS", 0);
    const QString keep = qEnvironmentVariable("TALLISEN_BENCH_MIX_OUTPUT");
    QTemporaryDir directory;
    const QString raw = directory.path() + QStringLiteral("/capture.mp4");
    writeCapture(raw, minutes);
    for (auto _ : state) {
        const QString ours = directory.path() + QStringLiteral("/ours.m4a");
        const QString theirs = directory.path() + QStringLiteral("/ffmpeg.m4a");
        QFile::remove(ours);
        QFile::remove(theirs);
        const bench::ProcessCost mixer = bench::inChild([&] {
            TrackMixer::mix(raw, ours, segments);
            return true;
        });
        const bench::ProcessCost command = bench::runProgram("ffmpeg",
            { "-v", "error", "-y", "-i", raw, "-filter_complex",
                "[0:a:0]volume=0.7[x];[0:a:1]volume=0.7[y];[x][y]amix=inputs=2:normalize=0:duration=longest",
                "-ac", "1", "-ar", "48000", "-c:a", "aac", "-b:a", "64k", theirs });
        if (!mixer.succeeded || !command.succeeded) {
            state.SkipWithError("a mix failed");
            return;
        }
        state.counters["captureMinutes"] = minutes;
        state.counters["rawMBPerHour"] = double(QFileInfo(raw).size()) * 60 / minutes / 1e6;
        state.counters["mixedMBPerHour"] = double(QFileInfo(ours).size()) * 60 / minutes / 1e6;
        state.counters["mixSeconds"] = mixer.seconds;
        state.counters["mixCpuSeconds"] = mixer.cpuSeconds;
        state.counters["mixPeakMB"] = mixer.peakMiB;
        state.counters["ffmpegSeconds"] = command.seconds;
        state.counters["ffmpegCpuSeconds"] = command.cpuSeconds;
        state.counters["ffmpegPeakMB"] = command.peakMiB;
        if (!keep.isEmpty()) {
            QFile::remove(keep);
            QFile::rename(ours, keep);
        }
    }
}
BENCHMARK(BM_MixLongCapture)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
