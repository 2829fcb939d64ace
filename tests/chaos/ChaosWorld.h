#pragma once

// The real tallisen-server behind a FaultProxy and the real tallisen-cli,
// signed in once, with the run's sound server and private XDG folders.

#include "FaultProxy.h"
#include "store/PendingRecording.h"
#include "support/TemporaryXdg.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct CliResult
{
    // -1 when killed.
    int exitCode = -1;
    QString output;
    QString errors;
    // Seconds from the start until the capture ran, for recordMeeting().
    std::optional<double> capturingAt;
};

// Fires once the capture runs or, if set, `after` seconds from the start.
struct RoadTrigger
{
    std::optional<double> after;
    std::function<void()> action;
    // SIGKILL the program right after the action, as a crash would.
    bool killAfter = false;
    std::function<void(pid_t)> started;
};

class ChaosWorld
{
public:
    ChaosWorld();
    ChaosWorld(const ChaosWorld&) = delete;
    ChaosWorld& operator=(const ChaosWorld&) = delete;
    ~ChaosWorld();

    FaultProxy& proxy() { return m_proxy; }
    QString temporaryPath() const { return m_xdg.path(); }

    // The real tallisen-server on a free port behind proxy, signing in whoever
    // opens its page as email; false, with its output in seen, when it did not start.
    static bool startServer(
        QProcess& server, const QString& dataDir, const QString& email, FaultProxy& proxy, QString& seen);
    static CliResult cli(const QStringList& arguments);
    // In the background, stderr and stdout merged.
    static std::unique_ptr<QProcess> startCli(const QStringList& arguments);
    // Records a meeting with speech played in and lets the program carry it
    // as far as it goes.
    CliResult recordMeeting(int seconds, bool speakers, const RoadTrigger& trigger = {}) const;
    // "jobs" (which adopts crashed captures), then "retry" on every job: all
    // must succeed and leave nothing pending.
    static void resumeAll();

    // Counts from here for newTranscripts() and newExchanges().
    void beginTrial();
    int newTranscripts() const { return savedTranscripts() - m_savedBefore; }
    std::vector<FaultProxy::Exchange> newExchanges(
        const std::string& method, const std::string& prefix) const;

    static void expectJobFilesReadable();
    // A helper program's output; nullopt (its errors printed) when it fails.
    static std::optional<QString> run(const QString& program, const QStringList& arguments);
    // By ffprobe; negative when unreadable.
    static double mediaSeconds(const QString& path);

private:
    std::unique_ptr<QProcess> playSpeech() const;
    int savedTranscripts() const;

    TemporaryXdg m_xdg;
    QTemporaryDir m_serverData;
    QProcess m_server;
    FaultProxy m_proxy;
    QString m_speech;
    std::vector<std::unique_ptr<QProcess>> m_roomTone;
    int m_savedBefore = 0;
    size_t m_exchangesBefore = 0;
};

// Starting the server and signing in takes seconds: one world per suite.
class SharedChaosWorld : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { s_world = new ChaosWorld; }
    static void TearDownTestSuite()
    {
        delete s_world;
        s_world = nullptr;
    }
    void SetUp() override
    {
        ASSERT_TRUE(PendingRecording::loadAll().empty());
        world().beginTrial();
    }
    void TearDown() override
    {
        world().proxy().clearFaults();
        for (const PendingRecording& job : PendingRecording::loadAll()) {
            job.remove();
        }
    }

    static ChaosWorld& world() { return *s_world; }

private:
    static inline ChaosWorld* s_world = nullptr;
};
