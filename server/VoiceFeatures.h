#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <vector>

// Per-frame voice features of 16 kHz mono audio, computed block by block so a
// long recording never has to be held whole: mel cepstra (the shape of the
// voice), the frame's energy and its pitch. One analyser per stream; not shared
// between threads.
namespace server::VoiceFeatures {

constexpr int kSampleRate = 16000;
constexpr double kFrameSeconds = 0.01;
constexpr int kCepstra = 12;

struct Frame
{
    std::array<float, kCepstra> cepstrum {};
    float energyDb = 0;
    // Hertz; 0 when the frame is not voiced.
    float pitch = 0;
};

class Analyser
{
public:
    Analyser();

    // Appends the frames that `count` more samples complete.
    void add(const std::int16_t* samples, std::size_t count, std::vector<Frame>& frames);

private:
    Frame analyse(const float* samples);
    void cepstrum(const float* samples, Frame& frame);

    std::vector<float> m_pending;
    std::vector<float> m_window;
    std::vector<std::vector<std::pair<int, float>>> m_melFilters;
    std::vector<std::complex<float>> m_twiddles;
    std::vector<std::complex<float>> m_spectrum;
};

// Voice pitch of `count` samples in hertz by normalised autocorrelation, or 0
// when they are not clearly voiced.
float pitch(const float* samples, std::size_t count);

} // namespace server::VoiceFeatures
