#include "ServerFixture.h"
#include "SpeechFiles.h"

#include "AudioDecoder.h"
#include "PocketSphinxTranscriber.h"

#include <atomic>

namespace {

const std::string kSpoken
    = "Let us review the budget for the next quarter. Please send me the meeting notes after lunch.";

// The real engine, counted: how often the server really runs recognition.
class CountingEngine : public server::Transcriber
{
public:
    explicit CountingEngine(std::atomic<int>& runs)
        : m_runs(runs)
    { }

    server::Recognition transcribe(const server::AudioUpload& audio, const std::string& prompt) override
    {
        ++m_runs;
        return m_engine.transcribe(audio, prompt);
    }

private:
    std::atomic<int>& m_runs;
    server::PocketSphinxTranscriber m_engine;
};

class TranscriptionContract : public ServerFixture
{
protected:
    void SetUp() override { start(std::make_unique<CountingEngine>(m_runs)); }

    // The form exactly as the app writes it: text part first, then the file.
    httplib::Result align(const std::string& token, const std::string& text, const std::string& audio)
    {
        const std::string form = "--b0undary\r\nContent-Disposition: form-data; name=\"text\"\r\n\r\n" + text
            + "\r\n--b0undary\r\nContent-Disposition: form-data; name=\"file\"; filename=\"audio.m4a\"\r\n"
              "Content-Type: audio/x-m4a\r\n\r\n"
            + audio + "\r\n--b0undary--\r\n";
        return client()->Post(
            "/v1/transcriptions/align", bearer(token), form, "multipart/form-data; boundary=b0undary");
    }

    std::atomic<int> m_runs = 0;
};

// Aligning a chunk's text reuses the recognition that produced it: one engine
// run per chunk, not two, and never another account's.
TEST_F(TranscriptionContract, TranscribesAChunkThenAlignsTheAppsTextOnTheSameRecognition)
{
    const std::string ann = signIn("ann@example.com");
    const std::string bob = signIn("bob@example.com");
    const std::string path = m_dataDir + "/chunk.m4a";
    SpeechFiles::makeM4a({ { "rms", kSpoken } }, path);
    const std::string audio = SpeechFiles::read(path);
    const double duration = server::AudioDecoder::decodeBytes(audio, 300).duration();

    auto headers = bearer(ann);
    headers.emplace("X-Tallisen-Prompt", "the%20previous%20part%2C%20%C3%BCber");
    const auto transcribed = client()->Post("/v1/transcriptions", headers, audio, "audio/x-m4a");
    ASSERT_EQ(transcribed->status, 200) << transcribed->body;
    const std::string heard = json(transcribed).at("text");
    EXPECT_NE(heard.find("budget"), std::string::npos) << heard;
    EXPECT_NE(heard.find("lunch"), std::string::npos) << heard;

    // The text the app aligns is its own, with capitals, punctuation and line breaks.
    const std::string text
        = "Let us review the budget\nfor the next quarter.  Please send me the notes after lunch!\n";
    const auto aligned = align(ann, text, audio);
    ASSERT_EQ(aligned->status, 200) << aligned->body;
    EXPECT_EQ(m_runs, 1);
    const auto words = json(aligned).at("words");
    std::string joined;
    std::size_t timed = 0;
    double previousStart = 0;
    for (const auto& word : words) {
        joined += word.at("text").get<std::string>();
        EXPECT_EQ(word.contains("start"), word.contains("end"));
        if (word.contains("start")) {
            ++timed;
            EXPECT_GE(word.at("start").get<double>(), previousStart);
            EXPECT_LE(word.at("start").get<double>(), word.at("end").get<double>());
            EXPECT_LE(word.at("end").get<double>(), duration + 0.05);
            previousStart = word.at("start");
        }
    }
    EXPECT_EQ(joined, text);
    EXPECT_EQ(words.size(), 16u);
    EXPECT_GE(timed * 10, words.size() * 8) << aligned->body;

    EXPECT_EQ(align(bob, text, audio)->body, aligned->body);
    EXPECT_EQ(m_runs, 2) << "another account's request must not see Ann's recognition";
    const std::string other = m_dataDir + "/other.m4a";
    SpeechFiles::makeM4a({ { "awb", "Please send me the meeting notes after lunch." } }, other);
    EXPECT_EQ(align(ann, kSpoken, SpeechFiles::read(other))->status, 200);
    EXPECT_EQ(m_runs, 3);
}

} // namespace
