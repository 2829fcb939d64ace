#include "AudioDecoder.h"
#include "PocketSphinxTranscriber.h"
#include "TallisenServer.h"

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <thread>

namespace {

// One plain-HTTP server on loopback holding 1,000 transcripts of one account.
struct LoadedServer
{
    LoadedServer()
    {
        char pattern[] = "/tmp/tallisen-server-bench-XXXXXX";
        dataDir = mkdtemp(pattern);
        server::ServerOptions options;
        options.port = 0;
        options.dataDir = dataDir;
        options.threads = 40;
        instance = std::make_unique<server::TallisenServer>(options);
        port = instance->bind();
        thread = std::thread([this] { instance->run(); });
        const std::string code = instance->store().createSignIn().value();
        const auto account = instance->store().ensureAccount("bench@example.com", "Bench");
        instance->store().completeSignIn(code, account.id);
        token = instance->store().exchange(code).token;
        for (int i = 0; i < 1000; ++i) {
            char key[40];
            std::snprintf(key, sizeof key, "00000000-0000-4000-8000-%012d", i);
            instance->store().saveRecording(account.id, key,
                { "[00:00:00] Speaker 1: A meeting about the roadmap and the budget, number "
                        + std::to_string(i) + ".",
                    1'700'000'000'000, "", "linux" },
                std::numeric_limits<std::int64_t>::max());
        }
    }
    ~LoadedServer()
    {
        instance->stop();
        thread.join();
        instance.reset();
        std::filesystem::remove_all(dataDir);
    }

    std::string dataDir;
    std::unique_ptr<server::TallisenServer> instance;
    std::thread thread;
    int port = 0;
    std::string token;
};

LoadedServer& loadedServer()
{
    static LoadedServer loaded;
    return loaded;
}

void BM_ListRecordings(benchmark::State& state)
{
    auto& loaded = loadedServer();
    httplib::Client client("127.0.0.1", loaded.port);
    client.set_keep_alive(true);
    const httplib::Headers headers { { "Authorization", "Bearer " + loaded.token } };
    std::vector<double> latencies;
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        const auto answer = client.Get("/v1/recordings", headers);
        latencies.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
        if (!answer || answer->status != 200) {
            state.SkipWithError("request failed");
            break;
        }
        benchmark::DoNotOptimize(answer->body.size());
    }
    state.SetItemsProcessed(state.iterations());
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        state.counters["p99_ms"]
            = benchmark::Counter(latencies[latencies.size() * 99 / 100], benchmark::Counter::kAvgThreads);
    }
}
BENCHMARK(BM_ListRecordings)->Threads(32)->UseRealTime()->MinTime(5.0);

// Real-time factor of the local engine: processing time over audio time, one core.
void BM_PocketSphinxRealTimeFactor(benchmark::State& state)
{
    const std::string wav = "/tmp/tallisen-bench-speech.wav";
    const std::string m4a = "/tmp/tallisen-bench-speech.m4a";
    const std::string text
        = "Let us review the budget for the next quarter. I think we should hire two more "
          "engineers this year. The customer wants the new release before the end of the month.";
    if (std::system(("flite -voice rms -t '" + text + "' -o " + wav + " && ffmpeg -y -loglevel error -i "
            + wav + " -ac 1 -c:a aac " + m4a)
                        .c_str())
        != 0) {
        state.SkipWithError("flite or ffmpeg failed");
        return;
    }
    std::ifstream file(m4a, std::ios::binary);
    const std::string bytes(std::istreambuf_iterator<char>(file), {});
    server::PocketSphinxTranscriber engine;
    double audioSeconds = 0;
    for (auto _ : state) {
        const auto pcm = server::AudioDecoder::decodeBytes(bytes, 300);
        audioSeconds += pcm.duration();
        benchmark::DoNotOptimize(engine.transcribe({ bytes, pcm }, "").text);
    }
    state.counters["audio_s"] = audioSeconds;
    state.counters["rtf"]
        = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PocketSphinxRealTimeFactor)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);

} // namespace

BENCHMARK_MAIN();
