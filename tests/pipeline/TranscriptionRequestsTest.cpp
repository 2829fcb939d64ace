#include "pipeline/TranscriptionRequests.h"

#include "core/APIClientError.h"
#include "core/Uuids.h"
#include "store/PendingRecording.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <gtest/gtest.h>

namespace {

using namespace TranscriptionRequests;

QString repeated(const QString& text, int times)
{
    QString result;
    for (int i = 0; i < times; ++i) {
        result += text;
    }
    return result;
}

TEST(PromptHeader, KeepsTheLastFiveHundredCharactersAndEscapesAllButLettersMarksAndNumbers)
{
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
    const QString gothicAhsa = QString::fromUtf8("\xF0\x90\x8C\xB0");
    const std::vector<std::pair<QString, std::optional<QByteArray>>> cases {
        { QStringLiteral("Hello, world"), "Hello%2C%20world" },
        { QStringLiteral("50% off?\n"), "50%25%20off%3F%0A" },
        { QStringLiteral("a-b_c.d~e"), "a%2Db%5Fc%2Ed%7Ee" },
        // Letters, combining marks and numbers of every script stay raw UTF-8.
        { QStringLiteral("Grüße e\u0301 \u0663\u00BD 東京"),
            QStringLiteral("Grüße%20e\u0301%20\u0663\u00BD%20東京").toUtf8() },
        { gothicAhsa + QStringLiteral(" x"), QByteArray("\xF0\x90\x8C\xB0%20x") },
        // Symbols and punctuation beyond ASCII are escaped byte by byte.
        { QStringLiteral("€\u00A0") + emoji, "%E2%82%AC%C2%A0%F0%9F%98%80" },
        { QString(), QByteArray("") },
        { QString(120, u'a') + QString(500, u'b'), QByteArray(500, 'b') },
        { QString(499, u'z'), QByteArray(499, 'z') },
        // Characters, not UTF-16 units: 500 decomposed letters are 1000 units.
        { QStringLiteral("x") + repeated(QStringLiteral("e\u0301"), 500),
            repeated(QStringLiteral("e\u0301"), 500).toUtf8() },
        // A surrogate pair at the cut is taken whole.
        { QStringLiteral("x") + emoji + QString(499, u'a'), "%F0%9F%98%80" + QByteArray(499, 'a') },
        { QStringLiteral("ok ") + QChar(0xD800), std::nullopt },
        { QChar(0xDC00) + QStringLiteral(" ok"), std::nullopt },
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text.left(40).toStdString());
        const auto header = promptHeader(text);
        ASSERT_EQ(header.has_value(), expected.has_value());
        if (header) {
            EXPECT_EQ(*header, *expected);
            // Empty, but a header all the same.
            EXPECT_FALSE(header->isNull());
        }
    }
}

TEST(AlignmentForm, BoundaryIsAFreshUpperCaseUuidAndTheBodyTheTextPartThenTheFilePart)
{
    QSet<QString> seen;
    for (int i = 0; i < 20; ++i) {
        const QString boundary = newBoundary();
        const QString id = boundary.mid(9);
        ASSERT_TRUE(boundary.startsWith(QStringLiteral("Tallisen-")) && id == id.toUpper()
            && Uuids::parse(id).has_value() && id.size() == 36)
            << boundary.toStdString();
        seen.insert(boundary);
    }
    EXPECT_EQ(seen.size(), 20);
    EXPECT_EQ(alignmentContentType(QStringLiteral("Tallisen-B")), "multipart/form-data; boundary=Tallisen-B");

    const QByteArray audio("\x00\x01\r\n--Tallisen-B\xFF", 16);
    const QString text = QStringLiteral(" Zwei\r\nZeilen ü ");
    EXPECT_EQ(alignmentBody(QStringLiteral("Tallisen-B"), text, audio),
        "--Tallisen-B\r\nContent-Disposition: form-data; name=\"text\"\r\n\r\n" + text.toUtf8()
            + "\r\n--Tallisen-B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"audio.m4a\"\r\n"
              "Content-Type: audio/x-m4a\r\n\r\n"
            + audio + "\r\n--Tallisen-B--\r\n");

    // Both parts even when empty.
    const QByteArray empty = alignmentBody(QStringLiteral("B"), QString(), QByteArray());
    EXPECT_TRUE(empty.startsWith("--B\r\nContent-Disposition: form-data; name=\"text\"\r\n\r\n\r\n--B\r\n"));
    EXPECT_TRUE(empty.endsWith("Content-Type: audio/x-m4a\r\n\r\n\r\n--B--\r\n"));
}

Date utc(const char* isoText)
{
    return Date::fromQDateTime(QDateTime::fromString(QString::fromLatin1(isoText), Qt::ISODateWithMs));
}

TEST(SubmissionBody, HoldsExactlyTheFourStringsWithTheDateInWholeUtcSeconds)
{
    for (const auto& [local, expected] : std::vector<std::pair<const char*, const char*>> {
             { "2026-03-01T09:30:00.750Z", "2026-03-01T09:30:00Z" },
             { "2026-03-01T11:30:00.999+02:00", "2026-03-01T09:30:00Z" },
             { "2000-12-31T23:59:59.500Z", "2000-12-31T23:59:59Z" },
             { "1969-12-31T23:59:59.250Z", "1969-12-31T23:59:59Z" } }) {
        EXPECT_EQ(submissionDate(utc(local)), QString::fromLatin1(expected)) << local;
    }

    const QString transcript = QStringLiteral("[00:00:01] Speaker 1: \"Grüß\" dich\n\nok");
    const QByteArray bytes = submissionBody(transcript, utc("2026-03-01T09:30:00.750Z"), QString());
    EXPECT_FALSE(bytes.contains('\n'));
    const QJsonObject object = QJsonDocument::fromJson(bytes).object();
    EXPECT_EQ(object.keys(), (QStringList { "emailTo", "recordedAt", "source", "transcript" }));
    EXPECT_EQ(object.value("transcript").toString(), transcript);
    EXPECT_EQ(object.value("recordedAt").toString(), QStringLiteral("2026-03-01T09:30:00Z"));
    // An empty address is kept, as a string.
    EXPECT_TRUE(object.value("emailTo").isString());
    EXPECT_EQ(object.value("emailTo").toString(), QString());
    EXPECT_EQ(object.value("source").toString(), QStringLiteral("linux"));
}

TEST(ChunkPath, PlainNamesLieInTheJobFolderAndNamesThatCouldLeaveItAreRefused)
{
    PendingRecording job { .id = QUuid::createUuid() };
    EXPECT_EQ(chunkPath(job, QStringLiteral("chunk-A.m4a")), job.folder() + QStringLiteral("/chunk-A.m4a"));
    EXPECT_EQ(chunkPath(job, QStringLiteral("..chunk")), job.folder() + QStringLiteral("/..chunk"));
    for (const QString& name : { QString(), QStringLiteral("."), QStringLiteral(".."),
             QStringLiteral("../job.json"), QStringLiteral("/etc/passwd"), QStringLiteral("sub/chunk.m4a"),
             QStringLiteral("chunk.m4a/"), QStringLiteral("chunk") + QChar(u'\0') + QStringLiteral("x") }) {
        EXPECT_THROW(chunkPath(job, name), APIClientError) << name.toStdString();
    }
}

} // namespace
