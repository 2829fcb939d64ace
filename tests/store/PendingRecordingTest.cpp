#include "store/PendingRecording.h"

#include "core/DecodingError.h"
#include "core/FileSystemError.h"
#include "core/Uuids.h"
#include "support/TemporaryXdg.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>

namespace {

const QString kId = QStringLiteral("3F2504E0-4F89-11D3-9A0C-0305E82C3301");

PendingRecording makeJob(double recordedAt = 786000000.5)
{
    return PendingRecording { .id = QUuid::createUuid(),
        .userID = QUuid::createUuid(),
        .server = QUrl(QStringLiteral("https://api.tallisen.com")),
        .recordedAt = Date { recordedAt },
        .emailTo = QStringLiteral("team@example.com"),
        .diarizationEnabled = true };
}

AudioChunk chunk(std::optional<QString> text)
{
    AudioChunk result { .filename = QStringLiteral("chunk-000.m4a"), .start = 0, .end = 10 };
    result.text = std::move(text);
    return result;
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

unsigned mode(const QString& path)
{
    struct stat status
    {
    };
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0) << path.toStdString();
    return status.st_mode & 0777;
}

QJsonObject minimalJobObject(const QString& id = kId)
{
    return QJsonObject {
        { "id", id },
        { "userID", "7C9E6679-7425-40DE-944B-E07FC1F90AE7" },
        { "server", "https://api.tallisen.com" },
        { "recordedAt", 786000000.25 },
        { "emailTo", "" },
        { "chunks", QJsonArray {} },
    };
}

QJsonObject with(QJsonObject object, const QString& key, const QJsonValue& value)
{
    object.insert(key, value);
    return object;
}

class PendingRecordingStore : public ::testing::Test
{
protected:
    // Saves into a folder made the way the recording session makes it.
    static void save(const PendingRecording& job)
    {
        ASSERT_TRUE(QDir().mkpath(job.folder()));
        job.save();
    }

    // Writes raw bytes as the job file of a folder named `name` under the root.
    static void writeJobFile(const QString& name, const QByteArray& bytes)
    {
        ASSERT_TRUE(QDir().mkpath(PendingRecording::root() + u'/' + name));
        writeFile(PendingRecording::root() + u'/' + name + "/job.json", bytes);
    }

    TemporaryXdg m_xdg;
};

} // namespace

// Optional keys that were absent stay absent when written back, and an empty
// word list is not the same as none.
TEST(JobRecords, OptionalKeysRoundTripAsTheyWere)
{
    const AudioChunk bare = AudioChunk::fromJson(
        QJsonObject { { "filename", "a.m4a" }, { "start", 0 }, { "end", 12.5 }, { "text", QJsonValue() } });
    EXPECT_FALSE(bare.text || bare.speaker || bare.audioStart || bare.words);
    EXPECT_EQ(bare.toJson().keys(), (QStringList { "end", "filename", "start" }));

    const AudioChunk noWords = AudioChunk::fromJson(
        QJsonObject { { "filename", "a.m4a" }, { "start", 0 }, { "end", 1 }, { "words", QJsonArray {} } });
    ASSERT_TRUE(noWords.words);
    EXPECT_TRUE(noWords.words->empty());
    EXPECT_TRUE(noWords.toJson().value("words").isArray());

    const AlignedWord word = AlignedWord::fromJson(QJsonObject { { "text", " hi" }, { "extra", 3 } });
    EXPECT_EQ(word.text, " hi");
    EXPECT_FALSE(word.start || word.end);
    EXPECT_EQ(word.toJson().keys(), QStringList { "text" });

    const PendingRecording job = PendingRecording::fromJson(minimalJobObject());
    EXPECT_FALSE(job.diarizationEnabled || job.speakerSegments || job.alignmentVersion
        || job.submissionStarted || job.importedFrom);
    EXPECT_EQ(job.toJson().keys(), minimalJobObject().keys());
}

TEST(JobFile, WritesUpperCaseIdsAndReferenceDateSeconds)
{
    PendingRecording job = makeJob(0.125);
    job.id = QUuid("{3f2504e0-4f89-11d3-9a0c-0305e82c3301}");
    const QJsonObject object = job.toJson();
    EXPECT_EQ(object.value("id").toString(), kId);
    EXPECT_DOUBLE_EQ(object.value("recordedAt").toDouble(), 0.125);
    EXPECT_DOUBLE_EQ(job.recordedAt.unixSeconds(), 978307200.125);
}

TEST(JobFile, RejectsAnythingButWellFormedRecordsAndJobs)
{
    // A chunk's file name cannot leave the job folder.
    for (const char* name : { "../outside.m4a", "/etc/passwd", "sub/chunk.m4a", "..", ".", "" }) {
        EXPECT_THROW(AudioChunk::fromJson(QJsonObject { { "filename", name }, { "start", 0 }, { "end", 1 } }),
            DecodingError)
            << name;
    }
    EXPECT_NO_THROW(AudioChunk::fromJson(
        QJsonObject { { "filename", "..chunk-000.m4a" }, { "start", 0 }, { "end", 1 } }));
    const QJsonObject chunk { { "filename", "a" }, { "start", 0 }, { "end", 1 } };
    EXPECT_THROW(AudioChunk::fromJson(with(chunk, "text", 3)), DecodingError);
    EXPECT_THROW(AudioChunk::fromJson(with(chunk, "words", QJsonArray { 1 })), DecodingError);
    EXPECT_THROW(SpeakerSegment::fromJson(QJsonObject { { "start", 0 }, { "end", 1 } }), DecodingError);
    EXPECT_THROW(SpeakerSegment::fromJson(QJsonObject { { "start", "0" }, { "end", 1 }, { "speaker", "A" } }),
        DecodingError);
    EXPECT_THROW(AlignedWord::fromJson(QJsonObject { { "text", 5 } }), DecodingError);
    std::vector<QJsonObject> rejected;
    for (const char* key : { "id", "userID", "server", "recordedAt", "emailTo", "chunks" }) {
        QJsonObject missing = minimalJobObject();
        missing.remove(key);
        rejected.insert(rejected.end(),
            { missing, with(minimalJobObject(), key, QJsonValue()), with(minimalJobObject(), key, true) });
    }
    rejected.insert(rejected.end(),
        {
            minimalJobObject("{" + kId + "}"),
            with(minimalJobObject(), "server", "not a url/"),
            // Would not read back the same.
            with(minimalJobObject(), "server", "https://api.tallisen.com####"),
            with(minimalJobObject(), "alignmentVersion", 1.5),
            with(minimalJobObject(), "alignmentVersion", 1e30),
            with(minimalJobObject(), "submissionStarted", "true"),
            with(minimalJobObject(), "importedFrom", 7),
        });
    for (const QJsonObject& object : rejected) {
        EXPECT_THROW(PendingRecording::fromJson(object), DecodingError)
            << QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
    }
    const QByteArray full = QJsonDocument(minimalJobObject()).toJson();
    for (const QByteArray& bytes : { QByteArray(), full.left(full.size() / 2), QByteArray("[1,2]"),
             QByteArray("{\"id\":\"\xff\xfe\"}"), QByteArray("{\"recordedAt\": 1e999}") }) {
        EXPECT_THROW(PendingRecording::decode(bytes), DecodingError) << bytes.toStdString();
    }
}

TEST(JobFile, RandomJobsRoundTripExactly)
{
    QRandomGenerator random(20261206);
    for (int i = 0; i < 200; ++i) {
        PendingRecording job = makeJob(random.generateDouble() * 1e9 - 5e8);
        job.emailTo = QString::fromUtf8("名前+%1@例え.jp 🎙").arg(i);
        job.diarizationEnabled
            = random.bounded(3) == 0 ? std::nullopt : std::optional(random.bounded(2) == 1);
        job.submissionStarted = random.bounded(2) == 0 ? std::nullopt : std::optional(true);
        job.importedFrom = random.bounded(2) == 0
            ? std::nullopt
            : std::optional(QString::fromUtf8("/home/ann/Réunion %1.mp4").arg(i));
        job.alignmentVersion
            = random.bounded(2) == 0 ? std::nullopt : std::optional<qint64>(random.bounded(5) - 2);
        if (random.bounded(2) == 1) {
            job.speakerSegments
                = std::vector<SpeakerSegment> { { random.generateDouble(), 7.25, "SPEAKER_0" } };
        }
        for (int c = random.bounded(4); c > 0; --c) {
            AudioChunk piece {
                .filename = QString("chunk-%1.m4a").arg(c), .start = c * 300.1, .end = (c + 1) * 300.1
            };
            if (random.bounded(2) == 1) {
                piece.text = " one two";
                piece.audioStart = random.generateDouble();
                piece.words = std::vector<AlignedWord> { { " one", random.generateDouble(), std::nullopt } };
            }
            job.chunks.push_back(piece);
        }
        EXPECT_EQ(PendingRecording::decode(job.encode()), job);
    }
}

TEST(JobRules, CanRetryWithoutSpeakers)
{
    PendingRecording job = makeJob();
    EXPECT_TRUE(job.canRetryWithoutSpeakers()) << "speakers on, no chunks yet";
    job.chunks = { chunk("done"), chunk(std::nullopt) };
    EXPECT_TRUE(job.canRetryWithoutSpeakers()) << "a chunk is untranscribed";
    job.chunks = { chunk("done"), chunk("also done") };
    EXPECT_FALSE(job.canRetryWithoutSpeakers()) << "all transcribed, no alignment version";
    job.alignmentVersion = 2;
    EXPECT_FALSE(job.canRetryWithoutSpeakers()) << "all transcribed, stale alignment";
    job.alignmentVersion = 1;
    EXPECT_TRUE(job.canRetryWithoutSpeakers()) << "all transcribed with current alignment";
    job.submissionStarted = false;
    EXPECT_TRUE(job.canRetryWithoutSpeakers());
    job.submissionStarted = true;
    EXPECT_FALSE(job.canRetryWithoutSpeakers()) << "already posted";
    job.submissionStarted.reset();
    job.diarizationEnabled = false;
    EXPECT_FALSE(job.canRetryWithoutSpeakers());
    job.diarizationEnabled.reset();
    job.chunks.clear();
    EXPECT_FALSE(job.canRetryWithoutSpeakers());
}

TEST(JobRules, ResetEmptyTranscriptionsClearsOnlyBlankTexts)
{
    PendingRecording job = makeJob();
    job.chunks
        = { chunk("   "), chunk("\n"), chunk(""), chunk(std::nullopt), chunk(" word "), chunk("\u2003\t") };
    for (AudioChunk& piece : job.chunks) {
        piece.words = std::vector<AlignedWord> {};
        piece.audioStart = 1;
    }
    job.chunks[3].words.reset();
    const PendingRecording before = job;
    job.resetEmptyTranscriptions();

    for (int i : { 0, 1, 2, 5 }) {
        EXPECT_FALSE(job.chunks[i].text) << i;
        EXPECT_FALSE(job.chunks[i].words) << i;
        EXPECT_EQ(job.chunks[i].audioStart, 1) << i;
    }
    EXPECT_EQ(job.chunks[3], before.chunks[3]);
    EXPECT_EQ(job.chunks[4], before.chunks[4]);
}

TEST_F(PendingRecordingStore, SaveThenLoadAllReturnsTheJobWithPrivatePermissions)
{
    EXPECT_TRUE(PendingRecording::loadAll().empty()) << "no root yet";
    PendingRecording job = makeJob();
    try {
        job.save();
        FAIL() << "save() must fail without its folder";
    } catch (const FileSystemError& error) {
        EXPECT_EQ(error.code(), ENOENT);
        EXPECT_FALSE(QString::fromStdString(error.what()).isEmpty());
    }
    EXPECT_FALSE(QFileInfo::exists(PendingRecording::root())) << "a failed save creates nothing";
    save(job);
    const auto jobs = PendingRecording::loadAll();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs.front(), job);
    EXPECT_EQ(mode(job.folder() + "/job.json"), 0600u);
    EXPECT_EQ(QDir(job.folder()).entryList(QDir::Files | QDir::Hidden), QStringList { "job.json" })
        << "no temporary file is left behind";

    // Saving again replaces a file that had become readable by others.
    ::chmod(QFile::encodeName(job.folder() + "/job.json").constData(), 0644);
    job.emailTo = "new@example.com";
    job.save();
    EXPECT_EQ(PendingRecording::loadAll().front().emailTo, "new@example.com");
    EXPECT_EQ(mode(job.folder() + "/job.json"), 0600u);

    writeFile(job.audio(), "audio");
    writeFile(job.folder() + "/chunk-000.m4a", "chunk");
    job.remove();
    EXPECT_FALSE(QFileInfo::exists(job.folder()));
    EXPECT_TRUE(PendingRecording::loadAll().empty());
    EXPECT_THROW(job.remove(), FileSystemError);
}

TEST_F(PendingRecordingStore, SortsByRecordingTimeAndKeepsTiesStable)
{
    std::vector<PendingRecording> saved;
    for (double time : { 30.0, 10.0, 20.0, 10.0 }) {
        saved.push_back(makeJob(time));
        save(saved.back());
    }
    QStringList tiedInListingOrder
        = QDir(PendingRecording::root()).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
    tiedInListingOrder.removeIf([&](const QString& name) {
        return name != Uuids::text(saved[1].id) && name != Uuids::text(saved[3].id);
    });
    const auto jobs = PendingRecording::loadAll();
    ASSERT_EQ(jobs.size(), 4u);
    EXPECT_EQ(jobs[2].recordedAt.sinceReferenceDate, 20.0);
    EXPECT_EQ(jobs[3].recordedAt.sinceReferenceDate, 30.0);
    EXPECT_EQ(QStringList({ Uuids::text(jobs[0].id), Uuids::text(jobs[1].id) }), tiedInListingOrder);
}

// Bad entries, and symbolic links out of the root to a folder or a job file,
// are passed over and left as they were.
TEST_F(PendingRecordingStore, SkipsBadEntriesAndLeavesThemUntouched)
{
    const PendingRecording good = makeJob();
    save(good);
    const QByteArray valid = QJsonDocument(minimalJobObject()).toJson();
    QJsonObject noEmail = minimalJobObject("6BA7B814-9DAD-11D1-80B4-00C04FD430C8");
    noEmail.remove("emailTo");
    const std::pair<QString, QByteArray> files[] = {
        { kId.toLower(), valid }, // lower-case folder name
        { "6BA7B810-9DAD-11D1-80B4-00C04FD430C8", valid }, // id differs from folder
        { "6BA7B811-9DAD-11D1-80B4-00C04FD430C8", valid.left(40) }, // truncated
        { "6BA7B812-9DAD-11D1-80B4-00C04FD430C8", "" },
        { "6BA7B813-9DAD-11D1-80B4-00C04FD430C8", "\xff\xfe\x00{" }, // not UTF-8
        { "6BA7B814-9DAD-11D1-80B4-00C04FD430C8", QJsonDocument(noEmail).toJson() },
    };
    for (const auto& [name, bytes] : files) {
        writeJobFile(name, bytes);
    }
    ASSERT_TRUE(QDir().mkpath(PendingRecording::root() + "/6BA7B815-9DAD-11D1-80B4-00C04FD430C8/job.json"));
    writeFile(PendingRecording::root() + "/6BA7B816-9DAD-11D1-80B4-00C04FD430C8", valid); // a plain file
    ASSERT_TRUE(
        QDir().mkpath(PendingRecording::root() + "/6BA7B817-9DAD-11D1-80B4-00C04FD430C8")); // no job file
    const PendingRecording outside = makeJob();
    const QString elsewhere = m_xdg.path() + "/elsewhere/" + Uuids::text(outside.id);
    ASSERT_TRUE(QDir().mkpath(elsewhere));
    writeFile(elsewhere + "/job.json", outside.encode());
    ASSERT_TRUE(QFile::link(elsewhere, outside.folder()));
    const PendingRecording linkedFile = makeJob();
    ASSERT_TRUE(QDir().mkpath(linkedFile.folder()));
    writeFile(m_xdg.path() + "/loose.json", linkedFile.encode());
    ASSERT_TRUE(QFile::link(m_xdg.path() + "/loose.json", linkedFile.folder() + "/job.json"));

    const QStringList before
        = QDir(PendingRecording::root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    const auto jobs = PendingRecording::loadAll();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs.front().id, good.id);
    EXPECT_EQ(QDir(PendingRecording::root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    QFile truncated(PendingRecording::root() + "/6BA7B811-9DAD-11D1-80B4-00C04FD430C8/job.json");
    ASSERT_TRUE(truncated.open(QIODevice::ReadOnly));
    EXPECT_EQ(truncated.readAll(), valid.left(40));
}
