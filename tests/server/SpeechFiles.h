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

// One line after another, with `pauseSeconds` of silence between them. Returns
// where each line lies in the file.
inline std::vector<Span> makeM4a(
    const std::vector<Line>& lines, const std::string& path, double pauseSeconds = 0.6)
{
    std::string inputs;
    std::string filter;
    std::vector<Span> spans;
    double at = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string wav = path + "." + std::to_string(i) + ".wav";
        run("flite -voice " + lines[i].voice + " -t " + shellQuoted(lines[i].text) + " -o "
            + shellQuoted(wav));
        const double seconds = wavSeconds(wav);
        spans.push_back({ at, at + seconds });
        at += seconds + pauseSeconds;
        inputs += " -i " + shellQuoted(wav);
        filter += "[" + std::to_string(i) + ":a]aresample=16000,apad=pad_dur=" + std::to_string(pauseSeconds)
            + "[a" + std::to_string(i) + "];";
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        filter += "[a" + std::to_string(i) + "]";
    }
    filter += "concat=n=" + std::to_string(lines.size()) + ":v=0:a=1[out]";
    run("ffmpeg -y" + inputs + " -filter_complex " + shellQuoted(filter)
        + " -map '[out]' -ac 1 -c:a aac -b:a 64k " + shellQuoted(path));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::remove((path + "." + std::to_string(i) + ".wav").c_str());
    }
    return spans;
}

} // namespace SpeechFiles
