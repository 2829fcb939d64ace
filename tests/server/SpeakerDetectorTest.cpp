#include "SpeechFiles.h"

#include "AudioDecoder.h"
#include "SpeakerDetector.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <map>
#include <numeric>
#include <random>
#include <regex>
#include <set>

namespace {

using server::AudioDecoder::Pcm;
using server::SpeakerDetector::Turn;
using SpeechFiles::TemporaryDirectory;

// Who speaks each line, and when.
struct Meeting
{
    std::string path;
    std::vector<std::string> speakers;
    std::vector<SpeechFiles::Span> spans;
};

const std::vector<std::string> kLines {
    "Let us review the budget for the next quarter.",
    "I think we should hire two more engineers this year.",
    "The customer wants the new release before the end of the month.",
    "Please send me the meeting notes after lunch.",
    "We will ship the fix on Friday afternoon.",
    "Can you share the numbers with the whole team?",
};

// Flite voices taking turns, each turn two lines.
Meeting fliteMeeting(
    const TemporaryDirectory& directory, const std::vector<std::string>& voices, std::size_t turns)
{
    Meeting meeting { directory.file("meeting.m4a"), {}, {} };
    std::vector<SpeechFiles::Line> lines;
    for (std::size_t i = 0; i < 2 * turns; ++i) {
        meeting.speakers.push_back(voices[i / 2 % voices.size()]);
        lines.push_back({ meeting.speakers.back(), kLines[i % kLines.size()] });
    }
    meeting.spans = SpeechFiles::makeM4a(lines, meeting.path, 0.7);
    return meeting;
}

// Real recorded voices from Debian's test data: a LibriVox reader and the Asterisk prompts' speaker.
Meeting realMeeting(const TemporaryDirectory& directory)
{
    const std::string reader
        = "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0";
    const std::string prompts = "/usr/share/asterisk/sounds/en_US_f_Allison/";
    Meeting meeting { directory.file("real.m4a"),
        { "reader", "prompts", "reader", "prompts", "reader", "prompts" }, {} };
    std::vector<std::string> wavs;
    for (const std::string& clip : { reader + "870.wav", prompts + "vm-intro.g722", reader + "920.wav",
             prompts + "conf-onlyperson.g722", reader + "890.wav", prompts + "vm-intro.g722" }) {
        wavs.push_back(directory.file("clip" + std::to_string(wavs.size()) + ".wav"));
        SpeechFiles::run(std::string("ffmpeg -y ") + (clip.ends_with(".g722") ? "-f g722 " : "") + "-i "
            + SpeechFiles::shellQuoted(clip) + " -ar 16000 -ac 1 " + SpeechFiles::shellQuoted(wavs.back()));
    }
    meeting.spans = SpeechFiles::join(wavs, meeting.path, 0.8, "-ac 1 -ar 48000 -c:a aac -b:a 64k");
    return meeting;
}

std::string detectedAt(const std::vector<Turn>& turns, double time)
{
    for (const auto& turn : turns) {
        if (turn.start <= time && time < turn.end) {
            return turn.speaker;
        }
    }
    return {};
}

std::set<std::string> speakersOf(const std::vector<Turn>& turns)
{
    std::set<std::string> speakers;
    for (const auto& turn : turns) {
        speakers.insert(turn.speaker);
    }
    return speakers;
}

// Share of the true speech, sampled every 20 ms inside each line, given to the
// right speaker under the best one-to-one mapping of labels.
double attributedShare(const Meeting& meeting, const std::vector<Turn>& turns)
{
    std::map<std::pair<std::string, std::string>, double> counts;
    const std::set<std::string> speakers(meeting.speakers.begin(), meeting.speakers.end());
    double total = 0;
    for (std::size_t i = 0; i < meeting.spans.size(); ++i) {
        for (double t = meeting.spans[i].start + 0.1; t < meeting.spans[i].end - 0.1; t += 0.02, ++total) {
            counts[{ meeting.speakers[i], detectedAt(turns, t) }] += 1;
        }
    }
    const auto found = speakersOf(turns);
    std::vector<std::string> labels(found.begin(), found.end());
    while (labels.size() < speakers.size()) {
        labels.push_back("none " + std::to_string(labels.size()));
    }
    std::sort(labels.begin(), labels.end());
    double best = 0;
    do {
        double right = 0;
        auto label = labels.begin();
        for (const auto& speaker : speakers) {
            right += counts[{ speaker, *label++ }];
        }
        best = std::max(best, right);
    } while (std::next_permutation(labels.begin(), labels.end()));
    return best / total;
}

Pcm decoded(const std::string& path)
{
    return server::AudioDecoder::decodeBytes(SpeechFiles::read(path), 600);
}

void addWhiteNoise(Pcm& pcm, double snrDb)
{
    const double power = std::accumulate(pcm.samples.begin(), pcm.samples.end(), 0.0,
                             [](double sum, std::int16_t s) { return sum + static_cast<double>(s) * s; })
        / static_cast<double>(pcm.samples.size());
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0, std::sqrt(power / std::pow(10, snrDb / 10)));
    for (auto& sample : pcm.samples) {
        sample = static_cast<std::int16_t>(std::clamp(sample + noise(random), -32768.0, 32767.0));
    }
}

struct MeetingCase
{
    const char* name;
    std::vector<std::string> voices; // none: the real recorded voices
    double noiseSnrDb = 0; // 0: clean
    int offset = 0;
    int gain = 1;
    bool telephone = false;
    double share = 0.95;
    // Whether each change of speaker must lie within a tenth of a second of the truth.
    bool exactTurns = false;
};

class SpeakerDetectorMeetings : public ::testing::TestWithParam<MeetingCase>
{
};

TEST_P(SpeakerDetectorMeetings, FindsEverySpeakerAndTheirTurns)
{
    const auto& param = GetParam();
    TemporaryDirectory directory;
    const Meeting meeting = param.voices.empty()
        ? realMeeting(directory)
        : fliteMeeting(directory, param.voices, std::max<std::size_t>(3, 2 * param.voices.size()));
    std::string heard = meeting.path;
    if (param.telephone) {
        // 8 kHz, 300 to 3400 Hz: the band a phone line carries.
        heard = directory.file("telephone.wav");
        SpeechFiles::run("ffmpeg -v error -y -i " + SpeechFiles::shellQuoted(meeting.path)
            + " -af highpass=f=300,lowpass=f=3400 -ar 8000 -ac 1 " + SpeechFiles::shellQuoted(heard));
    }
    Pcm pcm = decoded(heard);
    if (param.noiseSnrDb > 0) {
        addWhiteNoise(pcm, param.noiseSnrDb);
    }
    for (auto& sample : pcm.samples) {
        sample = static_cast<std::int16_t>(std::clamp(sample * param.gain + param.offset, -32768, 32767));
    }
    const auto turns = server::SpeakerDetector::detect(pcm);
    const double share = attributedShare(meeting, turns);
    std::cout << "[ SPEAKERS ] " << param.name << ": " << speakersOf(turns).size() << " found, "
              << share * 100 << " % attributed\n";
    EXPECT_EQ(speakersOf(turns).size(),
        std::set<std::string>(meeting.speakers.begin(), meeting.speakers.end()).size());
    EXPECT_GT(share, param.share);

    for (std::size_t i = 1; param.exactTurns && i < meeting.spans.size(); ++i) {
        // The change lies in the pause: the one before is gone by 0.1 s into the
        // next turn, and the next not yet there 0.1 s before the previous one ends.
        if (meeting.speakers[i] != meeting.speakers[i - 1]) {
            EXPECT_NE(detectedAt(turns, meeting.spans[i].start + 0.1),
                detectedAt(turns, meeting.spans[i - 1].end - 0.1))
                << "change at " << meeting.spans[i].start << " s";
        }
    }
    // Block by block, as stored recordings are read, gives the same turns.
    server::SpeakerDetector::Analysis analysis;
    for (std::size_t first = 0; first < pcm.samples.size(); first += 1234) {
        analysis.add(pcm.samples.data() + first, std::min<std::size_t>(1234, pcm.samples.size() - first));
    }
    const auto blocks = analysis.finish();
    ASSERT_EQ(blocks.size(), turns.size());
    for (std::size_t i = 0; i < turns.size(); ++i) {
        EXPECT_DOUBLE_EQ(blocks[i].start, turns[i].start);
        EXPECT_EQ(blocks[i].speaker, turns[i].speaker);
    }
}

INSTANTIATE_TEST_SUITE_P(Meetings, SpeakerDetectorMeetings,
    ::testing::Values(MeetingCase { .name = "one voice alone", .voices = { "rms" } },
        MeetingCase { .name = "a low and a high voice", .voices = { "rms", "slt" }, .exactTurns = true },
        // rms and awb are both low male voices: pitch alone cannot part them.
        MeetingCase { .name = "two voices of similar pitch", .voices = { "rms", "awb" } },
        MeetingCase { .name = "three voices", .voices = { "rms", "slt", "awb" } },
        MeetingCase { .name = "two voices in noise at 15 dB", .voices = { "rms", "slt" }, .noiseSnrDb = 15 },
        MeetingCase {
            .name = "two voices with a DC offset", .voices = { "rms", "slt" }, .offset = 6000, .share = 0.9 },
        MeetingCase { .name = "two voices clipped", .voices = { "rms", "slt" }, .gain = 8, .share = 0.9 },
        MeetingCase { .name = "two real recorded voices" },
        MeetingCase { .name = "two real voices by telephone", .telephone = true, .share = 0.9 }),
    [](const auto& info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

TEST(SpeakerDetector, SilenceAHumAndMusicAreAtMostOneSpeaker)
{
    Pcm hum;
    for (int i = 0; i < 20 * server::AudioDecoder::kSampleRate; ++i) {
        hum.samples.push_back(static_cast<std::int16_t>(8000 * std::sin(i * 2 * M_PI * 440 / 16000)));
    }
    EXPECT_TRUE(server::SpeakerDetector::detect(Pcm { std::vector<std::int16_t>(16000 * 30, 0) }).empty());
    EXPECT_TRUE(server::SpeakerDetector::detect(Pcm {}).empty());
    // A steady tone (a hum, a held note) has no dynamics and no turns.
    EXPECT_TRUE(server::SpeakerDetector::detect(hum).empty());

    // A melody of plucked notes with harmonics: voiced, rhythmic, and nobody's voice.
    TemporaryDirectory directory;
    const std::string path = directory.file("music.wav");
    const std::string pitch = "220*pow(2,mod(floor(2*t)*5,12)/12)";
    const std::string note = "exp(-4*mod(t,0.5))*(sin(2*PI*" + pitch + "*t)+0.5*sin(4*PI*" + pitch
        + "*t)+0.25*sin(6*PI*" + pitch + "*t))";
    SpeechFiles::run("ffmpeg -v error -y -f lavfi -i "
        + SpeechFiles::shellQuoted("aevalsrc='0.3*" + note + "':s=16000:d=30") + " "
        + SpeechFiles::shellQuoted(path));
    EXPECT_LE(speakersOf(server::SpeakerDetector::detect(decoded(path))).size(), 1u);
}

// Sentences of a licence, for a meeting long enough that no line comes round again.
std::vector<std::string> licenceSentences(std::size_t count)
{
    std::ifstream file("/usr/share/common-licenses/GPL-3");
    const auto text
        = std::regex_replace(std::string(std::istreambuf_iterator<char>(file), {}), std::regex("\\s+"), " ");
    const std::regex sentence("[A-Z][^.;:]{40,160}[.;:]");
    std::vector<std::string> result;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), sentence);
         it != std::sregex_iterator() && result.size() < count; ++it) {
        result.push_back(it->str());
    }
    return result;
}

// Under a hundredth of a long meeting's voice is too little to name a speaker
// by: it joins the nearest one, as a cough or a laugh does in a short meeting.
TEST(SpeakerDetector, ABriefRemarkInALongMeetingJoinsTheNearestSpeaker)
{
    TemporaryDirectory directory;
    Meeting meeting { directory.file("long.m4a"), {}, {} };
    std::vector<SpeechFiles::Line> lines;
    for (const auto& text : licenceSentences(48)) {
        meeting.speakers.push_back(lines.size() / 2 % 2 ? "slt" : "rms");
        lines.push_back({ meeting.speakers.back(), text });
    }
    // Halfway through six minutes, a second and a half of a third voice.
    lines.insert(lines.begin() + 24, { "kal", "Yes, I agree." });
    meeting.speakers.insert(meeting.speakers.begin() + 24, "rms");
    meeting.spans = SpeechFiles::makeM4a(lines, meeting.path, 0.7);
    const auto turns = server::SpeakerDetector::detect(decoded(meeting.path));
    std::cout << "[ SPEAKERS ] " << meeting.spans.back().end << " s: " << speakersOf(turns).size()
              << " found, " << attributedShare(meeting, turns) * 100 << " % attributed\n";
    EXPECT_EQ(speakersOf(turns).size(), 2u);
    EXPECT_GT(attributedShare(meeting, turns), 0.95);
}

TEST(SpeakerDetector, AWorkingFolderItCannotWriteIsAClearError)
{
    EXPECT_THAT([] { server::SpeakerDetector::Analysis analysis("/nonexistent/tallisen"); },
        ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq(
            "The server could not keep its speaker analysis on disk: No such file or directory.")));
}

} // namespace
