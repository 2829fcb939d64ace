#include "StoreFiles.h"

#include "Statuses.h"
#include "Store.h"

#include <gmock/gmock.h>

#include <functional>
#include <stdexcept>

using namespace server;

namespace {

template <typename Status>
std::string roundTrip(Status (*fromText)(std::string_view), const std::string& text)
{
    try {
        return std::string(toText(fromText(text)));
    } catch (const std::runtime_error& error) {
        return error.what();
    }
}

// Databases written by earlier servers hold these texts and clients compare them
// exactly, so each must keep naming one state both ways, and nothing else may pass.
TEST(StatusText, EveryStatusKeepsItsStoredTextAndUnknownOnesAreRefusedByName)
{
    const std::vector<std::tuple<std::string, std::function<std::string(const std::string&)>,
        std::vector<std::string>, std::vector<std::string>>>
        kinds {
            { "cleanup", [](const auto& text) { return roundTrip(cleanupStatusFromText, text); },
                { "pending", "completed", "failed" }, { "disabled", "sent", "upload", "succeeded" } },
            { "email", [](const auto& text) { return roundTrip(emailStatusFromText, text); },
                { "disabled", "pending", "sent", "failed" },
                { "completed", "upload", "starting", "succeeded" } },
            { "speaker-detection",
                [](const auto& text) { return roundTrip(diarizationStatusFromText, text); },
                { "upload", "starting", "pending", "succeeded", "failed" },
                { "completed", "disabled", "sent" } },
        };
    for (const auto& [kind, read, known, foreign] : kinds) {
        for (const auto& text : known) {
            EXPECT_EQ(read(text), text) << kind;
        }
        // Another kind's states (a mixed-up table would take them) and near misses.
        auto refused = foreign;
        refused.insert(refused.end(), { "", "done", "Pending", "pending ", "fail" });
        for (const auto& text : refused) {
            EXPECT_THAT(read(text), ::testing::HasSubstr(kind + " status \"" + text + "\""));
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
    const std::vector<std::pair<const char*, std::function<void(Store&)>>> cases {
        { "UPDATE recordings SET cleanupStatus = 'filed'", [&](Store& s) { s.recording(recordingId); } },
        { "UPDATE recordings SET emailStatus = 'mailed'", [&](Store& s) { s.recordings(accountId); } },
        { "UPDATE diarizations SET status = 'done'",
            [&](Store& s) { s.diarization(accountId, recordingId); } },
    };
    for (const auto& [damage, read] : cases) {
        SCOPED_TRACE(damage);
        rawExecute(damage);
        Store store(m_path);
        EXPECT_THROW(read(store), std::runtime_error);
        rawExecute("UPDATE recordings SET cleanupStatus = 'pending', emailStatus = 'disabled'; "
                   "UPDATE diarizations SET status = 'upload';");
        EXPECT_NO_THROW(read(store));
    }
}

} // namespace
