#include "ServerFixture.h"

#include "Outbox.h"
#include "SpeechFiles.h"
#include "Store.h"

#include <sstream>

// The outbox turns stored text into mail; nothing stored may forge a header or
// end the message early. Whom mail may go to is checked in ServerContractTest.
namespace {

std::string mailFor(const std::string& title, const std::string& transcript)
{
    const SpeechFiles::TemporaryDirectory outbox;
    server::Recording recording;
    recording.id = "0D7C3A5E-1111-4222-8333-123456789ABC";
    recording.title = title;
    recording.emailTo = "ann@example.com";
    recording.transcript = transcript;
    return SpeechFiles::read(server::Outbox::deliver(outbox.file("outbox"), recording));
}

TEST(Outbox, StoredTextNeverForgesAHeaderOrEndsTheMessage)
{
    for (const std::string& title : { std::string("Plan\0Bcc: eve@example.com", 25),
             std::string("Plan\vBcc: x"), std::string("Plan\fBcc: x"), std::string("Plan\xC2\x85") + "Bcc: x",
             std::string("Plan\xE2\x80\xA8") + "Bcc: x", std::string("Plan\x1B[2J"),
             std::string("Plan\r\nBcc: x"), std::string(5000, 'a') }) {
        SCOPED_TRACE(testing::PrintToString(title.substr(0, 40)));
        const std::string mail
            = mailFor(title, "First line.\n.\n..two dots\n" + std::string(3000, 'x') + "\nlast =\n");
        const std::string head = mail.substr(0, mail.find("\r\n\r\n") + 2);
        EXPECT_EQ(head.find("\nBcc"), std::string::npos);
        EXPECT_EQ(head.find("Subject:"), head.rfind("Subject:"));
        for (const std::string& forbidden : { std::string(1, '\0'), std::string("\v"), std::string("\f"),
                 std::string("\x1B"), std::string("\xC2\x85"), std::string("\xE2\x80\xA8") }) {
            EXPECT_EQ(mail.find(forbidden), std::string::npos);
        }
        std::istringstream lines(mail);
        for (std::string line; std::getline(lines, line);) {
            EXPECT_LE(line.size(), 998u);
            EXPECT_NE(line, ".\r") << "a lone dot ends an SMTP message";
        }
        for (const char* escaped : { "\r\n=2E\r\n", "\r\n=2E.two dots", "last =3D" }) {
            EXPECT_NE(mail.find(escaped), std::string::npos) << escaped;
        }
    }
    EXPECT_NE(
        mailFor("Caf\xC3\xA9 plans", "").find("Subject: =?utf-8?B?VHJhbnNjcmlwdDogQ2Fmw6kgcGxhbnM=?=\r\n"),
        std::string::npos)
        << "a title beyond ASCII is an encoded word";
}

class QuotaAttack : public ServerFixture
{
protected:
    void SetUp() override
    {
        start(nullptr, [](auto& options) { options.quotaMegabytes = 1; });
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
