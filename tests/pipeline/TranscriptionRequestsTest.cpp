#include "pipeline/TranscriptionRequests.h"

#include "core/APIClientError.h"
#include "core/Uuids.h"
#include "store/PendingRecording.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <gtest/gtest.h>

namespace {

using namespace TranscriptionRequests;

QByteArray prompt(const QString& text)
{
    const auto header = promptHeader(text);
    EXPECT_TRUE(header.has_value());
    return header.value_or(QByteArray());
}

TEST(PromptHeader, EscapesEverythingButLettersMarksAndNumbersAsUpperCaseUtf8)
{
    EXPECT_EQ(prompt(QStringLiteral("Hello, world")), "Hello%2C%20world");
    EXPECT_EQ(prompt(QStringLiteral("50% off?\n")), "50%25%20off%3F%0A");
    EXPECT_EQ(prompt(QStringLiteral("a-b_c.d~e")), "a%2Db%5Fc%2Ed%7Ee");
    // Non-ASCII letters, combining marks and numbers of every kind stay raw.
    EXPECT_EQ(prompt(QStringLiteral("Grüße")), QStringLiteral("Grüße").toUtf8());
    EXPECT_EQ(prompt(QStringLiteral("e\u0301")), QStringLiteral("e\u0301").toUtf8());
    EXPECT_EQ(prompt(QStringLiteral("\u0663\u00BD")), QStringLiteral("\u0663\u00BD").toUtf8());
    EXPECT_EQ(prompt(QStringLiteral("東京")), QStringLiteral("東京").toUtf8());
    // Symbols and punctuation beyond ASCII are escaped byte by byte.
    EXPECT_EQ(prompt(QStringLiteral("€")), "%E2%82%AC");
    EXPECT_EQ(prompt(QString::fromUtf8("\xF0\x9F\x98\x80")), "%F0%9F%98%80");
    EXPECT_EQ(prompt(QStringLiteral("\u00A0")), "%C2%A0");
}

TEST(PromptHeader, LetterOutsideTheBasicPlaneIsKeptWhole)
{
    const QString gothicAhsa = QString::fromUtf8("\xF0\x90\x8C\xB0");
    EXPECT_EQ(prompt(gothicAhsa + QStringLiteral(" x")), QByteArray("\xF0\x90\x8C\xB0%20x"));
}

TEST(PromptHeader, EmptyTextGivesAnEmptyButPresentValue)
{
    const auto header = promptHeader(QString());
    ASSERT_TRUE(header.has_value());
    EXPECT_TRUE(header->isEmpty());
    EXPECT_FALSE(header->isNull());
}

TEST(PromptHeader, TakesTheLastFiveHundredCharacters)
{
    const QString text = QString(120, u'a') + QString(500, u'b');
    EXPECT_EQ(prompt(text), QByteArray(500, 'b'));
    EXPECT_EQ(prompt(QString(499, u'z')), QByteArray(499, 'z'));
}

TEST(PromptHeader, CountsCharactersNotCodeUnits)
{
    // 500 accented letters in decomposed form are 1000 UTF-16 units; the
    // preceding "x" is the 501st character and is left out.
    QString accented;
    for (int i = 0; i < 500; ++i) {
        accented += QStringLiteral("e\u0301");
    }
    EXPECT_EQ(prompt(QStringLiteral("x") + accented), accented.toUtf8());

    // A surrogate pair at the cut is taken whole, never split in half.
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
    EXPECT_EQ(
        prompt(QStringLiteral("x") + emoji + QString(499, u'a')), "%F0%9F%98%80" + QByteArray(499, 'a'));
}

TEST(PromptHeader, LoneSurrogateCannotBeEncoded)
{
    EXPECT_FALSE(promptHeader(QStringLiteral("ok ") + QChar(0xD800)).has_value());
    EXPECT_FALSE(promptHeader(QChar(0xDC00) + QStringLiteral(" ok")).has_value());
}

TEST(AlignmentForm, BoundaryIsTallisenAndAFreshUpperCaseUuid)
{
    QSet<QString> seen;
    for (int i = 0; i < 20; ++i) {
        const QString boundary = newBoundary();
        ASSERT_EQ(boundary.size(), 45);
        ASSERT_TRUE(boundary.startsWith(QStringLiteral("Tallisen-")));
        const QString id = boundary.mid(9);
        ASSERT_EQ(id, id.toUpper());
        ASSERT_TRUE(Uuids::parse(id).has_value());
        seen.insert(boundary);
    }
    EXPECT_EQ(seen.size(), 20);
    EXPECT_EQ(alignmentContentType(QStringLiteral("Tallisen-B")), "multipart/form-data; boundary=Tallisen-B");
}

TEST(AlignmentForm, BodyIsTheTextPartThenTheFilePartLineByLine)
{
    const QByteArray audio("\x00\x01\r\n--Tallisen-B\xFF", 16);
    const QByteArray body
        = alignmentBody(QStringLiteral("Tallisen-B"), QStringLiteral(" Zwei\r\nZeilen ü "), audio);
    const QByteArray expected = QByteArray("--Tallisen-B\r\n"
                                           "Content-Disposition: form-data; name=\"text\"\r\n"
                                           "\r\n")
        + QStringLiteral(" Zwei\r\nZeilen ü ").toUtf8()
        + "\r\n"
          "--Tallisen-B\r\n"
          "Content-Disposition: form-data; name=\"file\"; filename=\"audio.m4a\"\r\n"
          "Content-Type: audio/x-m4a\r\n"
          "\r\n"
        + audio
        + "\r\n"
          "--Tallisen-B--\r\n";
    EXPECT_EQ(body, expected);
}

TEST(AlignmentForm, EmptyTextAndEmptyFileStillGiveBothParts)
{
    const QByteArray body = alignmentBody(QStringLiteral("B"), QString(), QByteArray());
    EXPECT_TRUE(body.startsWith("--B\r\nContent-Disposition: form-data; name=\"text\"\r\n\r\n\r\n--B\r\n"));
    EXPECT_TRUE(body.endsWith("Content-Type: audio/x-m4a\r\n\r\n\r\n--B--\r\n"));
}

Date utc(const char* isoText)
{
    return Date::fromQDateTime(QDateTime::fromString(QString::fromLatin1(isoText), Qt::ISODateWithMs));
}

TEST(SubmissionBody, DateIsWholeSecondsInUtcWithZ)
{
    EXPECT_EQ(submissionDate(utc("2026-03-01T09:30:00.750Z")), QStringLiteral("2026-03-01T09:30:00Z"));
    EXPECT_EQ(submissionDate(utc("2026-03-01T11:30:00.999+02:00")), QStringLiteral("2026-03-01T09:30:00Z"));
    EXPECT_EQ(submissionDate(utc("2000-12-31T23:59:59.500Z")), QStringLiteral("2000-12-31T23:59:59Z"));
    EXPECT_EQ(submissionDate(utc("1969-12-31T23:59:59.250Z")), QStringLiteral("1969-12-31T23:59:59Z"));
}

TEST(SubmissionBody, HoldsExactlyTheFourStringsWithAnEmptyAddressKept)
{
    const QString transcript = QStringLiteral("[00:00:01] Speaker 1: \"Grüß\" dich\n\nok");
    const QByteArray bytes = submissionBody(transcript, utc("2026-03-01T09:30:00.750Z"), QString());
    EXPECT_FALSE(bytes.contains('\n'));
    const QJsonObject object = QJsonDocument::fromJson(bytes).object();
    EXPECT_EQ(object.keys(), (QStringList { "emailTo", "recordedAt", "source", "transcript" }));
    EXPECT_EQ(object.value("transcript").toString(), transcript);
    EXPECT_EQ(object.value("recordedAt").toString(), QStringLiteral("2026-03-01T09:30:00Z"));
    EXPECT_TRUE(object.value("emailTo").isString());
    EXPECT_EQ(object.value("emailTo").toString(), QString());
    EXPECT_EQ(object.value("source").toString(), QStringLiteral("linux"));
}

TEST(ChunkPath, PlainNameLiesInTheJobFolder)
{
    PendingRecording job { .id = QUuid::createUuid() };
    EXPECT_EQ(chunkPath(job, QStringLiteral("chunk-A.m4a")), job.folder() + QStringLiteral("/chunk-A.m4a"));
    EXPECT_EQ(chunkPath(job, QStringLiteral("..chunk")), job.folder() + QStringLiteral("/..chunk"));
}

TEST(ChunkPath, NameThatCouldLeaveTheFolderIsRefused)
{
    PendingRecording job { .id = QUuid::createUuid() };
    for (const QString& name : { QString(), QStringLiteral("."), QStringLiteral(".."),
             QStringLiteral("../job.json"), QStringLiteral("/etc/passwd"), QStringLiteral("sub/chunk.m4a"),
             QStringLiteral("chunk.m4a/"), QStringLiteral("chunk") + QChar(u'\0') + QStringLiteral("x") }) {
        EXPECT_THROW(chunkPath(job, name), APIClientError) << name.toStdString();
    }
}

} // namespace
