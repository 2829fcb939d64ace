#include "media/FragmentReader.h"
#include "capture/CaptureFile.h"
#include "media/FFmpegHandles.h"

#include <QFile>
#include <QTemporaryDir>

extern "C" {
#include <libavformat/avformat.h>
}

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

struct Read
{
    int stream = -1;
    int64_t pts = 0;
    QByteArray data;
    bool operator==(const Read&) const = default;
};

// Three seconds on two tracks, the second starting half a second late, as the
// recorder writes them.
QByteArray capture(const QString& path)
{
    {
        CaptureFile file(path);
        std::vector<float> block(4800);
        for (int i = 0; i < 30; ++i) {
            for (std::size_t s = 0; s < block.size(); ++s) {
                block[s] = float(0.3 * std::sin(0.05 * double(i * 4800 + int(s))));
            }
            file.append(0, block.data(), qint64(block.size()));
            if (i >= 5) {
                file.append(1, block.data(), qint64(block.size()));
            }
        }
        file.finish();
    }
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

void write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

std::vector<Read> byFragments(const QString& path)
{
    const auto reader = FFmpeg::FragmentReader::open(path);
    EXPECT_TRUE(reader);
    std::vector<Read> packets;
    const FFmpeg::Packet packet = FFmpeg::makePacket();
    while (reader && reader->next(packet.get())) {
        reader->fetch(packet.get());
        packets.push_back({ packet->stream_index, packet->pts,
            QByteArray(reinterpret_cast<const char*>(packet->data), packet->size) });
        av_packet_unref(packet.get());
    }
    return packets;
}

std::vector<Read> byDemuxer(const QString& path)
{
    const FFmpeg::InputFile input(path);
    std::vector<Read> packets;
    const FFmpeg::Packet packet = FFmpeg::makePacket();
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        packets.push_back({ packet->stream_index, packet->pts,
            QByteArray(reinterpret_cast<const char*>(packet->data), packet->size) });
        av_packet_unref(packet.get());
    }
    return packets;
}

// Each stream's packets, in their order.
std::vector<Read> ofStream(const std::vector<Read>& packets, int stream)
{
    std::vector<Read> kept;
    std::copy_if(packets.begin(), packets.end(), std::back_inserter(kept),
        [stream](const Read& packet) { return packet.stream == stream; });
    return kept;
}

} // namespace

// Every packet FFmpeg's demuxer reads, with the same time stamps and bytes; a
// capture cut off by a kill gives the packets that lie wholly in the file, and
// a fragment header whose size was damaged still gives its runs.
TEST(FragmentReader, ReadsTheCapturesPacketsWithoutIndexingTheFile)
{
    QTemporaryDir directory;
    const QString whole = directory.filePath(QStringLiteral("whole.mp4"));
    const QByteArray bytes = capture(whole);
    const std::vector<Read> expected = byDemuxer(whole);
    ASSERT_GT(expected.size(), 250U);
    QByteArray damaged = bytes;
    damaged.replace(bytes.lastIndexOf("moof") - 4, 4, QByteArray::fromHex("7fffffff"));

    const struct
    {
        const char* name;
        QByteArray file;
        bool whole;
    } cases[] = {
        { "whole", bytes, true },
        { "cut inside the data", bytes.left(bytes.size() * 2 / 3), false },
        { "cut inside a fragment header", bytes.left(bytes.lastIndexOf("trun") + 20), false },
        { "damaged fragment size", damaged, true },
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const QString path = directory.filePath(QStringLiteral("case.mp4"));
        write(path, test.file);
        const std::vector<Read> read = byFragments(path);
        for (const int stream : { 0, 1 }) {
            const std::vector<Read> ours = ofStream(read, stream);
            const std::vector<Read> theirs = ofStream(expected, stream);
            ASSERT_FALSE(ours.empty());
            ASSERT_LE(ours.size(), theirs.size());
            EXPECT_TRUE(std::equal(ours.begin(), ours.end(), theirs.begin()));
        }
        EXPECT_EQ(read.size() == expected.size(), test.whole);
    }
}

// Files of other kinds are left to FFmpeg's demuxer.
TEST(FragmentReader, OtherFilesAreNotRead)
{
    QTemporaryDir directory;
    const QByteArray bytes = capture(directory.filePath(QStringLiteral("capture.mp4")));
    const qsizetype firstFragment = bytes.indexOf("moof") - 4;
    QByteArray withoutDefaults = bytes.left(firstFragment);
    withoutDefaults.replace("mvex", "free");
    for (const QByteArray& file : { QByteArray(), QByteArray("RIFF\x24\0\0\0WAVEfmt ", 16), withoutDefaults,
             bytes.mid(firstFragment) }) {
        const QString path = directory.filePath(QStringLiteral("other"));
        write(path, file);
        EXPECT_FALSE(FFmpeg::FragmentReader::open(path)) << file.left(16).toHex().constData();
    }
}
