// The model's edits of a saved transcript against the real tallisen-server,
// behind the fault proxy so a list can be made to arrive late.

#include "ChaosWorld.h"
#include "api/APIClient.h"
#include "core/Uuids.h"
#include "model/AppModel.h"
#include "support/RunTask.h"
#include "support/TemporaryXdg.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

constexpr const char* kTurns = "[00:00:01] Speaker 1: Good morning.\n\n[00:00:05] Speaker 2: Morning.\n\n"
                               "[00:00:09] Speaker 1: Let us start.";
const QString kRenamed = QStringLiteral("[00:00:01] Dana: Good morning.\n\n[00:00:05] Speaker 2: Morning.\n\n"
                                        "[00:00:09] Dana: Let us start.");

// The model without its microphone monitor; the browser is curl, which is
// enough for a server that signs in whoever opens its page.
class EditingModel : public AppModel
{
public:
    explicit EditingModel(std::string caPath)
        : AppModel(
            [caPath](const QUrl& page) {
                return QProcess::execute(QStringLiteral("curl"),
                           { "-sS", "--fail", "-o", "/dev/null", "--cacert", QString::fromStdString(caPath),
                               page.toString() })
                    == 0;
            },
            std::nullopt)
    { }

    using AppModel::client;
};

class TranscriptEdit : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qputenv("SSL_CERT_FILE", QByteArray::fromStdString(m_proxy.certificatePath()));
        QString seen;
        ASSERT_TRUE(ChaosWorld::startServer(
            m_server, m_serverData.path(), QStringLiteral("edit@example.test"), m_proxy, seen))
            << seen.toStdString();
        m_model.setServer(QString::fromStdString(m_proxy.url()));
        TestTasks::run(m_model.signIn());
        ASSERT_TRUE(m_model.isSignedIn()) << m_model.errorMessage().value_or("").toStdString();
        save(kTurns);
        TestTasks::run(m_model.refresh());
        ASSERT_EQ(m_model.recordings().size(), 1U);
    }

    void TearDown() override
    {
        m_model.signOut();
        m_server.terminate();
        m_server.waitForFinished(10'000);
        qunsetenv("SSL_CERT_FILE");
    }

    void save(const std::string& transcript)
    {
        httplib::SSLClient direct("localhost", QUrl(QString::fromStdString(m_proxy.url())).port());
        direct.set_ca_cert_path(m_proxy.certificatePath().c_str());
        const nlohmann::json body { { "transcript", transcript }, { "recordedAt", "2026-03-01T09:30:00Z" },
            { "emailTo", "" }, { "source", "linux" } };
        const auto answer = direct.Post("/v1/recordings/text",
            { { "Authorization", "Bearer " + m_model.client().token()->toStdString() },
                { "Idempotency-Key", QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString() } },
            body.dump(), "application/json");
        ASSERT_TRUE(answer);
        ASSERT_EQ(answer->status, 200) << answer->body;
    }

    // What the server holds now, through a second refresh.
    Recording listedNow()
    {
        TestTasks::run(m_model.refresh());
        return m_model.recordings().at(0);
    }

    TemporaryXdg m_xdg;
    FaultProxy m_proxy;
    QTemporaryDir m_serverData;
    QProcess m_server;
    EditingModel m_model { m_proxy.certificatePath() };
};

} // namespace

TEST_F(TranscriptEdit, ARenameReachesEveryTurnOfThatSpeakerOnTheServer)
{
    TestTasks::run(m_model.renameSpeaker(m_model.recordings().at(0), "Speaker 1", "Dana"));
    ASSERT_FALSE(m_model.errorMessage()) << m_model.errorMessage()->toStdString();
    EXPECT_EQ(m_model.recordings().at(0).transcript, kRenamed);
    EXPECT_EQ(listedNow().transcript, kRenamed);

    // The command line edits the transcript as it lists it, named by a short id.
    const QString id = Uuids::text(m_model.recordings().at(0).id).left(8);
    EXPECT_EQ(ChaosWorld::cli({ "rename", id, "Speaker 2", "Eli" }).output, "Speaker 2 renamed to Eli\n");
    const CliResult retitled = ChaosWorld::cli({ "retitle", id, "Kickoff" });
    EXPECT_EQ(retitled.output, "Title saved\n") << retitled.errors.toStdString();
    const Recording listed = listedNow();
    EXPECT_EQ(listed.transcript, QString(kRenamed).replace("Speaker 2", "Eli"));
    EXPECT_EQ(listed.title, QStringLiteral("Kickoff"));
    EXPECT_EQ(listed.version, 4);

    // A speaker the transcript lacks changes nothing.
    TestTasks::run(m_model.renameSpeaker(listed, "Speaker 9", "Ann"));
    EXPECT_TRUE(m_model.errorMessage());
    EXPECT_EQ(listedNow().version, 4);
}

TEST_F(TranscriptEdit, ARenameRacingARefreshLosesNeitherEdit)
{
    const Recording before = m_model.recordings().at(0);
    // The list is made before the rename lands and arrives after its answer.
    m_proxy.inject(FaultProxy::Fault::slow, 1, "/v1/recordings");
    const size_t earlier = m_proxy.exchanges().size();
    QCoro::Task<void> refresh = m_model.refresh();
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_proxy.exchanges().size() > earlier; }, 10'000));
    ASSERT_TRUE(m_proxy.exchanges().back().fault);
    TestTasks::run(m_model.renameSpeaker(before, "Speaker 1", "Dana"));
    ASSERT_FALSE(m_model.errorMessage()) << m_model.errorMessage()->toStdString();
    TestTasks::run(std::move(refresh));
    EXPECT_EQ(m_model.recordings().at(0).transcript, kRenamed);
    EXPECT_EQ(m_model.recordings().at(0).version, 2);

    // A second edit from the copy before the rename is refused, not laid over it.
    TestTasks::run(m_model.renameSpeaker(before, "Speaker 2", "Eli"));
    EXPECT_EQ(m_model.errorMessage(),
        QStringLiteral("This transcript was changed elsewhere. Refresh and try again."));
    EXPECT_EQ(listedNow().transcript, kRenamed);
    TestTasks::run(m_model.renameSpeaker(listedNow(), "Speaker 2", "Eli"));
    ASSERT_FALSE(m_model.errorMessage()) << m_model.errorMessage()->toStdString();
    EXPECT_EQ(listedNow().transcript, QString(kRenamed).replace("Speaker 2", "Eli"));
}
