#include "ServerFixture.h"

#include "Outbox.h"
#include "SpeechFiles.h"
#include "Store.h"

#include <fstream>
#include <sstream>

// The outbox turns stored text into mail; nothing stored may forge a header,
// end the message early, or send mail to someone the account does not own.
namespace {

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(file), {} };
}

std::string headOf(const std::string& mail)
{
    return mail.substr(0, mail.find("\r\n\r\n") + 2);
}

TEST(Outbox, StoredTextNeverForgesAHeaderOrEndsTheMessage)
{
    const SpeechFiles::TemporaryDirectory outbox;
    const std::vector<std::string> hostile { std::string("Plan\0Bcc: eve@example.com", 25), "Plan\vBcc: x",
        "Plan\fBcc: x",
        "Plan\xC2\x85"
        "Bcc: x",
        "Plan\xE2\x80\xA8"
        "Bcc: x",
        "Plan\x1B[2J", "Plan\r\nBcc: x", std::string(5000, 'a') };
    for (const auto& title : hostile) {
        SCOPED_TRACE(testing::PrintToString(title.substr(0, 40)));
        server::Recording recording;
        recording.id = "0D7C3A5E-1111-4222-8333-123456789ABC";
        recording.title = title;
        recording.emailTo = "ann@example.com";
        recording.transcript = "First line.\n.\n..two dots\n" + std::string(3000, 'x') + "\nlast =\n";
        const std::string mail = readFile(server::Outbox::deliver(outbox.file("outbox"), recording));
        const std::string head = headOf(mail);
        EXPECT_EQ(head.find("\nBcc"), std::string::npos);
        for (const std::string& forbidden : { std::string(1, '\0'), std::string("\v"), std::string("\f"),
                 std::string("\x1B"), std::string("\xC2\x85"), std::string("\xE2\x80\xA8") }) {
            EXPECT_EQ(mail.find(forbidden), std::string::npos);
        }
        std::istringstream lines(mail);
        std::string line;
        while (std::getline(lines, line)) {
            EXPECT_LE(line.size(), 998u);
            EXPECT_NE(line, ".\r") << "a lone dot ends an SMTP message";
        }
        EXPECT_EQ(head.find("Subject:"), head.rfind("Subject:"));
        EXPECT_NE(mail.find("\r\n=2E\r\n"), std::string::npos);
        EXPECT_NE(mail.find("\r\n=2E.two dots"), std::string::npos);
        EXPECT_NE(mail.find("last =3D"), std::string::npos);
    }
}

TEST(Outbox, ATitleBeyondAsciiIsAnEncodedWord)
{
    const SpeechFiles::TemporaryDirectory outbox;
    server::Recording recording;
    recording.id = "0D7C3A5E-1111-4222-8333-123456789ABD";
    recording.title = "Caf\xC3\xA9 plans";
    recording.emailTo = "ann@example.com";
    const std::string head = headOf(readFile(server::Outbox::deliver(outbox.file("outbox"), recording)));
    EXPECT_NE(head.find("Subject: =?utf-8?B?VHJhbnNjcmlwdDogQ2Fmw6kgcGxhbnM=?=\r\n"), std::string::npos)
        << head;
}

using OutboxAttack = ServerFixture;

TEST_F(OutboxAttack, TranscriptsAreMailedOnlyToTheAccountOrWhomItsOwnerAllowed)
{
    const std::string token = signIn("ann@example.com");
    struct Case
    {
        const char* to;
        bool allowed;
        const char* status;
    };
    m_server->store().allowRecipient("ann@example.com", "team@example.com", true);
    int key = 0;
    for (const auto& c : std::vector<Case> { { "ANN@example.com", true, "sent" },
             { "team@example.com", true, "sent" }, { "victim@example.com", false, "failed" } }) {
        SCOPED_TRACE(c.to);
        const auto saved = json(saveTranscript(
            token, "00000000-0000-4000-8000-00000000000" + std::to_string(key++), "Hello there.", c.to));
        const std::string id = saved.at("id");
        std::string status;
        ASSERT_TRUE(eventually([&] {
            status = server::toText(m_server->store().recording(id)->emailStatus);
            return status != "pending";
        }));
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(std::filesystem::exists(m_dataDir + "/outbox/" + id + ".eml"), c.allowed);
    }
}

class QuotaAttack : public ServerFixture
{
protected:
    void SetUp() override
    {
        m_quotaMegabytes = 1;
        start();
    }
};

TEST_F(QuotaAttack, AnAccountCannotFillTheDiskButARepeatedSaveStillAnswers)
{
    const std::string ann = signIn("ann@example.com");
    const std::string bob = signIn("bob@example.com");
    const std::string half(600'000, 'a');
    ASSERT_EQ(saveTranscript(ann, "00000000-0000-4000-8000-000000000001", half)->status, 200);
    const auto full = saveTranscript(ann, "00000000-0000-4000-8000-000000000002", half);
    EXPECT_EQ(full->status, 507);
    EXPECT_NE(errorOf(full).find("1 MB"), std::string::npos);
    EXPECT_EQ(saveTranscript(ann, "00000000-0000-4000-8000-000000000001", half)->status, 200);
    EXPECT_EQ(saveTranscript(bob, "00000000-0000-4000-8000-000000000002", half)->status, 200);
    EXPECT_EQ(recordings(ann).size(), 1u);
}

} // namespace
