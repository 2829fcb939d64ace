#include "StoreFiles.h"

#include "Statuses.h"
#include "Store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

using namespace server;
using ::testing::HasSubstr;

namespace {

template <typename Status> struct Named
{
    Status status;
    std::string_view text;
};

// Databases written by earlier servers hold these texts and clients compare them,
// so each must keep naming the same state both ways.
template <typename Status>
void expectTexts(const std::vector<Named<Status>>& known, Status (*fromText)(std::string_view))
{
    for (const auto& [status, text] : known) {
        SCOPED_TRACE(text);
        EXPECT_EQ(toText(status), text);
        EXPECT_EQ(toText(fromText(text)), text);
    }
}

} // namespace

TEST(StatusText, EveryStatusKeepsItsStoredText)
{
    expectTexts<CleanupStatus>(
        { { CleanupStatus::Pending, "pending" }, { CleanupStatus::Completed, "completed" },
            { CleanupStatus::Failed, "failed" } },
        cleanupStatusFromText);
    expectTexts<EmailStatus>({ { EmailStatus::Disabled, "disabled" }, { EmailStatus::Pending, "pending" },
                                 { EmailStatus::Sent, "sent" }, { EmailStatus::Failed, "failed" } },
        emailStatusFromText);
    expectTexts<DiarizationStatus>(
        { { DiarizationStatus::Upload, "upload" }, { DiarizationStatus::Starting, "starting" },
            { DiarizationStatus::Pending, "pending" }, { DiarizationStatus::Succeeded, "succeeded" },
            { DiarizationStatus::Failed, "failed" } },
        diarizationStatusFromText);
}

TEST(StatusText, UnknownTextsAreRefusedByName)
{
    struct Reader
    {
        std::string kind;
        std::function<void(std::string_view)> read;
        // Another kind's states: a mixed-up table would take them.
        std::vector<std::string> foreign;
    };
    const std::vector<Reader> readers {
        { "cleanup", cleanupStatusFromText, { "disabled", "sent", "upload", "succeeded" } },
        { "email", emailStatusFromText, { "completed", "upload", "starting", "succeeded" } },
        { "speaker-detection", diarizationStatusFromText, { "completed", "disabled", "sent" } },
    };
    const auto refusal = [](const Reader& reader, const std::string& text) -> std::string {
        try {
            reader.read(text);
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        return "accepted";
    };
    for (const auto& reader : readers) {
        auto texts = reader.foreign;
        // Texts are compared exactly, as clients compare them.
        texts.insert(texts.end(), { "", "done", "Pending", "pending ", "fail" });
        for (const auto& text : texts) {
            SCOPED_TRACE(reader.kind + " \"" + text + "\"");
            EXPECT_THAT(refusal(reader, text), HasSubstr(reader.kind + " status \"" + text + "\""));
        }
    }
}

using StoredStatus = StoreFileTest;

// A row the store cannot read stops the request instead of reaching the client as some other state.
TEST_F(StoredStatus, ARowWithAnUnknownStatusIsRefused)
{
    std::string recordingId;
    std::string accountId;
    {
        Store store(m_path);
        accountId = store.ensureAccount("ann@example.com", "Ann").id;
        recordingId = store.saveRecording(accountId, "key", { "Hello.", 0, "", "app" }, 1 << 20).first.id;
        store.prepareDiarization(accountId, recordingId, "capability");
    }
    struct Case
    {
        const char* damage;
        std::function<void(Store&)> read;
    };
    const std::vector<Case> cases {
        { "UPDATE recordings SET cleanupStatus = 'filed'", [&](Store& s) { s.recording(recordingId); } },
        { "UPDATE recordings SET emailStatus = 'mailed'", [&](Store& s) { s.recordings(accountId); } },
        { "UPDATE diarizations SET status = 'done'",
            [&](Store& s) { s.diarization(accountId, recordingId); } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.damage);
        rawExecute(c.damage);
        Store store(m_path);
        EXPECT_THROW(c.read(store), std::runtime_error);
        rawExecute("UPDATE recordings SET cleanupStatus = 'pending', emailStatus = 'disabled'; "
                   "UPDATE diarizations SET status = 'upload';");
        EXPECT_NO_THROW(c.read(store));
    }
}
