#pragma once

#include "AudioDecoder.h"
#include "VoiceActivity.h"
#include "VoiceFeatures.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// The local speaker detector. Speech is found by voice activity against the
// recording's own noise floor; each few seconds of voiced speech is described by a
// Gaussian over its mel cepstra and pitch; the seconds are clustered by the
// Bayesian information criterion, which also decides how many speakers there
// are (1 to 8); a Viterbi pass over the frames then places every change of
// speaker to within 10 ms, and where voices overlap the one that fits the frames
// best, the dominant one, wins. A "speaker" whose pitch holds still like an
// instrument's is music and nobody's turn. Runs on the caller's thread; one
// Analysis per recording.
namespace server::SpeakerDetector {

struct Turn
{
    double start = 0;
    double end = 0;
    std::string speaker;
};

constexpr int kMostSpeakers = 8;

// Fed block by block, so a long recording is never held whole. Its frames'
// features go to an unlinked temporary file as they come; memory keeps 8 bytes
// per 10 ms for voice activity and a bounded working set, so a 4-hour meeting
// costs about what a short one does.
class Analysis
{
public:
    // The working file is made in `directory` and unlinked at once.
    explicit Analysis(const std::string& directory = std::filesystem::temp_directory_path());
    void add(const std::int16_t* samples, std::size_t count);
    // Turns in time order, labelled "SPEAKER_00", "SPEAKER_01", … by first appearance.
    std::vector<Turn> finish() const;

private:
    struct FileCloser
    {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };

    VoiceFeatures::Analyser m_analyser;
    std::vector<VoiceFeatures::Frame> m_new;
    std::unique_ptr<std::FILE, FileCloser> m_frames;
    std::vector<VoiceActivity::Level> m_levels;
};

std::vector<Turn> detect(const AudioDecoder::Pcm& pcm);

} // namespace server::SpeakerDetector
