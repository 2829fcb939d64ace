// Speaker detection cost: CPU per second of meeting on one core and the memory
// it keeps, for meetings of 10 minutes to 2 hours made from real recorded voices.
#include "AudioDecoder.h"
#include "SpeakerDetector.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<std::int16_t> voice(const std::vector<std::string>& paths)
{
    std::vector<std::int16_t> samples;
    for (const auto& path : paths) {
        std::ifstream file(path, std::ios::binary);
        const std::string bytes(std::istreambuf_iterator<char>(file), {});
        const auto pcm = server::AudioDecoder::decodeBytes(bytes, 600);
        samples.insert(samples.end(), pcm.samples.begin(), pcm.samples.end());
    }
    return samples;
}

double residentMegabytes()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_DetectSpeakers(benchmark::State& state)
{
    const std::string data = "/usr/share/pocketsphinx/test/data/";
    const auto reader = voice({ data + "librivox/sense_and_sensibility_01_austen_64kb-0870.wav",
        data + "librivox/sense_and_sensibility_01_austen_64kb-0920.wav" });
    const auto cards = voice({ data + "cards/005.wav", data + "cards/002.wav", data + "cards/003.wav" });
    const std::vector<std::int16_t> pause(server::AudioDecoder::kSampleRate * 7 / 10, 0);
    const auto totalSamples
        = static_cast<std::size_t>(state.range(0)) * 60 * server::AudioDecoder::kSampleRate;
    const double before = residentMegabytes();
    std::size_t turns = 0;
    for (auto _ : state) {
        // Streamed the way the server decodes: the meeting itself is never held.
        server::SpeakerDetector::Analysis analysis;
        for (std::size_t fed = 0, turn = 0; fed < totalSamples; ++turn) {
            const auto& speech = turn % 2 == 0 ? reader : cards;
            analysis.add(speech.data(), speech.size());
            analysis.add(pause.data(), pause.size());
            fed += speech.size() + pause.size();
        }
        turns = analysis.finish().size();
        benchmark::DoNotOptimize(turns);
    }
    state.counters["realTimeFactor"] = benchmark::Counter(static_cast<double>(state.range(0)) * 60,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["turns"] = static_cast<double>(turns);
    state.counters["peakResidentMB"] = residentMegabytes();
    state.counters["addedResidentMB"] = residentMegabytes() - before;
}

} // namespace

BENCHMARK(BM_DetectSpeakers)
    ->Arg(10)
    ->Arg(60)
    ->Arg(120)
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->MeasureProcessCPUTime();

BENCHMARK_MAIN();
