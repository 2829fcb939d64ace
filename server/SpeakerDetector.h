#pragma once

#include "AudioDecoder.h"

#include <string>
#include <vector>

// A basic local speaker detector: voice activity, the voice pitch of every
// window of speech, and clustering of the windows into speakers. It tells apart
// voices of clearly different pitch; it cannot separate two similar voices, nor
// people talking over each other.
namespace server::SpeakerDetector {

struct Turn
{
    double start = 0;
    double end = 0;
    std::string speaker;
};

// Turns in time order, labelled "SPEAKER_00", "SPEAKER_01", … by first appearance.
std::vector<Turn> detect(const AudioDecoder::Pcm& pcm);

// Median voice pitch of the samples in hertz, or 0 when too little of it is voiced.
double medianPitch(const std::int16_t* samples, std::size_t count);

} // namespace server::SpeakerDetector
