#include "ServerFixture.h"
#include "SpeechFiles.h"

#include "AudioDecoder.h"
#include "Secrets.h"
#include "WireFormat.h"

#include <map>

namespace {

using MeetingEndToEnd = ServerFixture;

// As the app sends the prompt: letters and digits as they are, everything else escaped.
std::string percentEncoded(const std::string& text)
{
    std::string result;
    for (unsigned char c : text) {
        char escape[4];
        std::snprintf(escape, sizeof escape, "%%%02X", c);
        result += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : std::string(escape);
    }
    return result;
}

// The app's road for one meeting, request by request: speaker detection over the
// whole recording, then transcription and alignment of every chunk.
TEST_F(MeetingEndToEnd, FiveChunksWithSpeakersGiveEachWordItsSpeaker)
{
    const std::vector<SpeechFiles::Line> lines { { "rms", "Let us review the budget for the next quarter." },
        { "slt", "I think we should hire two more engineers this year." },
        { "rms", "The customer wants the new release before the end of the month." },
        { "slt", "Please send me the meeting notes after lunch." },
        { "rms", "Thank you all, see you next week." } };
    const std::string token = signIn();
    const std::string recordingId = server::Secrets::newUuid();
    const std::string meeting = m_dataDir + "/meeting.m4a";
    SpeechFiles::makeM4a(lines, meeting, 0.8);

    const auto prepared = json(client()->Post(
        "/v1/diarizations/" + recordingId + "/prepare", bearer(token), "", "application/json"));
    ASSERT_EQ(prepared.at("status"), "upload");
    const std::string uploadUrl = prepared.at("uploadURL");
    ASSERT_EQ(
        client()
            ->Put(uploadUrl.substr(m_server->publicUrl().size()), SpeechFiles::read(meeting), "audio/x-m4a")
            ->status,
        200);
    client()->Post("/v1/diarizations/" + recordingId + "/start", bearer(token), "", "application/json");
    nlohmann::json segments;
    ASSERT_TRUE(eventually(
        [&] {
            const auto status = json(client()->Get("/v1/diarizations/" + recordingId, bearer(token)));
            segments = status.value("segments", nlohmann::json());
            return status.at("status") == "succeeded";
        },
        60));

    auto speakerAt = [&](double time) {
        for (const auto& segment : segments) {
            if (segment.at("start").get<double>() <= time && time < segment.at("end").get<double>()) {
                return segment.at("speaker").get<std::string>();
            }
        }
        return std::string("Unassigned");
    };

    double offset = 0;
    std::string previousText;
    std::map<std::string, std::map<std::string, int>> labelsByVoice;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string chunk = m_dataDir + "/chunk" + std::to_string(i) + ".m4a";
        SpeechFiles::makeM4a({ lines[i] }, chunk, 0.8);
        const std::string audio = SpeechFiles::read(chunk);
        auto headers = bearer(token);
        if (i > 0) {
            headers.emplace("X-Tallisen-Prompt", percentEncoded(previousText));
        }
        const auto transcribed = client()->Post("/v1/transcriptions", headers, audio, "audio/x-m4a");
        ASSERT_EQ(transcribed->status, 200) << transcribed->body;
        const std::string text = json(transcribed).at("text");
        ASSERT_FALSE(text.empty());
        previousText = text;

        httplib::MultipartFormDataItems form { { "text", text, "", "" },
            { "file", audio, "audio.m4a", "audio/x-m4a" } };
        const auto aligned = client()->Post("/v1/transcriptions/align", bearer(token), form);
        ASSERT_EQ(aligned->status, 200) << aligned->body;
        std::string joined;
        const auto words = json(aligned).at("words");
        for (const auto& word : words) {
            joined += word.at("text").get<std::string>();
            if (word.contains("start")) {
                const double middle
                    = offset + (word.at("start").get<double>() + word.at("end").get<double>()) / 2;
                ++labelsByVoice[lines[i].voice][speakerAt(middle)];
            }
        }
        EXPECT_EQ(joined, text);
        offset += server::AudioDecoder::decodeBytes(audio, 300).duration();
    }

    // Each voice's words carry one label, and the two voices' labels differ.
    auto dominant = [&](const std::string& voice) {
        const auto& counts = labelsByVoice[voice];
        const auto best = std::max_element(
            counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
        int total = 0;
        for (const auto& [label, count] : counts) {
            total += count;
        }
        EXPECT_GE(best->second * 10, total * 9) << voice;
        return best->first;
    };
    const std::string low = dominant("rms");
    const std::string high = dominant("slt");
    EXPECT_NE(low, high);
    EXPECT_NE(low, "Unassigned");
    EXPECT_NE(high, "Unassigned");
}

} // namespace
