#include "WordAligner.h"

#include <cctype>

namespace server::WordAligner {

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Each piece is the white space before a word plus the word.
std::vector<std::string> splitKeepingSpace(const std::string& text)
{
    std::vector<std::string> pieces;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t first = i;
        while (i < text.size() && isSpace(text[i])) {
            ++i;
        }
        if (i == text.size()) {
            if (pieces.empty()) {
                pieces.push_back(text.substr(first));
            } else {
                pieces.back() += text.substr(first);
            }
            break;
        }
        while (i < text.size() && !isSpace(text[i])) {
            ++i;
        }
        pieces.push_back(text.substr(first, i - first));
    }
    return pieces;
}

enum class Step
{
    Match,
    SkipText,
    SkipTimed
};

} // namespace

std::string normalised(const std::string& word)
{
    std::string result;
    for (char c : word) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 || std::isalnum(byte)) {
            result += static_cast<char>(std::tolower(byte));
        } else if (c == '\'') {
            result += c;
        }
    }
    return result;
}

std::vector<RecognizedWord> align(const std::string& text, const std::vector<RecognizedWord>& timed)
{
    const auto pieces = splitKeepingSpace(text);
    std::vector<RecognizedWord> words;
    for (const auto& piece : pieces) {
        words.push_back({ piece, std::nullopt, std::nullopt });
    }
    const std::size_t n = pieces.size();
    const std::size_t m = timed.size();
    if (n == 0 || m == 0) {
        return words;
    }

    std::vector<std::string> textTokens(n);
    std::vector<std::string> timedTokens(m);
    for (std::size_t i = 0; i < n; ++i) {
        textTokens[i] = normalised(pieces[i]);
    }
    for (std::size_t j = 0; j < m; ++j) {
        timedTokens[j] = normalised(timed[j].text);
    }

    // Edit distance: equal tokens cost nothing, a substitution (the engine heard
    // something else there) or a skip costs one.
    std::vector<std::vector<int>> cost(n + 1, std::vector<int>(m + 1, 0));
    std::vector<std::vector<Step>> step(n + 1, std::vector<Step>(m + 1, Step::Match));
    for (std::size_t i = 1; i <= n; ++i) {
        cost[i][0] = static_cast<int>(i);
        step[i][0] = Step::SkipText;
    }
    for (std::size_t j = 1; j <= m; ++j) {
        cost[0][j] = static_cast<int>(j);
        step[0][j] = Step::SkipTimed;
    }
    for (std::size_t i = 1; i <= n; ++i) {
        for (std::size_t j = 1; j <= m; ++j) {
            const int match = cost[i - 1][j - 1] + (textTokens[i - 1] == timedTokens[j - 1] ? 0 : 1);
            const int skipText = cost[i - 1][j] + 1;
            const int skipTimed = cost[i][j - 1] + 1;
            cost[i][j] = match;
            step[i][j] = Step::Match;
            if (skipText < cost[i][j]) {
                cost[i][j] = skipText;
                step[i][j] = Step::SkipText;
            }
            if (skipTimed < cost[i][j]) {
                cost[i][j] = skipTimed;
                step[i][j] = Step::SkipTimed;
            }
        }
    }
    std::size_t i = n;
    std::size_t j = m;
    while (i > 0 && j > 0) {
        switch (step[i][j]) {
        case Step::Match:
            words[i - 1].start = timed[j - 1].start;
            words[i - 1].end = timed[j - 1].end;
            --i;
            --j;
            break;
        case Step::SkipText:
            --i;
            break;
        case Step::SkipTimed:
            --j;
            break;
        }
    }
    return words;
}

} // namespace server::WordAligner
