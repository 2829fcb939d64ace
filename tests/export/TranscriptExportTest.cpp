#include "export/TranscriptExport.h"

#include "api/Iso8601.h"
#include "core/FileSystemError.h"

#include <QFile>
#include <QJsonDocument>
#include <QLocale>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <stdexcept>

namespace {

Recording recordingWith(const QString& title, const QString& transcript, std::optional<QString> category)
{
    return Recording { .id = QUuid("{0f8fad5b-d9cb-469f-a165-70867728950e}"),
        .title = title,
        .transcript = transcript,
        .languageCodes = { "en", "de" },
        .recordedAt = Iso8601::parseOrThrow(u"2026-03-01T09:30:00Z"),
        .createdAt = Iso8601::parseOrThrow(u"2026-03-01T10:30:00Z"),
        .category = std::move(category),
        .cleanupStatus = "done",
        .emailStatus = std::nullopt };
}

// The inputs of the expected files in data/, named as their files are.
const std::map<QString, Recording>& inputs()
{
    static const std::map<QString, Recording> recordings {
        { "speakers",
            recordingWith("Weekly *planning*",
                "[00:00:03] Speaker 1: Good morning, everyone.\n\n"
                "[00:00:07] Speaker 2: Morning! Budget first: 5 < 7 & rising.\n\n"
                "[00:01:05] Ann: - one thing\nthen another.",
                "Planning") },
        { "plain",
            recordingWith(
                "Notes", "First thought, said slowly.\n\nSecond one.\n\n# not a heading", std::nullopt) },
        { "untimed",
            recordingWith("Patchy line",
                "[time unavailable] Unassigned: (inaudible) hello\n\n"
                "[00:00:10] Speaker 1: Can you hear me?\n\n"
                "[time unavailable] Speaker 2: Barely.\n\n"
                "[00:00:12] Speaker 1: Now?\n\n"
                "[time unavailable] Speaker 2: Yes, now I can hear you well.",
                "Calls") },
    };
    return recordings;
}

QString expectedFile(const QString& name)
{
    QFile file(QStringLiteral(EXPORT_DATA_DIR "/") + name);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
    return QString::fromUtf8(file.readAll());
}

struct Case
{
    QString input;
    ExportFormat format;
    QString suffix;
};

class TranscriptExportTest : public testing::TestWithParam<Case>
{
protected:
    static void SetUpTestSuite()
    {
        // The Markdown header shows the local date; pin the zone and locale.
        setenv("TZ", "UTC", 1);
        tzset();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }
};

TEST_P(TranscriptExportTest, MatchesTheHandCheckedFile)
{
    const Case& test = GetParam();
    const QString file = test.input + "." + test.suffix;
    const Recording& recording = inputs().at(test.input);
    const QString exported = TranscriptExport::exported(recording, test.format);
    EXPECT_EQ(exported.toStdString(), expectedFile(file).toStdString()) << file.toStdString();
    if (test.format == ExportFormat::json) {
        EXPECT_EQ(Recording::fromJson(QJsonDocument::fromJson(exported.toUtf8()).object()), recording)
            << "the export does not decode back to the same recording";
    }
}

std::vector<Case> allCases()
{
    const std::pair<ExportFormat, QString> formats[] { { ExportFormat::text, "txt" },
        { ExportFormat::markdown, "md" }, { ExportFormat::srt, "srt" }, { ExportFormat::vtt, "vtt" },
        { ExportFormat::json, "json" } };
    std::vector<Case> cases;
    for (const auto& [input, recording] : inputs()) {
        for (const auto& [format, suffix] : formats) {
            cases.push_back({ input, format, suffix });
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(
    Files, TranscriptExportTest, testing::ValuesIn(allCases()), [](const testing::TestParamInfo<Case>& info) {
        return (info.param.input + "_" + info.param.suffix).toStdString();
    });

TEST(TranscriptExportFormats, NamesReadBackAndOthersAreRefusedWithTheList)
{
    for (const QString& name : TranscriptExport::formatNames()) {
        EXPECT_EQ(TranscriptExport::formatName(TranscriptExport::formatNamed(name)), name);
    }
    for (const QString name : { "", "SRT", "txt", "pdf" }) {
        SCOPED_TRACE(name.toStdString());
        try {
            TranscriptExport::formatNamed(name);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find("text, markdown, srt, vtt, json"), std::string::npos);
        }
    }
}

TEST(TranscriptExportFile, ReplacesTheFileOwnerOnlyOrNamesThePathItCouldNotWrite)
{
    QTemporaryDir folder;
    const QString path = folder.filePath("meeting.srt");
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("an older, longer export that must not survive the rewrite");
    old.close();
    const Recording& recording = inputs().at("speakers");

    TranscriptExport::exportTo(recording, ExportFormat::srt, path);

    QFile written(path);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(written.readAll()), expectedFile("speakers.srt"));
    struct stat status
    {
    };
    ASSERT_EQ(stat(QFile::encodeName(path).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    const QString unwritable = folder.filePath("missing/meeting.srt");
    try {
        TranscriptExport::exportTo(recording, ExportFormat::text, unwritable);
        ADD_FAILURE() << "wrote into a missing folder";
    } catch (const FileSystemError& error) {
        EXPECT_NE(std::string(error.what()).find(unwritable.toStdString()), std::string::npos)
            << error.what();
    }
}

} // namespace
