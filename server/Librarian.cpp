#include "Librarian.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <set>
#include <sstream>

namespace server::Librarian {

namespace {

constexpr std::size_t kTitleWords = 10;
constexpr int kCategoryMinimumHits = 2;

struct Rule
{
    const char* category;
    std::array<const char*, 10> keywords;
};

constexpr std::array<Rule, 6> kRules { {
    { "Engineering",
        { "code", "bug", "deploy", "release", "server", "build", "test", "api", "database", "merge" } },
    { "Sales",
        { "customer", "deal", "pricing", "contract", "quote", "prospect", "revenue", "renewal", "pipeline",
            "discount" } },
    { "Hiring",
        { "candidate", "interview", "hire", "hiring", "resume", "offer", "recruiter", "role", "onboarding",
            "salary" } },
    { "Finance",
        { "budget", "invoice", "cost", "costs", "expense", "forecast", "quarter", "payment", "tax",
            "accounting" } },
    { "Planning",
        { "roadmap", "plan", "planning", "milestone", "deadline", "priority", "priorities", "goal", "goals",
            "schedule" } },
    { "Support",
        { "ticket", "issue", "complaint", "outage", "incident", "refund", "escalation", "support", "help",
            "problem" } },
} };

const std::set<std::string> kEnglishWords { "the", "and", "to", "of", "a", "is", "that", "it", "we", "you",
    "in", "for", "this", "on", "with", "be", "are", "have", "i", "so" };

// Speaker lines begin "[hh:mm:ss] Speaker N: "; the title is about what was said.
std::string spokenText(const std::string& transcript)
{
    std::istringstream lines(transcript);
    std::string line;
    std::string text;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.front() == '[') {
            const auto colon = line.find(": ");
            if (colon != std::string::npos) {
                line = line.substr(colon + 2);
            }
        }
        if (!text.empty()) {
            text += ' ';
        }
        text += line;
    }
    return text;
}

std::vector<std::string> words(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream stream(text);
    std::string word;
    while (stream >> word) {
        result.push_back(word);
    }
    return result;
}

std::string lowerLetters(const std::string& word)
{
    std::string result;
    for (char c : word) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '\'') {
            result += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return result;
}

std::string title(const std::vector<std::string>& spoken)
{
    std::string result;
    for (std::size_t i = 0; i < spoken.size() && i < kTitleWords; ++i) {
        if (!result.empty()) {
            result += ' ';
        }
        result += spoken[i];
        if (spoken[i].back() == '.' || spoken[i].back() == '?' || spoken[i].back() == '!') {
            break;
        }
    }
    while (!result.empty() && std::ispunct(static_cast<unsigned char>(result.back()))) {
        result.pop_back();
    }
    if (result.empty()) {
        return "Untitled meeting";
    }
    result[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(result[0])));
    return result;
}

} // namespace

Filing file(const std::string& transcript)
{
    const auto spoken = words(spokenText(transcript));
    std::map<std::string, int> hits;
    int english = 0;
    for (const auto& word : spoken) {
        const std::string token = lowerLetters(word);
        english += kEnglishWords.count(token) ? 1 : 0;
        for (const auto& rule : kRules) {
            if (std::find_if(
                    rule.keywords.begin(), rule.keywords.end(), [&](const char* k) { return token == k; })
                != rule.keywords.end()) {
                ++hits[rule.category];
            }
        }
    }
    Filing filing { title(spoken), std::nullopt, {} };
    const auto best = std::max_element(
        hits.begin(), hits.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    if (best != hits.end() && best->second >= kCategoryMinimumHits) {
        filing.category = best->first;
    }
    if (!spoken.empty() && english * 10 >= static_cast<int>(spoken.size())) {
        filing.languageCodes.push_back("en");
    }
    return filing;
}

} // namespace server::Librarian
