#include "AudioDecoder.h"
#include "HttpError.h"
#include "SpeechFiles.h"

#include <gmock/gmock.h>

#include <sys/stat.h>

#include <fstream>

namespace {

using server::AudioDecoder::Pcm;
using SpeechFiles::TemporaryDirectory;

void write(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// The decoder is reached both ways: uploads in memory, and stored recordings on disk.
struct EntryPoint
{
    const char* name;
    std::function<Pcm(const TemporaryDirectory&, const std::string&)> decode;
};

const std::vector<EntryPoint> kEntryPoints {
    { "bytes",
        [](const TemporaryDirectory&, const std::string& bytes) {
            return server::AudioDecoder::decodeBytes(bytes, 300);
        } },
    { "file",
        [](const TemporaryDirectory& directory, const std::string& bytes) {
            const std::string path = directory.file("upload");
            write(path, bytes);
            Pcm pcm;
            server::AudioDecoder::decodeFileInBlocks(
                path, 300, [&](const std::int16_t* samples, std::size_t count) {
                    pcm.samples.insert(pcm.samples.end(), samples, samples + count);
                });
            return pcm;
        } },
};

int refusalStatus(const std::function<void()>& decode)
{
    try {
        decode();
    } catch (const server::HttpError& error) {
        EXPECT_FALSE(std::string(error.what()).empty());
        return error.status();
    }
    return 200;
}

std::string littleEndian(std::uint32_t value, int bytes)
{
    std::string result;
    for (int i = 0; i < bytes; ++i) {
        result += static_cast<char>(value >> (8 * i) & 0xff);
    }
    return result;
}

// A canonical 16-bit PCM WAV whose header says what the test wants.
std::string wav(std::uint32_t rate, std::uint16_t channels, std::size_t dataBytes)
{
    const std::uint32_t blockAlign = 2u * channels;
    return "RIFF" + littleEndian(static_cast<std::uint32_t>(36 + dataBytes), 4) + "WAVEfmt "
        + littleEndian(16, 4) + littleEndian(1, 2) + littleEndian(channels, 2) + littleEndian(rate, 4)
        + littleEndian(rate * blockAlign, 4) + littleEndian(blockAlign, 2) + littleEndian(16, 2) + "data"
        + littleEndian(static_cast<std::uint32_t>(dataBytes), 4) + std::string(dataBytes, '\x10');
}

// Containers that would open other files (an owner-only recording outside any data
// folder, which an upload once made the server read), and headers that would
// multiply the work out of proportion to the upload.
TEST(AudioDecoder, RefusesUploadsThatReachOtherFilesOrMultiplyTheWorkAndExplainsAMissingFile)
{
    TemporaryDirectory directory;
    const std::string secret = directory.file("private.wav");
    write(secret, wav(16000, 1, 32000));
    ::chmod(secret.c_str(), 0600);
    ASSERT_NEAR(server::AudioDecoder::decodeBytes(SpeechFiles::read(secret), 300).duration(), 1.0, 0.01);
    // FFmpeg's own safe mode refuses absolute paths in a concat list, not relative ones.
    const SpeechFiles::WorkingDirectory root("/");
    const std::vector<std::pair<const char*, std::string>> uploads {
        { "ffconcat", "ffconcat version 1.0\nfile " + secret.substr(1) + "\n" },
        { "hls", "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nfile://" + secret + "\n#EXT-X-ENDLIST\n" },
        { "sdp", "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=x\nc=IN IP4 127.0.0.1\nt=0 0\nm=audio 5004 RTP/AVP 0\n" },
        { "8 KB at 1 Hz", wav(1, 1, 8000) },
        { "8 KB at 100 Hz", wav(100, 1, 8000) },
        { "no channels", wav(16000, 0, 8000) },
        { "a thousand channels", wav(16000, 1000, 8000) },
        { "over the length limit", wav(8000, 1, 8000 * 2 * 301) },
    };
    for (const auto& entry : kEntryPoints) {
        for (const auto& [name, bytes] : uploads) {
            SCOPED_TRACE(std::string(entry.name) + ": " + name);
            EXPECT_EQ(refusalStatus([&] { entry.decode(directory, bytes); }), 422);
        }
    }
    // A stored recording that is gone says so.
    const auto missing
        = [] { server::AudioDecoder::decodeFileInBlocks("/nonexistent/recording.m4a", 300, {}); };
    EXPECT_EQ(refusalStatus(missing), 422);
    EXPECT_THAT(missing, ::testing::ThrowsMessage<server::HttpError>(::testing::HasSubstr("No such file")));
}

TEST(AudioDecoder, DecodesTheFormatsRecordersWriteEvenWhenTheyChangeMidway)
{
    TemporaryDirectory directory;
    const std::string tone = "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1";
    const std::vector<std::pair<const char*, std::string>> formats {
        { "m4a", "-ac 1 -c:a aac" },
        { "wav", "-ac 2 -c:a pcm_s24le" },
        { "flac", "-ac 1 -c:a flac" },
        { "mp3", "-ac 2 -c:a libmp3lame" },
        { "ogg", "-ac 1 -ar 48000 -c:a libopus" },
        { "webm", "-ac 1 -ar 48000 -c:a libopus" },
        { "mkv", "-ac 1 -c:a pcm_s16le" },
    };
    for (const auto& [extension, codec] : formats) {
        const std::string path = directory.file(std::string("tone.") + extension);
        SpeechFiles::run("ffmpeg -y " + tone + " " + codec + " " + SpeechFiles::shellQuoted(path));
        for (const auto& entry : kEntryPoints) {
            SCOPED_TRACE(std::string(entry.name) + ": " + extension);
            EXPECT_NEAR(entry.decode(directory, SpeechFiles::read(path)).duration(), 1.0, 0.06);
        }
    }
    // MP3 and AAC streams may change rate or channels midway; every part must still
    // come out at its own length, not stretched by the first part's settings.
    const std::string joined = SpeechFiles::mp3ChangingFormat(directory);
    for (const auto& entry : kEntryPoints) {
        SCOPED_TRACE(std::string(entry.name) + ": changing format");
        EXPECT_NEAR(entry.decode(directory, joined).duration(), 3.0, 0.15);
    }
}

} // namespace
