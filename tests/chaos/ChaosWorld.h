#pragma once

// The whole system as a user runs it, for the chaos trials: the real
// tallisen-server on loopback behind a FaultProxy, the real tallisen-cli as a
// child process, the test run's sound server and Secret Service, and private
// XDG folders. Signs in once through the proxy.

#include "FaultProxy.h"
#include "store/PendingRecording.h"
#include "support/TemporaryXdg.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

struct CliResult
{
    int exitCode = -1;
    QString output;
    QString errors;
};

// Runs `action` once, when the program's progress first shows a line
// starting with `when` (by default once the capture runs).
struct RoadTrigger
{
    QString when = QStringLiteral("Press Enter");
    std::function<void()> action;
    // SIGKILL the program right after the action, as a crash would.
    bool killAfter = false;
};

class ChaosWorld
{
public:
    ChaosWorld();
    ChaosWorld(const ChaosWorld&) = delete;
    ChaosWorld& operator=(const ChaosWorld&) = delete;
    ~ChaosWorld();

    FaultProxy& proxy() { return m_proxy; }
    // A private folder for the test's own files.
    QString temporaryPath() const { return m_xdg.path(); }

    // tallisen-cli with these arguments, to its end.
    static CliResult cli(const QStringList& arguments,
        const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());
    // tallisen-cli started in the background, stderr and stdout merged.
    static std::unique_ptr<QProcess> startCli(const QStringList& arguments,
        const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());
    // Records a meeting of `seconds` with speech played in, and lets the
    // program carry it as far as it goes, running the trigger on the way.
    CliResult recordMeeting(int seconds, bool speakers, const RoadTrigger& trigger = {},
        const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) const;
    // Runs "jobs" (which adopts captures left by a crash), then "retry" on
    // every saved recording; returns the retries' results.
    static std::vector<CliResult> resumeAll();

    // Transcripts the server holds, counted in its own database.
    int savedTranscripts() const;
    // Audio uploads for speaker detection the server accepted.
    int acceptedUploads() const;

    // Every job file under the pending store that does not decode.
    static QStringList undecodableJobFiles();
    // The length of a media file, by ffprobe; negative when unreadable.
    static double mediaSeconds(const QString& path);
    // Speech into the default sink, as the other side of a meeting.
    std::unique_ptr<QProcess> playSpeech() const;

private:
    void keepDevicesRunning();
    void startServer();
    void signIn();
    QString query(const QString& sql) const;

    TemporaryXdg m_xdg;
    QTemporaryDir m_serverData;
    QProcess m_server;
    FaultProxy m_proxy;
    QString m_speech;
    std::vector<std::unique_ptr<QProcess>> m_roomTone;
};

// One world for all tests of a suite: starting the server and signing in
// takes seconds.
class SharedChaosWorld : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { s_world = new ChaosWorld; }
    static void TearDownTestSuite()
    {
        delete s_world;
        s_world = nullptr;
    }

    static ChaosWorld& world() { return *s_world; }

private:
    static inline ChaosWorld* s_world = nullptr;
};
