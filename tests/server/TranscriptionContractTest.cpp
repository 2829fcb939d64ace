#include "ServerFixture.h"
#include "SpeechFiles.h"

#include "AudioDecoder.h"
#include "PocketSphinxTranscriber.h"
#include "Secrets.h"
#include "WordAligner.h"

#include <atomic>
#include <iterator>
#include <sstream>

namespace {

using TranscriptionContract = ServerFixture;

const std::string kSpoken
    = "Let us review the budget for the next quarter. Please send me the meeting notes after lunch.";

// The form exactly as the app writes it: text part first, then the file.
std::string alignmentForm(const std::string& boundary, const std::string& text, const std::string& audio)
{
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"text\"\r\n\r\n" + text + "\r\n--"
        + boundary
        + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"audio.m4a\"\r\n"
          "Content-Type: audio/x-m4a\r\n\r\n"
        + audio + "\r\n--" + boundary + "--\r\n";
}

std::size_t wordCount(const std::string& text)
{
    std::istringstream stream(text);
    return static_cast<std::size_t>(std::distance(std::istream_iterator<std::string>(stream), {}));
}

TEST_F(TranscriptionContract, TranscribesAChunkAndAlignsItsWordsToTheGivenText)
{
    const std::string token = signIn();
    const std::string path = m_dataDir + "/chunk.m4a";
    SpeechFiles::makeM4a({ { "rms", kSpoken } }, path);
    const std::string audio = SpeechFiles::read(path);
    const double duration = server::AudioDecoder::decodeBytes(audio, 300).duration();

    auto headers = bearer(token);
    headers.emplace("X-Tallisen-Prompt", "the%20previous%20part%2C%20%C3%BCber");
    const auto transcribed = client()->Post("/v1/transcriptions", headers, audio, "audio/x-m4a");
    ASSERT_EQ(transcribed->status, 200) << transcribed->body;
    const std::string heard = json(transcribed).at("text");
    EXPECT_NE(heard.find("budget"), std::string::npos) << heard;
    EXPECT_NE(heard.find("lunch"), std::string::npos) << heard;

    // The text the app aligns is its own, with capitals, punctuation and line breaks.
    const std::string text
        = "Let us review the budget\nfor the next quarter.  Please send me the notes after lunch!\n";
    const std::string boundary = "Tallisen-" + server::Secrets::newUuid();
    const auto aligned = client()->Post("/v1/transcriptions/align", bearer(token),
        alignmentForm(boundary, text, audio), "multipart/form-data; boundary=" + boundary);
    ASSERT_EQ(aligned->status, 200) << aligned->body;
    const auto words = json(aligned).at("words");
    std::string joined;
    std::size_t timed = 0;
    double previousStart = 0;
    for (const auto& word : words) {
        joined += word.at("text").get<std::string>();
        EXPECT_EQ(word.contains("start"), word.contains("end"));
        if (!word.contains("start")) {
            continue;
        }
        ++timed;
        const double start = word.at("start");
        const double end = word.at("end");
        EXPECT_GE(start, previousStart);
        EXPECT_LE(start, end);
        EXPECT_LE(end, duration + 0.05);
        previousStart = start;
    }
    EXPECT_EQ(joined, text);
    EXPECT_EQ(words.size(), wordCount(text));
    EXPECT_GE(timed * 10, words.size() * 8) << aligned->body;
}

TEST_F(TranscriptionContract, AudioLongerThanAChunkIsRefused)
{
    const std::string token = signIn();
    const std::string path = m_dataDir + "/long.m4a";
    SpeechFiles::run("ffmpeg -y -f lavfi -i anullsrc=r=16000:cl=mono -t 320 -c:a aac -b:a 16k " + path);
    const auto answer
        = client()->Post("/v1/transcriptions", bearer(token), SpeechFiles::read(path), "audio/x-m4a");
    EXPECT_EQ(answer->status, 422);
    EXPECT_FALSE(errorOf(answer).empty());
}

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

class Recognitions : public ServerFixture
{
protected:
    void SetUp() override { start(std::make_unique<CountingEngine>(m_runs)); }

    std::atomic<int> m_runs = 0;
};

// Aligning a chunk's text reuses the recognition that produced it: one engine
// run per chunk, not two, and never another account's.
TEST_F(Recognitions, AligningAfterTranscribingRunsTheEngineOnce)
{
    const std::string ann = signIn("ann@example.com");
    const std::string bob = signIn("bob@example.com");
    const std::string path = m_dataDir + "/chunk.m4a";
    SpeechFiles::makeM4a({ { "rms", kSpoken } }, path);
    const std::string audio = SpeechFiles::read(path);
    const std::string boundary = "Tallisen-" + server::Secrets::newUuid();
    const auto align = [&](const std::string& token) {
        return client()->Post("/v1/transcriptions/align", bearer(token),
            alignmentForm(boundary, kSpoken, audio), "multipart/form-data; boundary=" + boundary);
    };

    ASSERT_EQ(client()->Post("/v1/transcriptions", bearer(ann), audio, "audio/x-m4a")->status, 200);
    const auto first = align(ann);
    ASSERT_EQ(first->status, 200) << first->body;
    EXPECT_EQ(m_runs, 1);
    EXPECT_EQ(align(bob)->body, first->body);
    EXPECT_EQ(m_runs, 2) << "another account's request must not see Ann's recognition";
    const std::string other = m_dataDir + "/other.m4a";
    SpeechFiles::makeM4a({ { "awb", "Please send me the meeting notes after lunch." } }, other);
    const auto different = client()->Post("/v1/transcriptions/align", bearer(ann),
        alignmentForm(boundary, kSpoken, SpeechFiles::read(other)),
        "multipart/form-data; boundary=" + boundary);
    EXPECT_EQ(different->status, 200);
    EXPECT_EQ(m_runs, 3);
}

} // namespace
