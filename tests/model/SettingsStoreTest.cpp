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

TEST_F(SettingsStoreTest, MissingUnreadableOrOtherTypedValuesReadAbsent)
{
    const SettingsStore missing;
    EXPECT_EQ(missing.string(SettingsStore::kServer), std::nullopt);
    EXPECT_EQ(missing.boolean(SettingsStore::kAutoRecordEnabled), std::nullopt);
    EXPECT_FALSE(QFile::exists(fileName())) << "reading created the file";

    for (const QByteArray& bytes : { QByteArray("{ not json"),
             QByteArray(R"({"autoRecordEnabled": "false", "diarizationEnabled": 1, "server": true,)"
                        R"( "transcriptEmail": null})") }) {
        SCOPED_TRACE(bytes.toStdString());
        writeFile(bytes);
        const SettingsStore store;
        EXPECT_EQ(store.boolean(SettingsStore::kAutoRecordEnabled), std::nullopt);
        EXPECT_EQ(store.boolean(SettingsStore::kDiarizationEnabled), std::nullopt);
        EXPECT_EQ(store.string(SettingsStore::kServer), std::nullopt);
        EXPECT_EQ(store.string(SettingsStore::kTranscriptEmail), std::nullopt);
    }
    EXPECT_EQ(SettingsStore().string(SettingsStore::kAutoRecordEnabled), "false");
}

TEST_F(SettingsStoreTest, WritesTypedJsonKeepingTheOtherKeysThatAnotherStoreReadsAtOnce)
{
    writeFile(R"({"autoRecordEnabled": false, "server": "https://example.org/"})");
    SettingsStore writer;
    writer.setString(SettingsStore::kTranscriptEmail, "team@example.com");
    writer.setBoolean(SettingsStore::kDiarizationEnabled, false);

    const QJsonObject onDisk = readFile();
    EXPECT_EQ(onDisk.value("autoRecordEnabled"), QJsonValue(false));
    EXPECT_EQ(onDisk.value("server"), QJsonValue("https://example.org/"));
    EXPECT_EQ(onDisk.value("transcriptEmail"), QJsonValue("team@example.com"));
    EXPECT_EQ(onDisk.value("diarizationEnabled"), QJsonValue(false));
    EXPECT_EQ(QDir(m_xdg.configHome() + "/Tallisen").entryList(QDir::Files | QDir::Hidden),
        QStringList { "Tallisen.json" });

    const SettingsStore reader;
    EXPECT_EQ(reader.string(SettingsStore::kTranscriptEmail), "team@example.com");
    EXPECT_EQ(reader.boolean(SettingsStore::kDiarizationEnabled), false);
    const QString text = " HTTPS://Example.org/path/ \u00e9\"\\";
    SettingsStore(fileName()).setString(SettingsStore::kServer, text);
    EXPECT_EQ(SettingsStore().string(SettingsStore::kServer), text);
}

} // namespace
