#pragma once

// Test-side audio tools: known tones written as WAV or as multi-track MP4
// fixtures (through the ffmpeg command), and decoding plus tone measurement
// of whatever the recorder wrote.

#include <QString>

#include <vector>

namespace AudioProbe {

inline constexpr int kRate = 48000;

struct Tone
{
    double frequency = 440;
    double seconds = 1;
    double amplitude = 0.5;
    // Position on the file's timeline (a container start time, not silence).
    double startSeconds = 0;
};

struct DecodedTrack
{
    double startSeconds = 0;
    int sampleRate = 0;
    std::vector<float> samples; // first channel only

    double seconds() const { return sampleRate ? double(samples.size()) / sampleRate : 0; }
};

// Mono 16-bit WAV: `leadingSilence` seconds of silence, then the tone.
void writeToneWav(
    const QString& path, double frequency, double seconds, double amplitude, double leadingSilence = 0);
// An MP4 with one AAC track per tone.
void writeToneMp4(const QString& path, const std::vector<Tone>& tones);
// An MP4 with a video track only.
void writeVideoOnlyMp4(const QString& path);
// A fragmented MP4 with two AAC tracks, the second holding no samples at all.
void writeMp4WithEmptySecondTrack(const QString& path);

// Every audio track of the file, in order. Throws std::runtime_error.
std::vector<DecodedTrack> decode(const QString& path);

// Amplitude of a sine at `frequency` within [from, to) seconds (Goertzel).
double level(const DecodedTrack& track, double frequency, double from, double to);
// First time (seconds, 10 ms steps) at which the tone's level exceeds `threshold`; -1 when never.
double onset(const DecodedTrack& track, double frequency, double threshold);

// The root-mean-square difference of two tracks of the same length, relative
// to the first one's.
double relativeDifference(const DecodedTrack& a, const DecodedTrack& b);

} // namespace AudioProbe
