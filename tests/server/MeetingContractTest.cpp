#include "ServerFixture.h"
#include "SpeechFiles.h"

#include "AudioDecoder.h"
#include "PocketSphinxTranscriber.h"
#include "Secrets.h"

#include <atomic>
#include <map>
#include <set>

// The app's road for one meeting, request by request: speaker detection over the
// whole recording, then transcription and alignment of every chunk.
namespace {

constexpr const char* kRecording = "6F1C2B3A-4D5E-4F60-8A7B-9C0D1E2F3A4B";

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

class MeetingContract : public ServerFixture
{
protected:
    void SetUp() override { start(std::make_unique<CountingEngine>(m_runs)); }

    static std::string path(const std::string& suffix = "", const std::string& id = kRecording)
    {
        return "/v1/diarizations/" + id + suffix;
    }

    std::string uploadPath(const std::string& token, const std::string& id = kRecording)
    {
        const auto prepared = json(post(path("/prepare", id), token));
        EXPECT_EQ(prepared.at("status"), "upload");
        return pathOf(prepared.at("uploadURL"));
    }

    // Polls until the job has an outcome; the states on the way are only those two.
    nlohmann::json finished(const std::string& token, const std::string& id = kRecording)
    {
        nlohmann::json status;
        EXPECT_TRUE(eventually(
            [&] {
                status = json(client()->Get(path("", id), bearer(token)));
                const std::string state = status.at("status");
                EXPECT_TRUE(
                    state == "starting" || state == "pending" || state == "succeeded" || state == "failed")
                    << state;
                return state == "succeeded" || state == "failed";
            },
            60));
        return status;
    }

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

TEST_F(MeetingContract, SpeakersThenChunksGiveEachWordOfTheAppsTextItsTimeAndSpeaker)
{
    const std::vector<SpeechFiles::Line> lines { { "rms", "Let us review the budget for the next quarter." },
        { "slt", "I think we should hire two more engineers this year." },
        { "rms", "The customer wants the new release before the end of the month." },
        { "slt", "Please send me the meeting notes after lunch." },
        { "rms", "Thank you all, see you next week." } };
    const std::string token = signIn();
    const std::string bob = signIn("bob@example.com");
    const std::string meeting = m_dataDir + "/meeting.m4a";
    SpeechFiles::makeM4a(lines, meeting, 0.8);
    const std::string firstUrl = json(post(path("/prepare"), token)).at("uploadURL");
    const std::string prefix = m_server->publicUrl() + "/v1/uploads/";
    ASSERT_TRUE(firstUrl.starts_with("https://"));
    ASSERT_TRUE(firstUrl.starts_with(prefix));
    // 43 characters of 6 bits: at least 128 random bits.
    EXPECT_GE(firstUrl.size() - prefix.size(), 43u);

    // Starting before the audio arrived is refused; preparing again moves the address.
    EXPECT_EQ(post(path("/start"), token)->status, 409);
    const std::string upload = uploadPath(token);
    EXPECT_NE(upload, pathOf(firstUrl));
    const auto stale = client()->Put(pathOf(firstUrl), "audio", "audio/x-m4a");
    EXPECT_EQ(stale->status, 404);
    EXPECT_FALSE(errorOf(stale).empty());

    // The address is the capability: no bearer token, and it works once.
    ASSERT_EQ(client()->Put(upload, SpeechFiles::read(meeting), "audio/x-m4a")->status, 200);
    EXPECT_EQ(client()->Put(upload, "audio", "audio/x-m4a")->status, 404);
    EXPECT_EQ(post(path("/start"), token)->status, 200);
    const auto detected = finished(token);
    ASSERT_EQ(detected.at("status"), "succeeded") << detected.dump();
    const auto& segments = detected.at("segments");
    std::set<std::string> speakers;
    for (const auto& segment : segments) {
        EXPECT_LT(segment.at("start").get<double>(), segment.at("end").get<double>());
        speakers.insert(segment.at("speaker").get<std::string>());
    }
    EXPECT_EQ(speakers.size(), 2u);

    // A later prepare for the same recording resumes the finished job.
    const auto resumed = json(post(path("/prepare"), token));
    EXPECT_EQ(resumed.at("status"), "succeeded");
    EXPECT_EQ(resumed.at("segments"), segments);

    // Jobs belong to their account, and an undecodable one says why.
    const auto peek = client()->Get(path(), bearer(bob));
    EXPECT_EQ(peek->status, 404);
    EXPECT_FALSE(errorOf(peek).empty());
    EXPECT_EQ(client()->Get(path(), httplib::Headers {})->status, 401);
    EXPECT_EQ(client()->Get(path("", "not-a-uuid"), bearer(token))->status, 400);
    const std::string undecodable = server::Secrets::newUuid();
    ASSERT_EQ(client()->Put(uploadPath(token, undecodable), "not audio at all", "audio/x-m4a")->status, 200);
    const auto failed = finished(token, undecodable);
    EXPECT_EQ(failed.at("status"), "failed");
    EXPECT_NE(failed.value("error", "").find("audio"), std::string::npos) << failed.dump();

    const auto speakerAt = [&](double time) {
        for (const auto& segment : segments) {
            if (segment.at("start").get<double>() <= time && time < segment.at("end").get<double>()) {
                return segment.at("speaker").get<std::string>();
            }
        }
        return std::string("Unassigned");
    };
    double offset = 0;
    // Each prompt is the text before; the first one is not ASCII.
    std::string previousText = "\xC3\xBC"
                               "ber";
    std::string audio;
    std::string lastAlignment;
    std::map<std::string, std::map<std::string, int>> labelsByVoice;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE("chunk " + std::to_string(i));
        const std::string chunk = m_dataDir + "/chunk" + std::to_string(i) + ".m4a";
        SpeechFiles::makeM4a({ lines[i] }, chunk, 0.8);
        audio = SpeechFiles::read(chunk);
        const double duration = server::AudioDecoder::decodeBytes(audio, 300).duration();
        auto headers = bearer(token);
        headers.emplace("X-Tallisen-Prompt", server::WireFormat::percentEncode(previousText));
        const auto transcribed = client()->Post("/v1/transcriptions", headers, audio, "audio/x-m4a");
        ASSERT_EQ(transcribed->status, 200) << transcribed->body;
        previousText = json(transcribed).at("text");
        EXPECT_TRUE(i > 0 || previousText.find("budget") != std::string::npos) << previousText;

        // The app aligns its own text, with capitals, punctuation and line breaks,
        // on the recognition that the transcription made: one engine run per chunk.
        const std::string text = lines[i].text + "\n";
        const auto aligned = align(token, text, audio);
        ASSERT_EQ(aligned->status, 200) << aligned->body;
        EXPECT_EQ(m_runs, static_cast<int>(i) + 1);
        std::string joined;
        std::size_t timed = 0;
        double previousStart = 0;
        const auto words = json(aligned).at("words");
        for (const auto& word : words) {
            joined += word.at("text").get<std::string>();
            EXPECT_EQ(word.contains("start"), word.contains("end"));
            if (word.contains("start")) {
                const double start = word.at("start");
                const double end = word.at("end");
                ++timed;
                EXPECT_GE(start, previousStart);
                EXPECT_LE(start, end);
                EXPECT_LE(end, duration + 0.05);
                previousStart = start;
                ++labelsByVoice[lines[i].voice][speakerAt(offset + (start + end) / 2)];
            }
        }
        EXPECT_EQ(joined, text);
        EXPECT_GE(timed * 10, words.size() * 8) << aligned->body;
        offset += duration;
        lastAlignment = aligned->body;
    }

    // Each voice's words carry one label, and the two voices' labels differ.
    const auto dominant = [&](const std::string& voice) {
        const auto& counts = labelsByVoice[voice];
        const auto best = std::max_element(
            counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
        int total = 0;
        for (const auto& [label, count] : counts) {
            total += count;
        }
        EXPECT_GE(best->second * 10, total * 9) << voice;
        EXPECT_NE(best->first, "Unassigned") << voice;
        return best->first;
    };
    EXPECT_NE(dominant("rms"), dominant("slt"));

    // A recognition is reused only for the same account and the same audio.
    const int runs = m_runs;
    EXPECT_EQ(align(bob, lines.back().text + "\n", audio)->body, lastAlignment);
    EXPECT_EQ(m_runs, runs + 1);
    EXPECT_EQ(align(token, lines.back().text, SpeechFiles::read(meeting))->status, 200);
    EXPECT_EQ(m_runs, runs + 2);
}

} // namespace
