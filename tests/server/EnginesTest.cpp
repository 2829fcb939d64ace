#include "SpeechFiles.h"

#include "AudioDecoder.h"
#include "HttpError.h"
#include "OpenAiTranscriber.h"
#include "PocketSphinxTranscriber.h"
#include "WordAligner.h"

#include <gmock/gmock.h>
#include <httplib.h>

#include <numeric>
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
    for (std::string word; stream >> word;) {
        if (const std::string token = server::WordAligner::normalised(word); !token.empty()) {
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
    std::vector<std::size_t> row(hyp.size() + 1);
    std::iota(row.begin(), row.end(), 0);
    for (std::size_t i = 1; i <= ref.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= hyp.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({ row[j] + 1, row[j - 1] + 1, diagonal + (ref[i - 1] == hyp[j - 1] ? 0 : 1) });
            diagonal = above;
        }
    }
    return static_cast<double>(row[hyp.size()]) / static_cast<double>(ref.size());
}

std::string joined(const std::vector<RecognizedWord>& words)
{
    std::string text;
    for (const auto& word : words) {
        text += word.text;
    }
    return text;
}

TEST(WordAligner, JoinedWordsGiveBackAnyTextAndMatchedWordsTakeTheEngineTimes)
{
    std::mt19937 random(20261206);
    const std::vector<std::string> pieces { "hello", "World,", " ", "  ", "\n", "\t", "don't", "42", "—",
        "über", "x", "\r\n", ".", "again" };
    const std::vector<RecognizedWord> heard { { "hello", 0.1, 0.4 }, { "world", 0.5, 0.9 },
        { "again", 1.0, 1.3 } };
    for (int round = 0; round < 500; ++round) {
        std::string text;
        for (int i = static_cast<int>(random() % 12); i > 0; --i) {
            text += pieces[random() % pieces.size()];
        }
        const auto words = server::WordAligner::align(text, heard);
        EXPECT_EQ(joined(words), text) << "round " << round;
        for (const auto& word : words) {
            EXPECT_EQ(word.start.has_value(), word.end.has_value());
        }
    }

    const auto words = server::WordAligner::align(
        "  We ship it on Friday.\n", { { "we", 0.2, 0.3 }, { "ship", 0.3, 0.6 }, { "friday", 1.0, 1.5 } });
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

// Word times must stay on the audio's clock through pauses and across the
// engine's 20-second pieces: a word given to the wrong moment goes to the wrong speaker.
TEST(PocketSphinx, RecognisesSpeechWithWordTimesThroughLongPausesAndPieces)
{
    TemporaryDirectory directory;
    server::PocketSphinxTranscriber engine;
    std::vector<SpeechFiles::Line> lines;
    std::string spoken;
    for (const char* voice : { "rms", "awb" }) {
        for (const auto& sentence : kSentences) {
            lines.push_back({ voice, sentence });
            spoken += sentence + " ";
        }
    }
    for (const double pause : { 0.6, 4.0 }) {
        SCOPED_TRACE("pauses of " + std::to_string(pause) + " s");
        const std::string path = directory.file("pauses.m4a");
        const auto spans = SpeechFiles::makeM4a(lines, path, pause);
        const std::string bytes = SpeechFiles::read(path);
        const auto pcm = server::AudioDecoder::decodeBytes(bytes, 300);
        ASSERT_GT(pcm.duration(), 20.0);
        const auto recognition = engine.transcribe({ bytes, pcm }, "");
        const double errorRate = wordErrorRate(spoken, recognition.text);
        std::cout << "[ WER ] " << errorRate << " \"" << recognition.text << "\"\n";
        EXPECT_LT(errorRate, 0.3);
        for (const auto& word : recognition.words) {
            ASSERT_TRUE(word.start && word.end);
            EXPECT_LE(*word.start, *word.end);
            EXPECT_GE(*word.start, 0.0);
            EXPECT_LE(*word.end, pcm.duration() + 0.05);
        }
        for (std::size_t i = 0; i < spans.size(); ++i) {
            std::vector<RecognizedWord> heard;
            for (const auto& word : recognition.words) {
                if (*word.start >= spans[i].start - 0.3 && *word.end <= spans[i].end + 0.3) {
                    heard.push_back(word);
                }
            }
            ASSERT_GE(heard.size(), tokens(lines[i].text).size() / 2) << "line " << i;
            EXPECT_NEAR(*heard.front().start, spans[i].start, 0.35) << "line " << i;
            EXPECT_NEAR(*heard.back().end, spans[i].end, 0.5) << "line " << i;
        }
    }
}

TEST(OpenAiTranscriber, ForwardsTheAudioReadsWordTimesAndTurnsFailuresIntoBadGateway)
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
    upstream.Post("/failing/audio/transcriptions",
        [](const httplib::Request&, httplib::Response& response) { response.status = 500; });
    const std::string base = "http://127.0.0.1:" + std::to_string(upstream.bind_to_any_port("127.0.0.1"));
    std::thread serving([&] { upstream.listen_after_bind(); });
    const server::AudioDecoder::Pcm pcm;
    const auto recognition = server::OpenAiTranscriber(base + "/compat/v1", "sk-test", "whisper-1")
                                 .transcribe({ "m4a bytes", pcm }, "previous words");
    EXPECT_THAT(
        [&] {
            server::OpenAiTranscriber(base + "/failing", "", "whisper-1").transcribe({ "x", pcm }, "");
        },
        ::testing::Throws<server::HttpError>(::testing::Property(&server::HttpError::status, 502)));
    upstream.stop();
    serving.join();

    EXPECT_EQ(recognition.text, "Hello there.");
    ASSERT_EQ(recognition.words.size(), 2u);
    EXPECT_EQ(recognition.words[1].text, "there");
    EXPECT_EQ(recognition.words[1].start, 0.5);
    EXPECT_EQ(seen.get_header_value("Authorization"), "Bearer sk-test");
    for (const auto& [field, value] : std::vector<std::pair<const char*, const char*>> {
             { "file", "m4a bytes" }, { "model", "whisper-1" }, { "response_format", "verbose_json" },
             { "timestamp_granularities[]", "word" }, { "prompt", "previous words" } }) {
        EXPECT_EQ(seen.get_file_value(field).content, value) << field;
    }
}

} // namespace
