// One microphone check against a live sound server holding 20 recording
// streams (16 on the microphone, 4 on the speakers' monitor), as the
// automatic-recording loop makes it once a second.
// Run inside scripts/with-services.
#include "capture/MicrophoneActivityMonitor.h"

#include <QFile>
#include <QProcess>
#include <QThread>

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <memory>
#include <vector>

namespace {

constexpr int kMicrophoneStreams = 16;
constexpr int kMonitorStreams = 4;

std::vector<std::unique_ptr<QProcess>> startRecorders()
{
    std::vector<std::unique_ptr<QProcess>> recorders;
    for (int i = 0; i < kMicrophoneStreams + kMonitorStreams; ++i) {
        const bool onMicrophone = i < kMicrophoneStreams;
        auto recorder = std::make_unique<QProcess>();
        recorder->setStandardOutputFile(QProcess::nullDevice());
        recorder->start(QStringLiteral("parec"),
            { onMicrophone ? QStringLiteral("--device=fakemic") : QStringLiteral("--device=speaker.monitor"),
                QStringLiteral("--client-name=Bench Client %1").arg(i) });
        recorder->waitForStarted(5000);
        recorders.push_back(std::move(recorder));
    }
    return recorders;
}

bool waitForMicrophoneClients()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (MicrophoneActivityMonitor::activeExternalClients().size() >= kMicrophoneStreams) {
            return true;
        }
        QThread::msleep(50);
    }
    return false;
}

// CPU seconds the sound server itself has used, to show what each check
// costs on its side.
double soundServerCpuSeconds()
{
    QFile pidFile(qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/pulse/pid"));
    if (!pidFile.open(QIODevice::ReadOnly)) {
        return 0;
    }
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pidFile.readAll().trimmed()));
    if (!stat.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QByteArray line = stat.readAll();
    // Fields after the parenthesised name: utime and stime are the 12th and 13th.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    const double ticks = fields.value(11).toDouble() + fields.value(12).toDouble();
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Sound-server CPU per check, less what the 20 streams cost it anyway.
double soundServerCpuPerCallUs(double cpuSeconds, double wallSeconds, benchmark::IterationCount calls)
{
    static const double idleCpuPerSecond = [] {
        const double before = soundServerCpuSeconds();
        QThread::sleep(2);
        return (soundServerCpuSeconds() - before) / 2;
    }();
    return (cpuSeconds - idleCpuPerSecond * wallSeconds) * 1e6 / static_cast<double>(calls);
}

void BM_ActiveExternalClients(benchmark::State& state)
{
    const auto started = std::chrono::steady_clock::now();
    const double serverCpuBefore = soundServerCpuSeconds();
    for (auto _ : state) {
        benchmark::DoNotOptimize(MicrophoneActivityMonitor::activeExternalClients());
    }
    const double serverCpu = soundServerCpuSeconds() - serverCpuBefore;
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - started;
    state.counters["serverCpuUs"] = soundServerCpuPerCallUs(serverCpu, wall.count(), state.iterations());
}

} // namespace

BENCHMARK(BM_ActiveExternalClients)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->MinTime(2.0)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    std::vector<std::unique_ptr<QProcess>> recorders = startRecorders();
    if (!waitForMicrophoneClients()) {
        qCritical("The recording streams did not appear; run inside scripts/with-services.");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const auto& recorder : recorders) {
        recorder->kill();
        recorder->waitForFinished(5000);
    }
    return 0;
}
