#include "PipelineFixture.h"

#include "core/DecodingError.h"

#include <QProcess>
#include <QTemporaryDir>

#include <atomic>
#include <csignal>
#include <random>
#include <set>
#include <thread>

namespace {

using namespace PipelineTesting;

// Every seed splits a 20-minute recording once, so a full run takes many
// minutes; TALLISEN_CRASH_SEEDS may lower the count for a quick check.
int seedCount()
{
    bool ok = false;
    const int seeds = qEnvironmentVariableIntValue("TALLISEN_CRASH_SEEDS", &ok);
    return ok && seeds > 0 ? seeds : 50;
}

QString leakSuppressions()
{
    static QTemporaryDir directory;
    const QString file = directory.filePath(QStringLiteral("lsan.supp"));
    writeFile(file, "leak:libcrypto.so\nleak:libssl.so\n");
    return file;
}

// What a request did, for telling a repeat from a new request.
std::string identity(const PipelineServer::Request& request)
{
    const std::string kind = request.kind();
    return kind == "transcribe" ? kind + ":" + request.header("X-Tallisen-Prompt").value_or("(first)")
        : kind == "align"       ? kind + ":" + request.parts.at("text").content
                                : kind;
}

// When the current run dies: on the arrival of request number `at` (so it is
// never answered), or a moment after answering it (so its answer may or may
// not have been saved, and it alone may be asked again).
struct KillPlan
{
    int at = 0;
    bool afterAnswer = false;
    std::chrono::milliseconds delay { 0 };

    std::atomic<qint64> pid = 0;
    std::atomic<int> requests = 0;
    std::atomic<bool> dying = false;
    std::string answeredThenKilled;
};

class PipelineCrashResumeTest : public PipelineTest
{
protected:
    PipelineCrashResumeTest()
    {
        nlohmann::json segments = nlohmann::json::array();
        for (int start = 0; start < 1240; start += 100) {
            segments.push_back({ { "start", start }, { "end", start + 100 },
                { "speaker", (start / 100) % 2 == 0 ? "SPEAKER_07" : "SPEAKER_02" } });
        }
        server.configure([&](auto& settings) { settings.segments = segments; });
    }

    // 1240 s of tone: five chunks with speaker-detection context.
    PendingRecording freshJob() { return toneJob(true, 1240); }

    QString resultPath(const PendingRecording& job) const
    {
        return xdg.path() + QStringLiteral("/result-") + Uuids::text(job.id);
    }

    // Runs the child to its end; true when it finished the job.
    bool runChild(const PendingRecording& job, const std::shared_ptr<KillPlan>& plan)
    {
        server.setInterceptor(
            [plan](const PipelineServer::Request& request) -> std::optional<PipelineServer::Answer> {
                if (!plan || plan->at == 0) {
                    return std::nullopt;
                }
                while (plan->pid == 0) {
                    std::this_thread::yield();
                }
                if (plan->dying) {
                    return PipelineServer::Answer { 503, "" };
                }
                if (++plan->requests != plan->at) {
                    return std::nullopt;
                }
                plan->dying = true;
                if (!plan->afterAnswer) {
                    ::kill(static_cast<pid_t>(plan->pid), SIGKILL);
                    return PipelineServer::Answer { 503, "" };
                }
                plan->answeredThenKilled = identity(request);
                std::thread([plan] {
                    std::this_thread::sleep_for(plan->delay);
                    ::kill(static_cast<pid_t>(plan->pid), SIGKILL);
                }).detach();
                return std::nullopt;
            });
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // OpenSSL's process-wide state is reclaimed by the exit, not freed.
        environment.insert(
            QStringLiteral("LSAN_OPTIONS"), QStringLiteral("suppressions=") + leakSuppressions());
        child.setProcessEnvironment(environment);
        child.start(QStringLiteral(PIPELINE_CRASH_CHILD),
            { server.baseURL().toString(), Uuids::text(job.id), resultPath(job) });
        EXPECT_TRUE(child.waitForStarted(30000));
        if (plan) {
            plan->pid = child.processId();
        }
        EXPECT_TRUE(child.waitForFinished(180000));
        server.setInterceptor({});
        EXPECT_TRUE(child.exitStatus() == QProcess::CrashExit || child.exitCode() == 0)
            << "the pipeline failed";
        return child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
    }
};

// Checks one job's whole request log across all its runs.
void expectNoFinishedRequestRepeated(const std::vector<PipelineServer::Request>& log,
    const std::multiset<std::string>& mayRepeatOnce, int seed)
{
    std::multiset<std::string> allowed = mayRepeatOnce;
    std::set<std::string> finished;
    bool started = false;
    bool transcribing = false;
    for (const auto& request : log) {
        const std::string kind = request.kind();
        const std::string id = identity(request);
        const bool detecting = kind == "prepare" || kind == "upload" || kind == "start" || kind == "status";
        EXPECT_FALSE(detecting && transcribing)
            << "speaker detection after transcription began, seed " << seed;
        EXPECT_FALSE((kind == "upload" || kind == "start") && started)
            << kind << " after the start, seed " << seed;
        if (kind == "transcribe" || kind == "align") {
            transcribing = true;
            if (request.answeredStatus == 200 && !finished.insert(id).second) {
                const auto exemption = allowed.find(id);
                EXPECT_NE(exemption, allowed.end()) << "repeated " << id << ", seed " << seed;
                if (exemption != allowed.end()) {
                    allowed.erase(exemption);
                }
            }
        }
        started = started || (kind == "start" && request.answeredStatus == 200);
    }
}

TEST_F(PipelineCrashResumeTest, KilledAnywhereTheNextRunContinuesWithoutRepeatingFinishedRequests)
{
    const PendingRecording reference = freshJob();
    ASSERT_TRUE(runChild(reference, nullptr));
    const QByteArray expected = readFile(resultPath(reference));
    const auto referenceLog = server.requests();
    ASSERT_EQ(server.requests("transcribe").size(), 5U);
    ASSERT_EQ(server.requests("align").size(), 5U);
    const int requestsPerRun = static_cast<int>(referenceLog.size());

    for (int seed = 0; seed < seedCount(); ++seed) {
        std::mt19937 random(static_cast<unsigned>(seed));
        const PendingRecording job = freshJob();
        server.clearLog();
        std::multiset<std::string> mayRepeatOnce;
        bool done = false;
        for (int run = 0; !done; ++run) {
            ASSERT_LT(run, 30) << "seed " << seed;
            auto plan = std::make_shared<KillPlan>();
            if (run == 0 || std::bernoulli_distribution(0.6)(random)) {
                plan->at = std::uniform_int_distribution(1, requestsPerRun)(random);
                plan->afterAnswer = std::bernoulli_distribution(0.5)(random);
                plan->delay = std::chrono::milliseconds(std::uniform_int_distribution(0, 40)(random));
            }
            done = runChild(job, plan);
            if (!plan->answeredThenKilled.empty()) {
                mayRepeatOnce.insert(plan->answeredThenKilled);
            }
            EXPECT_NO_THROW(savedJob(job)) << "the job file did not decode after a kill, seed " << seed;
        }
        expectNoFinishedRequestRepeated(server.requests(), mayRepeatOnce, seed);
        EXPECT_EQ(readFile(resultPath(job)), expected) << "seed " << seed;
        const auto saved = server.savedTranscripts();
        ASSERT_EQ(saved.count(Uuids::text(job.id).toStdString()), 1U);
        EXPECT_EQ(saved.at(Uuids::text(job.id).toStdString())["transcript"], expected.toStdString());
        if (HasFailure()) {
            return;
        }
    }
}

} // namespace
