#include "model/SettingsStore.h"

#include "support/TemporaryXdg.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

namespace {

class SettingsStoreTest : public ::testing::Test
{
protected:
    QString fileName() const { return m_xdg.configHome() + "/Tallisen/Tallisen.json"; }

    void writeFile(const QByteArray& bytes) const
    {
        QDir().mkpath(m_xdg.configHome() + "/Tallisen");
        QFile file(fileName());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    QJsonObject readFile() const
    {
        QFile file(fileName());
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    TemporaryXdg m_xdg;
};

TEST_F(SettingsStoreTest, LivesUnderTheCurrentXdgConfigDirectory)
{
    EXPECT_EQ(SettingsStore().fileName(), fileName());
    const TemporaryXdg other;
    EXPECT_EQ(SettingsStore().fileName(), other.configHome() + "/Tallisen/Tallisen.json");
}

TEST_F(SettingsStoreTest, MissingFileReadsAbsentAndIsNotCreatedByReading)
{
    const SettingsStore store;
    EXPECT_EQ(store.string(SettingsStore::kServer), std::nullopt);
    EXPECT_EQ(store.boolean(SettingsStore::kAutoRecordEnabled), std::nullopt);
    EXPECT_FALSE(QFile::exists(fileName()));
}

TEST_F(SettingsStoreTest, WritesTypedJsonThatAnotherStoreReadsAtOnce)
{
    SettingsStore writer;
    writer.setString(SettingsStore::kTranscriptEmail, "team@example.com");
    writer.setBoolean(SettingsStore::kDiarizationEnabled, false);

    const QJsonObject onDisk = readFile();
    EXPECT_TRUE(onDisk.value("transcriptEmail").isString());
    EXPECT_TRUE(onDisk.value("diarizationEnabled").isBool());
    EXPECT_FALSE(onDisk.value("diarizationEnabled").toBool(true));

    const SettingsStore reader;
    EXPECT_EQ(reader.string(SettingsStore::kTranscriptEmail), "team@example.com");
    EXPECT_EQ(reader.boolean(SettingsStore::kDiarizationEnabled), false);
}

TEST_F(SettingsStoreTest, ValueOfAnotherTypeReadsAbsent)
{
    writeFile(
        R"({"autoRecordEnabled": "false", "diarizationEnabled": 1, "server": true, "transcriptEmail": null})");
    const SettingsStore store;
    EXPECT_EQ(store.boolean(SettingsStore::kAutoRecordEnabled), std::nullopt);
    EXPECT_EQ(store.boolean(SettingsStore::kDiarizationEnabled), std::nullopt);
    EXPECT_EQ(store.string(SettingsStore::kServer), std::nullopt);
    EXPECT_EQ(store.string(SettingsStore::kTranscriptEmail), std::nullopt);
    EXPECT_EQ(store.string(SettingsStore::kAutoRecordEnabled), "false");
}

TEST_F(SettingsStoreTest, WriteKeepsTheOtherKeysAndLeavesNoTemporaryFile)
{
    writeFile(R"({"autoRecordEnabled": false, "server": "https://example.org/"})");
    SettingsStore store;
    store.setString(SettingsStore::kTranscriptEmail, "a@example.com");

    const QJsonObject onDisk = readFile();
    EXPECT_EQ(onDisk.value("autoRecordEnabled"), QJsonValue(false));
    EXPECT_EQ(onDisk.value("server"), QJsonValue("https://example.org/"));
    EXPECT_EQ(onDisk.value("transcriptEmail"), QJsonValue("a@example.com"));
    EXPECT_EQ(QDir(m_xdg.configHome() + "/Tallisen").entryList(QDir::Files | QDir::Hidden),
        QStringList { "Tallisen.json" });
}

TEST_F(SettingsStoreTest, UnreadableFileReadsAbsent)
{
    writeFile("{ not json");
    const SettingsStore store;
    EXPECT_EQ(store.string(SettingsStore::kServer), std::nullopt);
    EXPECT_EQ(store.boolean(SettingsStore::kDiarizationEnabled), std::nullopt);
}

TEST_F(SettingsStoreTest, TextRoundTripsUnchanged)
{
    const QString text = " HTTPS://Example.org/path/ \u00e9\"\\";
    SettingsStore(fileName()).setString(SettingsStore::kServer, text);
    EXPECT_EQ(SettingsStore().string(SettingsStore::kServer), text);
}

} // namespace
