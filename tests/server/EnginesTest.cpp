#include "SpeechFiles.h"

#include "AudioDecoder.h"
#include "HttpError.h"
#include "OpenAiTranscriber.h"
#include "PocketSphinxTranscriber.h"
#include "WordAligner.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

namespace {

using server::RecognizedWord;
using SpeechFiles::TemporaryDirectory;

std::vector<std::string> tokens(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream stream(text);
    std::string word;
    while (stream >> word) {
        const std::string token = server::WordAligner::normalised(word);
        if (!token.empty()) {
            result.push_back(token);
        }
    }
    return result;
}

// Word error rate: word-level edit distance over the reference length.
double wordErrorRate(const std::string& reference, const std::string& hypothesis)
{
    const auto ref = tokens(reference);
    const auto hyp = tokens(hypothesis);
    std::vector<std::vector<std::size_t>> d(ref.size() + 1, std::vector<std::size_t>(hyp.size() + 1));
    for (std::size_t i = 0; i <= ref.size(); ++i) {
        d[i][0] = i;
    }
    for (std::size_t j = 0; j <= hyp.size(); ++j) {
        d[0][j] = j;
    }
    for (std::size_t i = 1; i <= ref.size(); ++i) {
        for (std::size_t j = 1; j <= hyp.size(); ++j) {
            d[i][j] = std::min(
                { d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (ref[i - 1] == hyp[j - 1] ? 0 : 1) });
        }
    }
    return static_cast<double>(d[ref.size()][hyp.size()]) / static_cast<double>(ref.size());
}

std::string joined(const std::vector<RecognizedWord>& words)
{
    std::string text;
    for (const auto& word : words) {
        text += word.text;
    }
    return text;
}

TEST(WordAligner, JoinedWordsGiveBackAnyTextExactly)
{
    std::mt19937 random(20261206);
    const std::vector<std::string> pieces { "hello", "World,", " ", "  ", "\n", "\t", "don't", "42", "—",
        "über", "x", "\r\n", ".", "again" };
    const std::vector<RecognizedWord> heard { { "hello", 0.1, 0.4 }, { "world", 0.5, 0.9 },
        { "again", 1.0, 1.3 } };
    for (int round = 0; round < 500; ++round) {
        std::string text;
        const int count = static_cast<int>(random() % 12);
        for (int i = 0; i < count; ++i) {
            text += pieces[random() % pieces.size()];
        }
        const auto words = server::WordAligner::align(text, heard);
        EXPECT_EQ(joined(words), text) << "round " << round;
        for (const auto& word : words) {
            EXPECT_EQ(word.start.has_value(), word.end.has_value());
        }
    }
}

TEST(WordAligner, MatchedWordsTakeTheEngineTimesAndUnheardWordsStayUntimed)
{
    const std::vector<RecognizedWord> heard { { "we", 0.2, 0.3 }, { "ship", 0.3, 0.6 },
        { "friday", 1.0, 1.5 } };
    const auto words = server::WordAligner::align("  We ship it on Friday.\n", heard);
    ASSERT_EQ(words.size(), 5u);
    EXPECT_EQ(words[0].text, "  We");
    EXPECT_EQ(words[0].start, 0.2);
    EXPECT_EQ(words[1].end, 0.6);
    EXPECT_FALSE(words[2].start.has_value());
    EXPECT_FALSE(words[3].start.has_value());
    EXPECT_EQ(words[4].text, " Friday.\n");
    EXPECT_EQ(words[4].start, 1.0);
    EXPECT_TRUE(server::WordAligner::align("", heard).empty());
    const auto nothingHeard = server::WordAligner::align("a b", {});
    EXPECT_EQ(joined(nothingHeard), "a b");
    EXPECT_FALSE(nothingHeard[0].start.has_value());
}

// Sentences flite's "rms" and "awb" voices read clearly enough for the US English model.
const std::vector<std::string> kSentences {
    "Let us review the budget for the next quarter.",
    "I think we should hire two more engineers this year.",
    "The customer wants the new release before the end of the month.",
    "Please send me the meeting notes after lunch.",
};

TEST(PocketSphinx, RecognisesSyntheticSpeechWithWordTimes)
{
    TemporaryDirectory directory;
    server::PocketSphinxTranscriber engine;
    double errors = 0;
    double words = 0;
    for (const std::string voice : { "rms", "awb" }) {
        for (std::size_t i = 0; i < kSentences.size(); ++i) {
            const std::string path = directory.file(voice + std::to_string(i) + ".m4a");
            SpeechFiles::makeM4a({ { voice, kSentences[i] } }, path);
            const std::string bytes = SpeechFiles::read(path);
            const auto pcm = server::AudioDecoder::decodeBytes(bytes, 300);
            const auto recognition = engine.transcribe({ bytes, pcm }, "");
            const double rate = wordErrorRate(kSentences[i], recognition.text);
            std::cout << "[ WER ] " << voice << ": " << rate << " \"" << recognition.text << "\"\n";
            errors += rate * static_cast<double>(tokens(kSentences[i]).size());
            words += static_cast<double>(tokens(kSentences[i]).size());
            for (const auto& word : recognition.words) {
                ASSERT_TRUE(word.start && word.end);
                EXPECT_LE(*word.start, *word.end);
                EXPECT_GE(*word.start, 0.0);
                EXPECT_LE(*word.end, pcm.duration() + 0.05);
            }
        }
    }
    const double overall = errors / words;
    std::cout << "[ WER ] overall: " << overall << '\n';
    EXPECT_LT(overall, 0.3);
}

// Word times must stay on the audio's clock through pauses and across the
// engine's 20-second pieces: a word given to the wrong moment goes to the wrong speaker.
TEST(PocketSphinx, WordTimesFollowTheAudioThroughLongPausesAndPieces)
{
    TemporaryDirectory directory;
    server::PocketSphinxTranscriber engine;
    for (const double pause : { 0.6, 4.0 }) {
        std::vector<SpeechFiles::Line> lines;
        for (int round = 0; round < 2; ++round) {
            for (const auto& sentence : kSentences) {
                lines.push_back({ round == 0 ? "rms" : "awb", sentence });
            }
        }
        const std::string path = directory.file("pauses.m4a");
        const auto spans = SpeechFiles::makeM4a(lines, path, pause);
        const std::string bytes = SpeechFiles::read(path);
        const auto pcm = server::AudioDecoder::decodeBytes(bytes, 300);
        ASSERT_GT(pcm.duration(), 20.0);
        const auto recognition = engine.transcribe({ bytes, pcm }, "");
        for (std::size_t i = 0; i < spans.size(); ++i) {
            std::vector<RecognizedWord> heard;
            for (const auto& word : recognition.words) {
                if (*word.start >= spans[i].start - 0.3 && *word.end <= spans[i].end + 0.3) {
                    heard.push_back(word);
                }
            }
            ASSERT_GE(heard.size(), tokens(kSentences[i % kSentences.size()]).size() / 2)
                << "line " << i << " after pauses of " << pause << " s";
            EXPECT_NEAR(*heard.front().start, spans[i].start, 0.35) << "line " << i << ", pause " << pause;
            EXPECT_NEAR(*heard.back().end, spans[i].end, 0.5) << "line " << i << ", pause " << pause;
        }
    }
}

TEST(OpenAiTranscriber, ForwardsTheAudioAndReadsWordTimestamps)
{
    httplib::Server upstream;
    httplib::Request seen;
    upstream.Post(
        "/compat/v1/audio/transcriptions", [&](const httplib::Request& request, httplib::Response& response) {
            seen = request;
            response.set_content(R"({"text":"Hello there.","words":[{"word":"Hello","start":0.1,"end":0.4},)"
                                 R"({"word":"there","start":0.5,"end":0.9}]})",
                "application/json");
        });
    const int port = upstream.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { upstream.listen_after_bind(); });
    server::OpenAiTranscriber engine(
        "http://127.0.0.1:" + std::to_string(port) + "/compat/v1", "sk-test", "whisper-1");
    const server::AudioDecoder::Pcm pcm;
    const auto recognition = engine.transcribe({ "m4a bytes", pcm }, "previous words");
    upstream.stop();
    serving.join();

    EXPECT_EQ(recognition.text, "Hello there.");
    ASSERT_EQ(recognition.words.size(), 2u);
    EXPECT_EQ(recognition.words[1].text, "there");
    EXPECT_EQ(recognition.words[1].start, 0.5);
    EXPECT_EQ(seen.get_header_value("Authorization"), "Bearer sk-test");
    EXPECT_EQ(seen.get_file_value("file").content, "m4a bytes");
    EXPECT_EQ(seen.get_file_value("model").content, "whisper-1");
    EXPECT_EQ(seen.get_file_value("response_format").content, "verbose_json");
    EXPECT_EQ(seen.get_file_value("timestamp_granularities[]").content, "word");
    EXPECT_EQ(seen.get_file_value("prompt").content, "previous words");

    // The alignment endpoint places the app's own text on the upstream's word times.
    const auto aligned = server::WordAligner::align("Hello there!", recognition.words);
    ASSERT_EQ(aligned.size(), 2u);
    EXPECT_EQ(aligned[0].start, 0.1);
    EXPECT_EQ(aligned[1].text, " there!");
    EXPECT_EQ(aligned[1].end, 0.9);
}

TEST(OpenAiTranscriber, UpstreamFailuresBecomeBadGateway)
{
    httplib::Server upstream;
    upstream.Post("/v1/audio/transcriptions",
        [](const httplib::Request&, httplib::Response& response) { response.status = 500; });
    const int port = upstream.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { upstream.listen_after_bind(); });
    server::OpenAiTranscriber engine("http://127.0.0.1:" + std::to_string(port), "", "whisper-1");
    const server::AudioDecoder::Pcm pcm;
    try {
        engine.transcribe({ "x", pcm }, "");
        ADD_FAILURE() << "no error";
    } catch (const server::HttpError& error) {
        EXPECT_EQ(error.status(), 502);
    }
    upstream.stop();
    serving.join();
}

} // namespace
