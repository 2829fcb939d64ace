#include "SessionFixture.h"

#include "api/Iso8601.h"
#include "support/FileSizeLimit.h"

#include <QRegularExpression>

#include <functional>

using namespace SessionTesting;

namespace {

class AppModelImportTest : public SessionTest
{
protected:
    QString conversions() const { return xdg.path() + "/cache/Tallisen/Imports"; }
};

} // namespace

// The import shows its progress, then goes the road of a stopped recording,
// dated by the file and with the options it was given.
TEST_F(AppModelImportTest, AnImportShowsItsProgressThenIsTranscribedLikeARecording)
{
    const QString call = xdg.path() + "/call.wav";
    runFfmpeg({ "-f", "lavfi", "-i", "aevalsrc=0.3*sin(2*PI*330*t)|0.3*sin(2*PI*550*t):s=44100:d=40", call });
    SessionModel model;
    collectStatuses(model);
    QString listedFrom;
    QObject::connect(&model, &AppModel::pendingRecordingsChanged, &model, [&] {
        if (!model.pendingRecordings().empty() && listedFrom.isEmpty()) {
            listedFrom = model.pendingRecordings().front().importedFrom.value_or("");
        }
    });

    run(model.importRecording(call, true, QStringLiteral("ann@example.org")));
    EXPECT_EQ(model.errorMessage(), std::nullopt);
    EXPECT_EQ(model.status(), "Transcript saved; AI is naming and categorizing it…");
    ASSERT_FALSE(statuses.isEmpty());
    EXPECT_EQ(statuses.first(), "Importing recording…");
    const QRegularExpression step("^Importing recording… (\\d+) %$");
    std::vector<int> percents;
    for (const QString& status : statuses) {
        if (const QRegularExpressionMatch match = step.match(status); match.hasMatch()) {
            percents.push_back(match.captured(1).toInt());
        }
    }
    EXPECT_GE(percents.size(), 2u) << statuses.join(" | ").toStdString();
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_EQ(listedFrom, call) << "the job was listed before its transcription";
    ASSERT_EQ(server.savedTranscripts().size(), 1u);
    EXPECT_EQ(server.savedTranscripts().begin()->second.value("recordedAt", ""),
        Iso8601::formatWholeSeconds(Date::fromQDateTime(QFileInfo(call).lastModified())).toStdString());
    EXPECT_GT(requestsOf("prepare"), 0u) << "speaker detection was asked for";
    EXPECT_TRUE(model.pendingRecordings().empty());
    EXPECT_EQ(filesIn(PendingRecording::root()), QStringList {});
    EXPECT_EQ(filesIn(conversions()), QStringList {});
}

// Whatever stops an import before its job exists leaves no job and no
// conversion behind, and the original as it was.
TEST_F(AppModelImportTest, AnImportThatFailsLeavesNothingBehind)
{
    const QString call = xdg.path() + "/call.wav";
    writeTone(call, 440, 20);
    const QByteArray original = [&] {
        QFile file(call);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return file.readAll();
    }();

    const struct
    {
        const char* name;
        QString file;
        std::function<std::unique_ptr<FileSizeLimit>()> arrange;
        QString error; // a prefix
    } cases[] = {
        { "full disk", call, [] { return std::make_unique<FileSizeLimit>(16 * 1024); },
            "There is not enough disk space to import \"call.wav\"." },
        { "store blocked", call,
            [] {
                QDir().mkpath(QFileInfo(PendingRecording::root()).path());
                QFile blocker(PendingRecording::root());
                EXPECT_TRUE(blocker.open(QIODevice::WriteOnly));
                return nullptr;
            },
            "The job folder " },
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.name);
        SessionModel model;
        {
            const std::unique_ptr<FileSizeLimit> limit = item.arrange();
            run(model.importRecording(item.file));
        }
        EXPECT_EQ(model.status(), "Failed");
        EXPECT_TRUE(model.errorMessage().value_or("").startsWith(item.error))
            << model.errorMessage().value_or("").toStdString();
        EXPECT_TRUE(model.pendingRecordings().empty());
        EXPECT_TRUE(PendingRecording::loadAll().empty());
        if (QFileInfo(PendingRecording::root()).isDir()) {
            EXPECT_EQ(filesIn(PendingRecording::root()), QStringList {});
        }
        EXPECT_EQ(filesIn(conversions()), QStringList {});
        EXPECT_EQ(requestsOf("transcribe"), 0u);
    }
    QFile file(call);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), original);
}
