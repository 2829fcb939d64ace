#include "SpeechFiles.h"

#include "AudioDecoder.h"
#include "SpeakerDetector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <map>
#include <numeric>
#include <random>
#include <set>

namespace {

using server::AudioDecoder::Pcm;
using server::SpeakerDetector::Turn;
using SpeechFiles::TemporaryDirectory;

struct TruthTurn
{
    double start;
    double end;
    std::string speaker;
};

const std::vector<std::string> kLines {
    "Let us review the budget for the next quarter.",
    "I think we should hire two more engineers this year.",
    "The customer wants the new release before the end of the month.",
    "Please send me the meeting notes after lunch.",
    "We will ship the fix on Friday afternoon.",
    "Can you share the numbers with the whole team?",
};

// A meeting of flite voices taking turns, each turn two lines.
std::pair<Pcm, std::vector<TruthTurn>> fliteMeeting(
    const TemporaryDirectory& directory, const std::vector<std::string>& voices, std::size_t turns)
{
    std::vector<SpeechFiles::Line> lines;
    for (std::size_t t = 0; t < turns; ++t) {
        for (std::size_t k = 0; k < 2; ++k) {
            lines.push_back({ voices[t % voices.size()], kLines[(2 * t + k) % kLines.size()] });
        }
    }
    const std::string path = directory.file("meeting.m4a");
    const auto spans = SpeechFiles::makeM4a(lines, path, 0.7);
    std::vector<TruthTurn> truth;
    for (std::size_t i = 0; i < spans.size(); ++i) {
        truth.push_back({ spans[i].start, spans[i].end, lines[i].voice });
    }
    return { server::AudioDecoder::decodeBytes(SpeechFiles::read(path), 600), truth };
}

// Real recorded voices from Debian's test data: a LibriVox reader and the
// Asterisk prompts' speaker.
std::pair<Pcm, std::vector<TruthTurn>> realMeeting(const TemporaryDirectory& directory)
{
    const std::string librivox
        = "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0";
    const std::string prompts = "/usr/share/asterisk/sounds/en_US_f_Allison/";
    const std::vector<std::pair<std::string, std::string>> clips { { "reader", librivox + "870.wav" },
        { "prompts", prompts + "vm-intro.g722" }, { "reader", librivox + "920.wav" },
        { "prompts", prompts + "conf-onlyperson.g722" }, { "reader", librivox + "890.wav" },
        { "prompts", prompts + "vm-intro.g722" } };
    std::string inputs;
    std::string filter;
    std::vector<TruthTurn> truth;
    double at = 0;
    for (std::size_t i = 0; i < clips.size(); ++i) {
        const std::string wav = directory.file("clip" + std::to_string(i) + ".wav");
        const bool g722 = clips[i].second.ends_with(".g722");
        SpeechFiles::run(std::string("ffmpeg -y ") + (g722 ? "-f g722 " : "") + "-i "
            + SpeechFiles::shellQuoted(clips[i].second) + " -ar 16000 -ac 1 "
            + SpeechFiles::shellQuoted(wav));
        const double seconds = SpeechFiles::wavSeconds(wav);
        truth.push_back({ at, at + seconds, clips[i].first });
        at += seconds + 0.8;
        inputs += " -i " + SpeechFiles::shellQuoted(wav);
        filter += "[" + std::to_string(i) + ":a]apad=pad_dur=0.8[a" + std::to_string(i) + "];";
    }
    for (std::size_t i = 0; i < clips.size(); ++i) {
        filter += "[a" + std::to_string(i) + "]";
    }
    filter += "concat=n=" + std::to_string(clips.size()) + ":v=0:a=1[out]";
    const std::string path = directory.file("real.m4a");
    SpeechFiles::run("ffmpeg -y" + inputs + " -filter_complex " + SpeechFiles::shellQuoted(filter)
        + " -map '[out]' -ac 1 -ar 48000 -c:a aac -b:a 64k " + SpeechFiles::shellQuoted(path));
    return { server::AudioDecoder::decodeBytes(SpeechFiles::read(path), 600), truth };
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

// Share of the true speech, sampled every 20 ms inside each turn, given to the
// right speaker under the best one-to-one mapping of labels.
double attributedShare(const std::vector<TruthTurn>& truth, const std::vector<Turn>& turns)
{
    std::map<std::pair<std::string, std::string>, double> counts;
    double total = 0;
    for (const auto& turn : truth) {
        for (double t = turn.start + 0.1; t < turn.end - 0.1; t += 0.02) {
            counts[{ turn.speaker, detectedAt(turns, t) }] += 1;
            total += 1;
        }
    }
    std::set<std::string> trueSpeakers;
    std::vector<std::string> found;
    for (const auto& turn : truth) {
        trueSpeakers.insert(turn.speaker);
    }
    for (const auto& turn : turns) {
        if (std::find(found.begin(), found.end(), turn.speaker) == found.end()) {
            found.push_back(turn.speaker);
        }
    }
    while (found.size() < trueSpeakers.size()) {
        found.push_back("none " + std::to_string(found.size()));
    }
    std::sort(found.begin(), found.end());
    double best = 0;
    do {
        double right = 0;
        std::size_t k = 0;
        for (const auto& speaker : trueSpeakers) {
            right += counts[{ speaker, found[k++] }];
        }
        best = std::max(best, right);
    } while (std::next_permutation(found.begin(), found.end()));
    return best / total;
}

std::size_t speakerCount(const std::vector<Turn>& turns)
{
    std::set<std::string> speakers;
    for (const auto& turn : turns) {
        speakers.insert(turn.speaker);
    }
    return speakers.size();
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
    std::vector<std::string> voices;
    std::size_t turns;
    double noiseSnrDb; // 0: clean
};

class SpeakerDetectorMeetings : public ::testing::TestWithParam<MeetingCase>
{
};

TEST_P(SpeakerDetectorMeetings, FindsEverySpeakerAndTheirTurns)
{
    const auto& meeting = GetParam();
    TemporaryDirectory directory;
    auto [pcm, truth] = fliteMeeting(directory, meeting.voices, meeting.turns);
    if (meeting.noiseSnrDb > 0) {
        addWhiteNoise(pcm, meeting.noiseSnrDb);
    }
    const auto turns = server::SpeakerDetector::detect(pcm);
    const double share = attributedShare(truth, turns);
    std::cout << "[ SPEAKERS ] " << meeting.name << ": " << speakerCount(turns) << " found, " << share * 100
              << " % attributed\n";
    EXPECT_EQ(
        speakerCount(turns), std::set<std::string>(meeting.voices.begin(), meeting.voices.end()).size());
    EXPECT_GT(share, 0.95);
}

INSTANTIATE_TEST_SUITE_P(Flite, SpeakerDetectorMeetings,
    ::testing::Values(MeetingCase { "one voice alone", { "rms" }, 3, 0 },
        MeetingCase { "a low and a high voice", { "rms", "slt" }, 4, 0 },
        // rms and awb are both low male voices: pitch alone cannot part them.
        MeetingCase { "two voices of similar pitch", { "rms", "awb" }, 4, 0 },
        MeetingCase { "three voices", { "rms", "slt", "awb" }, 6, 0 },
        MeetingCase { "two voices in noise at 15 dB", { "rms", "slt" }, 4, 15 }),
    [](const auto& info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

TEST(SpeakerDetector, TellsTwoRealRecordedVoicesApart)
{
    TemporaryDirectory directory;
    const auto [pcm, truth] = realMeeting(directory);
    const auto turns = server::SpeakerDetector::detect(pcm);
    EXPECT_EQ(speakerCount(turns), 2u);
    EXPECT_GT(attributedShare(truth, turns), 0.95);
}

TEST(SpeakerDetector, TurnBoundariesLieWithinATenthOfASecondOfTheTruth)
{
    TemporaryDirectory directory;
    const auto [pcm, truth] = fliteMeeting(directory, { "rms", "slt" }, 4);
    const auto turns = server::SpeakerDetector::detect(pcm);
    for (std::size_t i = 1; i < truth.size(); ++i) {
        if (truth[i].speaker == truth[i - 1].speaker) {
            continue;
        }
        // The change lies in the pause: the speaker before must be gone by the
        // next turn's start (+0.1 s) and the next speaker not yet there before
        // the previous turn's end (−0.1 s).
        EXPECT_NE(detectedAt(turns, truth[i].start + 0.1), detectedAt(turns, truth[i - 1].end - 0.1))
            << "change at " << truth[i].start << " s";
    }
}

Pcm tone(double seconds, double dc)
{
    Pcm pcm;
    for (std::size_t i = 0; i < static_cast<std::size_t>(seconds * server::AudioDecoder::kSampleRate); ++i) {
        pcm.samples.push_back(static_cast<std::int16_t>(dc + 8000 * std::sin(i * 2 * M_PI * 440 / 16000)));
    }
    return pcm;
}

TEST(SpeakerDetector, AudioWithoutSpeechHasNoSpeakers)
{
    EXPECT_TRUE(server::SpeakerDetector::detect(Pcm { std::vector<std::int16_t>(16000 * 30, 0) }).empty());
    EXPECT_TRUE(server::SpeakerDetector::detect(Pcm {}).empty());
    // A steady tone (a hum, a held note) has no dynamics and no turns.
    EXPECT_TRUE(server::SpeakerDetector::detect(tone(20, 0)).empty());
}

TEST(SpeakerDetector, ADcOffsetOrClippingDoesNotHideTheSpeakers)
{
    TemporaryDirectory directory;
    const auto [clean, truth] = fliteMeeting(directory, { "rms", "slt" }, 4);
    for (const auto& [name, change] :
        std::vector<std::pair<std::string, std::function<std::int16_t(std::int16_t)>>> {
            { "DC offset",
                [](std::int16_t s) {
                    return static_cast<std::int16_t>(std::clamp(s + 6000, -32768, 32767));
                } },
            { "clipping", [](std::int16_t s) {
                 return static_cast<std::int16_t>(std::clamp(s * 8, -32768, 32767));
             } } }) {
        Pcm pcm = clean;
        std::transform(pcm.samples.begin(), pcm.samples.end(), pcm.samples.begin(), change);
        const auto turns = server::SpeakerDetector::detect(pcm);
        EXPECT_EQ(speakerCount(turns), 2u) << name;
        EXPECT_GT(attributedShare(truth, turns), 0.9) << name;
    }
}

TEST(SpeakerDetector, MusicIsAtMostOneSpeaker)
{
    // A melody of plucked notes with harmonics: voiced, rhythmic, and nobody's voice.
    TemporaryDirectory directory;
    const std::string path = directory.file("music.wav");
    const std::string pitch = "220*pow(2,mod(floor(2*t)*5,12)/12)";
    const std::string note = "exp(-4*mod(t,0.5))*(sin(2*PI*" + pitch + "*t)+0.5*sin(4*PI*" + pitch
        + "*t)+0.25*sin(6*PI*" + pitch + "*t))";
    SpeechFiles::run("ffmpeg -v error -y -f lavfi -i "
        + SpeechFiles::shellQuoted("aevalsrc='0.3*" + note + "':s=16000:d=30") + " "
        + SpeechFiles::shellQuoted(path));
    const auto turns
        = server::SpeakerDetector::detect(server::AudioDecoder::decodeBytes(SpeechFiles::read(path), 600));
    EXPECT_LE(speakerCount(turns), 1u);
}

TEST(SpeakerDetector, TelephoneAudioStillTellsTheVoicesApart)
{
    // 8 kHz, 300–3400 Hz: the band a phone line carries.
    TemporaryDirectory directory;
    const auto truth = realMeeting(directory).second;
    const std::string path = directory.file("telephone.wav");
    SpeechFiles::run("ffmpeg -v error -y -i " + SpeechFiles::shellQuoted(directory.file("real.m4a"))
        + " -af highpass=f=300,lowpass=f=3400 -ar 8000 -ac 1 " + SpeechFiles::shellQuoted(path));
    const auto turns
        = server::SpeakerDetector::detect(server::AudioDecoder::decodeBytes(SpeechFiles::read(path), 600));
    EXPECT_EQ(speakerCount(turns), 2u);
    EXPECT_GT(attributedShare(truth, turns), 0.9);
}

TEST(SpeakerDetector, BlockByBlockGivesTheSameTurnsAsWhole)
{
    TemporaryDirectory directory;
    const auto [pcm, truth] = fliteMeeting(directory, { "rms", "slt" }, 2);
    server::SpeakerDetector::Analysis analysis;
    for (std::size_t first = 0; first < pcm.samples.size(); first += 1234) {
        analysis.add(pcm.samples.data() + first, std::min<std::size_t>(1234, pcm.samples.size() - first));
    }
    const auto blocks = analysis.finish();
    const auto whole = server::SpeakerDetector::detect(pcm);
    ASSERT_EQ(blocks.size(), whole.size());
    for (std::size_t i = 0; i < whole.size(); ++i) {
        EXPECT_DOUBLE_EQ(blocks[i].start, whole[i].start);
        EXPECT_EQ(blocks[i].speaker, whole[i].speaker);
    }
}

} // namespace
