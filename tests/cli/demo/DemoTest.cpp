// Runs the README's demo in its quick mode, as a user would, and checks what
// it prints: a transcript with two speakers that holds most of the words the
// two voices spoke.

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <vector>

namespace {

// Lower-case words of letters and apostrophes; speaker labels, times and
// other numbers are not words of the meeting.
QStringList words(const QString& text)
{
    QString cleaned = text;
    cleaned.remove(QRegularExpression(QStringLiteral("Speaker \\d+")));
    cleaned.replace(QRegularExpression(QStringLiteral("[^A-Za-z' ]+")), QStringLiteral(" "));
    return cleaned.toLower().split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// Word error rate: the edits that turn reference into hypothesis, per reference word.
double wordErrorRate(const QStringList& reference, const QStringList& hypothesis)
{
    std::vector<qsizetype> row(static_cast<size_t>(hypothesis.size() + 1));
    for (qsizetype j = 0; j <= hypothesis.size(); ++j) {
        row[static_cast<size_t>(j)] = j;
    }
    for (qsizetype i = 1; i <= reference.size(); ++i) {
        qsizetype diagonal = row[0];
        row[0] = i;
        for (qsizetype j = 1; j <= hypothesis.size(); ++j) {
            const qsizetype above = row[static_cast<size_t>(j)];
            const qsizetype substitution = diagonal + (reference[i - 1] == hypothesis[j - 1] ? 0 : 1);
            row[static_cast<size_t>(j)]
                = std::min({ substitution, above + 1, row[static_cast<size_t>(j - 1)] + 1 });
            diagonal = above;
        }
    }
    return static_cast<double>(row.back()) / static_cast<double>(reference.size());
}

// The quick meeting: the first four turns of the demo's script.
QString quickMeeting()
{
    QFile file(QStringLiteral(TALLISEN_SOURCE_DIR "/scripts/demo-meeting.txt"));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    QStringList spoken;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) {
            continue;
        }
        spoken << line.section(QLatin1Char('|'), 1);
        if (spoken.size() == 4) {
            break;
        }
    }
    return spoken.join(QLatin1Char(' '));
}

// The demo builds the optimised programs when they are missing or stale.
constexpr int kDemoLimitMs = 890'000;

TEST(DemoTest, QuickMeetingIsTranscribedWithBothSpeakers)
{
    QProcess demo;
    demo.setProcessChannelMode(QProcess::MergedChannels);
    demo.start(QStringLiteral(TALLISEN_SOURCE_DIR "/scripts/demo"), { "--quick", "--no-setup" });
    ASSERT_TRUE(demo.waitForFinished(kDemoLimitMs));
    const QString output = QString::fromUtf8(demo.readAll());
    ASSERT_EQ(demo.exitCode(), 0) << output.toStdString();

    const qsizetype begin = output.indexOf(QStringLiteral("---- transcript ----\n"));
    const qsizetype end = output.indexOf(QStringLiteral("---- end ----"));
    ASSERT_TRUE(begin >= 0 && end > begin) << output.toStdString();
    const QString transcript = output.mid(begin, end - begin);
    EXPECT_TRUE(transcript.contains(QStringLiteral("Speaker 1"))) << transcript.toStdString();
    EXPECT_TRUE(transcript.contains(QStringLiteral("Speaker 2"))) << transcript.toStdString();
    EXPECT_FALSE(transcript.contains(QStringLiteral("Speaker 3"))) << transcript.toStdString();
    EXPECT_LE(wordErrorRate(words(quickMeeting()), words(transcript)), 0.5) << transcript.toStdString();
    // Everything the demo started is gone with it.
    EXPECT_TRUE(output.contains(QStringLiteral("== Stopping everything this demo started")));
}

// Ctrl+C in the middle of the meeting: nothing it started may outlive it.
TEST(DemoTest, AnInterruptedDemoLeavesNothingBehind)
{
    QProcess demo;
    demo.setProcessChannelMode(QProcess::MergedChannels);
    demo.start(QStringLiteral(TALLISEN_SOURCE_DIR "/scripts/demo"), { "--quick", "--no-setup" });
    QString output;
    const QRegularExpression workFolder(QStringLiteral("SSL_CERT_FILE=(/tmp/tallisen-demo\\.[^/]+)/"));
    while (!output.contains(QStringLiteral("== Recording with speaker detection"))
        && demo.waitForReadyRead(kDemoLimitMs))
        output += QString::fromUtf8(demo.readAll());
    const auto match = workFolder.match(output);
    ASSERT_TRUE(match.hasMatch()) << output.toStdString();
    const QString work = match.captured(1);
    ASSERT_TRUE(QFileInfo::exists(work));
    ::kill(static_cast<pid_t>(demo.processId()), SIGINT);
    ASSERT_TRUE(demo.waitForFinished(60'000));
    EXPECT_NE(demo.exitCode(), 0);
    EXPECT_FALSE(QFileInfo::exists(work)) << work.toStdString();
    QProcess survivors;
    survivors.start(QStringLiteral("pgrep"), { QStringLiteral("-a"), QStringLiteral("-f"), work });
    ASSERT_TRUE(survivors.waitForFinished());
    EXPECT_EQ(survivors.readAll().trimmed(), QByteArray()) << "still running from " << work.toStdString();
}

} // namespace
