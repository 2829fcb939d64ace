// Capture and mixing costs. Run inside scripts/with-services (the capture
// benchmark records from the headless sound server):
//   CaptureBench --benchmark_filter=Capture   CPU share of one recording minute
//   CaptureBench --benchmark_filter=Mix       a two-hour capture mixed by us and by the ffmpeg command
// TALLISEN_BENCH_MIX_MINUTES shortens the mixed capture (default 120).
#include "capture/CaptureFile.h"
#include "capture/Recorder.h"
#include "capture/TrackMixer.h"

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
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct ChildCost
{
    double seconds = 0;
    double peakMegabytes = 0;
};

// Runs `work` in a forked child so its peak memory is its own.
template <typename Work> ChildCost inChild(Work work)
{
    const auto began = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(work() ? 0 : 1);
    }
    int status = 0;
    rusage usage {};
    wait4(pid, &status, 0, &usage);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return {};
    }
    return { took.count(), double(usage.ru_maxrss) / 1024 };
}

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

void BM_CaptureCpuOverOneMinute(benchmark::State& state)
{
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
    for (auto _ : state) {
        Recorder recorder;
        QCoro::waitFor(recorder.start());
        const double before = cpuSeconds();
        QCoro::waitFor(QCoro::sleepFor(std::chrono::seconds(60)));
        const double used = cpuSeconds() - before;
        const QString raw = *recorder.rawCapturePath();
        const qint64 rawBytes = QFileInfo(raw).size();
        const QString mixed = QCoro::waitFor(recorder.stop());
        state.counters["cpuPercentOfOneCore"] = 100 * used / 60;
        state.counters["rawMBPerHour"] = double(rawBytes) * 60 / 1e6;
        state.counters["mixedMBPerHour"] = double(QFileInfo(mixed).size()) * 60 / 1e6;
    }
}
BENCHMARK(BM_CaptureCpuOverOneMinute)->Iterations(1)->Unit(benchmark::kSecond);

void BM_MixLongCapture(benchmark::State& state)
{
    const int minutes = qEnvironmentVariableIntValue("TALLISEN_BENCH_MIX_MINUTES") > 0
        ? qEnvironmentVariableIntValue("TALLISEN_BENCH_MIX_MINUTES")
        : 120;
    QTemporaryDir directory;
    const QString raw = directory.path() + QStringLiteral("/capture.mp4");
    writeCapture(raw, minutes);
    for (auto _ : state) {
        const QString ours = directory.path() + QStringLiteral("/ours.m4a");
        const QString theirs = directory.path() + QStringLiteral("/ffmpeg.m4a");
        QFile::remove(ours);
        QFile::remove(theirs);
        const ChildCost mixer = inChild([&] {
            TrackMixer::mix(raw, ours);
            return true;
        });
        const ChildCost command = inChild([&] {
            const QByteArray input = QFile::encodeName(raw);
            const QByteArray output = QFile::encodeName(theirs);
            execlp("ffmpeg", "ffmpeg", "-v", "error", "-y", "-i", input.constData(), "-filter_complex",
                "[0:a:0]volume=0.7[x];[0:a:1]volume=0.7[y];[x][y]amix=inputs=2:normalize=0:duration=longest",
                "-ac", "1", "-ar", "48000", "-c:a", "aac", "-b:a", "64k", output.constData(), nullptr);
            return false;
        });
        state.counters["captureMinutes"] = minutes;
        state.counters["rawMBPerHour"] = double(QFileInfo(raw).size()) * 60 / minutes / 1e6;
        state.counters["mixedMBPerHour"] = double(QFileInfo(ours).size()) * 60 / minutes / 1e6;
        state.counters["mixSeconds"] = mixer.seconds;
        state.counters["mixPeakMB"] = mixer.peakMegabytes;
        state.counters["ffmpegSeconds"] = command.seconds;
        state.counters["ffmpegPeakMB"] = command.peakMegabytes;
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
