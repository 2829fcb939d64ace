#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

// Speech made on the spot with flite and encoded to M4A (AAC) by ffmpeg, as the
// app uploads it.
namespace SpeechFiles {

struct Line
{
    std::string voice;
    std::string text;
};

inline void run(const std::string& command)
{
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
        throw std::runtime_error("Command failed: " + command);
    }
}

inline std::string shellQuoted(const std::string& text)
{
    std::string result = "'";
    for (char c : text) {
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return result + "'";
}

class TemporaryDirectory
{
public:
    TemporaryDirectory()
    {
        char pattern[] = "/tmp/tallisen-engine-test-XXXXXX";
        m_path = mkdtemp(pattern);
    }
    ~TemporaryDirectory() { std::filesystem::remove_all(m_path); }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Moves the process to `path` for a while: uploads once reached files relative to it.
class WorkingDirectory
{
public:
    explicit WorkingDirectory(const std::string& path)
        : m_previous(std::filesystem::current_path())
    {
        std::filesystem::current_path(path);
    }
    ~WorkingDirectory() { std::filesystem::current_path(m_previous); }

private:
    std::filesystem::path m_previous;
};

struct Span
{
    double start = 0;
    double end = 0;
};

inline std::string read(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// flite writes a canonical 44-byte header of 16-bit mono PCM.
inline double wavSeconds(const std::string& path)
{
    const std::string bytes = read(path);
    if (bytes.size() < 44) {
        throw std::runtime_error("Not a WAV file: " + path);
    }
    const auto byte
        = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])); };
    const std::uint32_t rate = byte(24) | byte(25) << 8 | byte(26) << 16 | byte(27) << 24;
    return static_cast<double>(bytes.size() - 44) / (2.0 * rate);
}

// Three seconds of MP3 whose rate and channels change every second, as joined
// recordings do; such a file once crashed the server's decoder.
inline std::string mp3ChangingFormat(const TemporaryDirectory& directory)
{
    std::string joined;
    for (const char* shape : { "-ar 44100 -ac 2", "-ar 22050 -ac 1", "-ar 48000 -ac 1" }) {
        const std::string path = directory.file("part.mp3");
        run("ffmpeg -y -f lavfi -i sine=frequency=300:duration=1 " + std::string(shape) + " -c:a libmp3lame "
            + path);
        joined += read(path);
    }
    return joined;
}

// WAV files one after another, each followed by `pauseSeconds` of silence, encoded
// into `path` with `encoding`. Returns where each lies in the result.
inline std::vector<Span> join(const std::vector<std::string>& wavs, const std::string& path,
    double pauseSeconds, const std::string& encoding = "-ac 1 -c:a aac -b:a 64k")
{
    std::string inputs;
    std::string filter;
    std::string joined;
    std::vector<Span> spans;
    double at = 0;
    for (std::size_t i = 0; i < wavs.size(); ++i) {
        const double seconds = wavSeconds(wavs[i]);
        spans.push_back({ at, at + seconds });
        at += seconds + pauseSeconds;
        inputs += " -i " + shellQuoted(wavs[i]);
        const std::string n = std::to_string(i);
        filter
            += "[" + n + ":a]aresample=16000,apad=pad_dur=" + std::to_string(pauseSeconds) + "[a" + n + "];";
        joined += "[a" + n + "]";
    }
    filter += joined + "concat=n=" + std::to_string(wavs.size()) + ":v=0:a=1[out]";
    run("ffmpeg -y" + inputs + " -filter_complex " + shellQuoted(filter) + " -map '[out]' " + encoding + " "
        + shellQuoted(path));
    return spans;
}

// Lines spoken one after another, with `pauseSeconds` of silence between them.
inline std::vector<Span> makeM4a(
    const std::vector<Line>& lines, const std::string& path, double pauseSeconds = 0.6)
{
    std::vector<std::string> wavs;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        wavs.push_back(path + "." + std::to_string(i) + ".wav");
        run("flite -voice " + lines[i].voice + " -t " + shellQuoted(lines[i].text) + " -o "
            + shellQuoted(wavs[i]));
    }
    const auto spans = join(wavs, path, pauseSeconds);
    for (const auto& wav : wavs) {
        std::remove(wav.c_str());
    }
    return spans;
}

} // namespace SpeechFiles
