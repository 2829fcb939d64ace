#include "ServerFixture.h"
#include "SpeechFiles.h"

#include "AudioDecoder.h"
#include "Secrets.h"
#include "WordAligner.h"

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
        if (!word.contains("start"))
            continue;
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

} // namespace
