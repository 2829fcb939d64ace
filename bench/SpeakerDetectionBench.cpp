// Speaker detection cost and result: CPU per second of meeting on one core, the
// memory it keeps, and the share of the speech given to the right speaker, for
// meetings of 10 minutes to 4 hours. Three voices take turns: the Asterisk
// prompts' real speaker (Allison) and two low flite voices of similar pitch
// reading alternate sentences of Debian's licence texts, each distinct sentence
// once, about 85 minutes for each voice. Exactly repeated clips would not do:
// windows of the same sound said again cluster by what is said instead of by
// who says it.
#include "AudioDecoder.h"
#include "SpeakerDetector.h"
#include "support/Resources.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

using Samples = std::vector<std::int16_t>;
constexpr double kRate = server::AudioDecoder::kSampleRate;
constexpr int kVoices = 3;

std::string shellQuoted(const std::string& text)
{
    return "'" + std::regex_replace(text, std::regex("'"), "'\\''") + "'";
}

Samples run(const std::string& command)
{
    Samples samples;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    std::int16_t block[4096];
    for (std::size_t got = 0; pipe && (got = std::fread(block, 2, 4096, pipe)) > 0;) {
        samples.insert(samples.end(), block, block + got);
    }
    if (!pipe || ::pclose(pipe) != 0 || samples.empty()) {
        throw std::runtime_error("could not make the meeting's speech: " + command);
    }
    return samples;
}

std::vector<Samples> prompts()
{
    std::vector<std::string> paths;
    for (const auto& entry :
        std::filesystem::recursive_directory_iterator("/usr/share/asterisk/sounds/en_US_f_Allison")) {
        if (entry.path().extension() == ".g722") {
            paths.push_back(entry.path());
        }
    }
    std::sort(paths.begin(), paths.end());
    std::vector<Samples> lines;
    for (const auto& path : paths) {
        lines.push_back(
            run("ffmpeg -v error -f g722 -i " + shellQuoted(path) + " -f s16le -ac 1 -ar 16000 -"));
    }
    return lines;
}

// Every distinct sentence of Debian's licence texts, once: the versions of one
// licence share many sentences, and a sentence said twice is an exact repeat.
std::vector<std::string> sentences()
{
    std::set<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/share/common-licenses")) {
        files.insert(std::filesystem::canonical(entry.path()));
    }
    std::vector<std::string> result;
    std::set<std::string> seen;
    const std::regex sentence("[^.;:]{20,200}[.;:]");
    for (const auto& path : files) {
        std::ifstream file(path);
        const auto text = std::regex_replace(
            std::string(std::istreambuf_iterator<char>(file), {}), std::regex("\\s+"), " ");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), sentence); it != std::sregex_iterator();
             ++it) {
            auto said = std::regex_replace(it->str(), std::regex("^ +"), "");
            if (seen.insert(said).second) {
                result.push_back(std::move(said));
            }
        }
    }
    return result;
}

// Every other sentence, so the two voices never read the same one.
std::vector<Samples> read(const std::string& voice, const std::vector<std::string>& text, std::size_t first)
{
    std::vector<Samples> lines;
    for (std::size_t i = first; i < text.size(); i += 2) {
        lines.push_back(run("flite -voice " + voice + " -t " + shellQuoted(text[i])
            + " -o /dev/stdout | ffmpeg -v error -i - -f s16le -ac 1 -ar 16000 -"));
    }
    return lines;
}

const std::array<std::vector<Samples>, kVoices>& voices()
{
    static const auto text = sentences();
    static const std::array<std::vector<Samples>, kVoices> made { prompts(), read("rms", text, 0),
        read("awb", text, 1) };
    return made;
}

struct TrueTurn
{
    double start;
    double end;
    int speaker;
};

// Share of the speech, sampled every 0.1 s inside each true turn, whose
// detected turn names its speaker, under the best one-to-one mapping of labels.
double attributedShare(
    const std::vector<TrueTurn>& truth, const std::vector<server::SpeakerDetector::Turn>& turns)
{
    std::map<std::string, std::array<double, kVoices>> counts;
    double total = 0;
    auto turn = turns.begin();
    for (const auto& said : truth) {
        for (double t = said.start + 0.1; t < said.end - 0.1; t += 0.1, total += 1) {
            while (turn != turns.end() && turn->end <= t) {
                ++turn;
            }
            if (turn != turns.end() && turn->start <= t) {
                counts[turn->speaker][static_cast<std::size_t>(said.speaker)] += 1;
            }
        }
    }
    std::vector<std::string> labels;
    for (const auto& entry : counts) {
        labels.push_back(entry.first);
    }
    while (labels.size() < kVoices) {
        labels.push_back("~none" + std::to_string(labels.size()));
    }
    double best = 0;
    do {
        double right = 0;
        for (std::size_t v = 0; v < kVoices; ++v) {
            right += counts[labels[v]][v];
        }
        best = std::max(best, right);
    } while (std::next_permutation(labels.begin(), labels.end()));
    return total > 0 ? best / total : 0;
}

void BM_DetectSpeakers(benchmark::State& state)
{
    const auto& lines = voices();
    const auto totalSamples
        = static_cast<std::size_t>(state.range(0)) * 60 * server::AudioDecoder::kSampleRate;
    // The voices themselves (75 minutes of samples) are resident already.
    const double before = bench::statusMiB("VmRSS:");
    bench::resetPeakMemory();
    std::vector<TrueTurn> truth;
    std::vector<server::SpeakerDetector::Turn> turns;
    for (auto _ : state) {
        // Streamed the way the server decodes: the meeting itself is never held.
        server::SpeakerDetector::Analysis analysis;
        truth.clear();
        std::mt19937 random(1);
        std::array<std::size_t, kVoices> next {};
        for (std::size_t fed = 0; fed < totalSamples;) {
            const int speaker = static_cast<int>(truth.size() % kVoices);
            const auto& said = lines[static_cast<std::size_t>(speaker)];
            const double start = static_cast<double>(fed) / kRate;
            for (int line = std::uniform_int_distribution(1, 3)(random); line > 0; --line) {
                const auto& speech = said[next[speaker]++ % said.size()];
                analysis.add(speech.data(), speech.size());
                fed += speech.size();
            }
            truth.push_back({ start, static_cast<double>(fed) / kRate, speaker });
            const Samples pause(
                static_cast<std::size_t>(std::uniform_real_distribution(0.3, 1.2)(random) * kRate), 0);
            analysis.add(pause.data(), pause.size());
            fed += pause.size();
        }
        turns = analysis.finish();
        benchmark::DoNotOptimize(turns);
    }
    std::set<std::string> speakers;
    for (const auto& turn : turns) {
        speakers.insert(turn.speaker);
    }
    state.counters["realTimeFactor"] = benchmark::Counter(static_cast<double>(state.range(0)) * 60,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["turns"] = static_cast<double>(turns.size());
    state.counters["trueTurns"] = static_cast<double>(truth.size());
    state.counters["speakers"] = static_cast<double>(speakers.size());
    state.counters["attributed"] = attributedShare(truth, turns);
    state.counters["addedPeakMB"] = bench::statusMiB("VmHWM:") - before;
}

} // namespace

BENCHMARK(BM_DetectSpeakers)
    ->Arg(10)
    ->Arg(60)
    ->Arg(120)
    ->Arg(240)
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->MeasureProcessCPUTime();

BENCHMARK_MAIN();
