#pragma once

#include <cstdlib>
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
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
        throw std::runtime_error("Command failed: " + command);
}

inline std::string shellQuoted(const std::string& text)
{
    std::string result = "'";
    for (char c : text)
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
}

// One line after another, with `pauseSeconds` of silence between them.
inline void makeM4a(const std::vector<Line>& lines, const std::string& path, double pauseSeconds = 0.6)
{
    std::string inputs;
    std::string filter;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string wav = path + "." + std::to_string(i) + ".wav";
        run("flite -voice " + lines[i].voice + " -t " + shellQuoted(lines[i].text) + " -o "
            + shellQuoted(wav));
        inputs += " -i " + shellQuoted(wav);
        filter += "[" + std::to_string(i) + ":a]aresample=16000,apad=pad_dur=" + std::to_string(pauseSeconds)
            + "[a" + std::to_string(i) + "];";
    }
    for (std::size_t i = 0; i < lines.size(); ++i)
        filter += "[a" + std::to_string(i) + "]";
    filter += "concat=n=" + std::to_string(lines.size()) + ":v=0:a=1[out]";
    run("ffmpeg -y" + inputs + " -filter_complex " + shellQuoted(filter)
        + " -map '[out]' -ac 1 -c:a aac -b:a 64k " + shellQuoted(path));
    for (std::size_t i = 0; i < lines.size(); ++i)
        std::remove((path + "." + std::to_string(i) + ".wav").c_str());
}

inline std::string read(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

} // namespace SpeechFiles
