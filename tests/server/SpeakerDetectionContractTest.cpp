#include "ServerFixture.h"
#include "SpeechFiles.h"

#include "Secrets.h"

#include <set>

namespace {

using SpeakerDetectionContract = ServerFixture;

constexpr const char* kRecording = "6F1C2B3A-4D5E-4F60-8A7B-9C0D1E2F3A4B";

std::string diarizationPath(const std::string& suffix = "")
{
    return std::string("/v1/diarizations/") + kRecording + suffix;
}

TEST_F(SpeakerDetectionContract, UploadStartAndPollGiveSegmentsForOneJobPerRecording)
{
    const std::string token = signIn();
    const std::string audio = m_dataDir + "/meeting.m4a";
    SpeechFiles::makeM4a({ { "rms", "Good morning everyone, let us look at the budget." },
                             { "slt", "Thank you. The numbers for this quarter look good." } },
        audio);

    const auto prepared
        = json(client()->Post(diarizationPath("/prepare"), bearer(token), "", "application/json"));
    ASSERT_EQ(prepared.at("status"), "upload");
    const std::string firstUrl = prepared.at("uploadURL");
    const std::string prefix = m_server->publicUrl() + "/v1/uploads/";
    ASSERT_EQ(firstUrl.rfind("https://", 0), 0u);
    ASSERT_EQ(firstUrl.rfind(prefix, 0), 0u);
    // 43 characters of 6 bits: at least 128 random bits.
    EXPECT_GE(firstUrl.size() - prefix.size(), 43u);

    // Starting before the audio arrived is refused; preparing again moves the address.
    EXPECT_EQ(client()->Post(diarizationPath("/start"), bearer(token), "", "application/json")->status, 409);
    const std::string url
        = json(client()->Post(diarizationPath("/prepare"), bearer(token), "", "application/json"))
              .at("uploadURL");
    EXPECT_NE(url, firstUrl);
    const std::string bytes = SpeechFiles::read(audio);
    const auto stale = client()->Put(firstUrl.substr(m_server->publicUrl().size()), "audio", "audio/x-m4a");
    ASSERT_TRUE(stale);
    EXPECT_EQ(stale->status, 404);
    EXPECT_FALSE(errorOf(stale).empty());

    // The address is the capability: no bearer token, and it works once.
    const std::string uploadPath = url.substr(m_server->publicUrl().size());
    ASSERT_EQ(client()->Put(uploadPath, bytes, "audio/x-m4a")->status, 200);
    EXPECT_EQ(client()->Put(uploadPath, "audio", "audio/x-m4a")->status, 404);

    EXPECT_EQ(client()->Post(diarizationPath("/start"), bearer(token), "", "application/json")->status, 200);
    nlohmann::json status;
    ASSERT_TRUE(eventually(
        [&] {
            status = json(client()->Get(diarizationPath(), bearer(token)));
            const std::string state = status.at("status");
            EXPECT_TRUE(state == "starting" || state == "pending" || state == "succeeded") << state;
            return state == "succeeded";
        },
        60));
    const auto& segments = status.at("segments");
    ASSERT_GE(segments.size(), 2u);
    std::set<std::string> speakers;
    for (const auto& segment : segments) {
        EXPECT_LT(segment.at("start").get<double>(), segment.at("end").get<double>());
        speakers.insert(segment.at("speaker").get<std::string>());
    }
    EXPECT_EQ(speakers.size(), 2u);

    // A later prepare for the same recording resumes the finished job.
    const auto resumed
        = json(client()->Post(diarizationPath("/prepare"), bearer(token), "", "application/json"));
    EXPECT_EQ(resumed.at("status"), "succeeded");
    EXPECT_EQ(resumed.at("segments"), segments);
}

TEST_F(SpeakerDetectionContract, JobsBelongToTheirAccount)
{
    const std::string ann = signIn("ann@example.com");
    const std::string bob = signIn("bob@example.com");
    client()->Post(diarizationPath("/prepare"), bearer(ann), "", "application/json");
    const auto peek = client()->Get(diarizationPath(), bearer(bob));
    EXPECT_EQ(peek->status, 404);
    EXPECT_FALSE(errorOf(peek).empty());
    EXPECT_EQ(client()->Get(diarizationPath(), httplib::Headers {})->status, 401);
    EXPECT_EQ(client()->Get("/v1/diarizations/not-a-uuid", bearer(ann))->status, 400);
}

TEST_F(SpeakerDetectionContract, AnUndecodableUploadFailsTheJobAndSaysWhy)
{
    const std::string token = signIn();
    const std::string url
        = json(client()->Post(diarizationPath("/prepare"), bearer(token), "", "application/json"))
              .at("uploadURL");
    ASSERT_EQ(
        client()->Put(url.substr(m_server->publicUrl().size()), "not audio at all", "audio/x-m4a")->status,
        200);
    nlohmann::json answer;
    EXPECT_TRUE(eventually([&] {
        answer = json(client()->Get(diarizationPath(), bearer(token)));
        return answer.at("status") == "failed";
    }));
    EXPECT_NE(answer.value("error", "").find("audio"), std::string::npos) << answer.dump();
}

} // namespace
