#include "AudioDecoder.h"
#include "PocketSphinxTranscriber.h"
#include "TallisenServer.h"

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

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

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

// Answer times of /health and a signed-in /v1/me while 32 clients stall after
// the first bytes of a TLS handshake and 40 more connect and send nothing.
void BM_AnswersUnderSlowClients(benchmark::State& state)
{
    auto& loaded = loadedServer();
    std::vector<int> attackers;
    for (int i = 0; i < 32; ++i) {
        attackers.push_back(connectTo(loaded.port));
        ::send(attackers.back(), "\x16\x03\x01", 3, MSG_NOSIGNAL);
    }
    for (int i = 0; i < 40; ++i)
        attackers.push_back(connectTo(loaded.port));
    const httplib::Headers headers { { "Authorization", "Bearer " + loaded.token } };
    double worst = 0;
    for (auto _ : state) {
        for (const char* path : { "/health", "/v1/me" }) {
            httplib::Client client("127.0.0.1", loaded.port);
            const auto started = std::chrono::steady_clock::now();
            const auto answer = client.Get(path, headers);
            worst = std::max(
                worst, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
            if (!answer || answer->status != 200)
                state.SkipWithError("a request failed under attack");
        }
    }
    state.counters["worst_s"] = worst;
    for (int fd : attackers)
        ::close(fd);
}
BENCHMARK(BM_AnswersUnderSlowClients)->UseRealTime()->Iterations(50);

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
