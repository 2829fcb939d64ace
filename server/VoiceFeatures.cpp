#include "VoiceFeatures.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace server::VoiceFeatures {

namespace {

constexpr std::size_t kHop = 160; // 10 ms
constexpr std::size_t kWindow = 400; // 25 ms for the spectrum
constexpr std::size_t kPitchWindow = 640; // 40 ms: two periods of the lowest voice
constexpr std::size_t kFft = 512;
constexpr int kMelFilters = 24;
constexpr double kLowestHz = 100;
constexpr double kHighestHz = 7000;
constexpr float kPreEmphasis = 0.97F;

constexpr int kDecimation = 2; // pitch is found at 8 kHz
constexpr double kLowestPitch = 60;
constexpr double kHighestPitch = 400;
constexpr double kVoicedCorrelation = 0.5;

double mel(double hz)
{
    return 2595.0 * std::log10(1.0 + hz / 700.0);
}

double hzOfMel(double value)
{
    return 700.0 * (std::pow(10.0, value / 2595.0) - 1.0);
}

// Triangular filters, each a list of (FFT bin, weight).
std::vector<std::vector<std::pair<int, float>>> melFilters()
{
    std::vector<double> edges;
    for (int i = 0; i < kMelFilters + 2; ++i) {
        edges.push_back(hzOfMel(mel(kLowestHz) + (mel(kHighestHz) - mel(kLowestHz)) * i / (kMelFilters + 1)));
    }
    std::vector<std::vector<std::pair<int, float>>> filters(kMelFilters);
    for (int f = 0; f < kMelFilters; ++f) {
        for (std::size_t bin = 1; bin < kFft / 2; ++bin) {
            const double hz = static_cast<double>(bin) * kSampleRate / kFft;
            const double rising = (hz - edges[f]) / (edges[f + 1] - edges[f]);
            const double falling = (edges[f + 2] - hz) / (edges[f + 2] - edges[f + 1]);
            const double weight = std::min(rising, falling);
            if (weight > 0) {
                filters[f].push_back({ static_cast<int>(bin), static_cast<float>(weight) });
            }
        }
    }
    return filters;
}

// In-place iterative radix-2 FFT.
void fft(std::vector<std::complex<float>>& data, const std::vector<std::complex<float>>& twiddles)
{
    const std::size_t n = data.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) {
            j ^= bit;
        }
        j ^= bit;
        if (i < j) {
            std::swap(data[i], data[j]);
        }
    }
    for (std::size_t length = 2; length <= n; length <<= 1) {
        const std::size_t stride = n / length;
        for (std::size_t first = 0; first < n; first += length) {
            for (std::size_t k = 0; k < length / 2; ++k) {
                const auto odd = data[first + k + length / 2] * twiddles[k * stride];
                data[first + k + length / 2] = data[first + k] - odd;
                data[first + k] += odd;
            }
        }
    }
}

} // namespace

float pitch(const float* samples, std::size_t count)
{
    const std::size_t n = count / kDecimation;
    std::vector<float> x(n);
    double mean = 0;
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = (samples[i * kDecimation] + samples[i * kDecimation + 1]) * 0.5F;
        mean += x[i];
    }
    mean /= static_cast<double>(n);
    for (float& v : x) {
        v -= static_cast<float>(mean);
    }
    const double rate = static_cast<double>(kSampleRate) / kDecimation;
    const auto shortestLag = static_cast<std::size_t>(rate / kHighestPitch);
    const auto longestLag = std::min(static_cast<std::size_t>(rate / kLowestPitch), n / 2);
    double best = 0;
    std::size_t bestLag = 0;
    for (std::size_t lag = shortestLag; lag <= longestLag; ++lag) {
        double product = 0;
        double energyA = 0;
        double energyB = 0;
        for (std::size_t i = 0; i + lag < n; ++i) {
            product += x[i] * x[i + lag];
            energyA += x[i] * x[i];
            energyB += x[i + lag] * x[i + lag];
        }
        const double correlation = product / std::sqrt(energyA * energyB + 1e-9);
        if (correlation > best) {
            best = correlation;
            bestLag = lag;
        }
    }
    if (best < kVoicedCorrelation || bestLag == 0) {
        return 0;
    }
    return static_cast<float>(rate / static_cast<double>(bestLag));
}

Analyser::Analyser()
    : m_window(kWindow)
    , m_melFilters(melFilters())
    , m_twiddles(kFft / 2)
    , m_spectrum(kFft)
{
    for (std::size_t i = 0; i < kWindow; ++i) {
        m_window[i] = static_cast<float>(0.54 - 0.46 * std::cos(2 * std::numbers::pi * i / (kWindow - 1)));
    }
    for (std::size_t k = 0; k < kFft / 2; ++k) {
        m_twiddles[k] = std::polar(1.0F, static_cast<float>(-2 * std::numbers::pi * k / kFft));
    }
}

void Analyser::add(const std::int16_t* samples, std::size_t count, std::vector<Frame>& frames)
{
    m_pending.insert(m_pending.end(), samples, samples + count);
    std::size_t first = 0;
    for (; first + kPitchWindow <= m_pending.size(); first += kHop) {
        frames.push_back(analyse(m_pending.data() + first));
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<long>(first));
}

Frame Analyser::analyse(const float* samples)
{
    Frame frame;
    // Around the frame's own mean, so a DC offset does not pass for speech.
    double sum = 0;
    double squares = 0;
    for (std::size_t i = 0; i < kWindow; ++i) {
        sum += samples[i];
        squares += static_cast<double>(samples[i]) * samples[i];
    }
    const double power = std::max(0.0, squares / kWindow - (sum / kWindow) * (sum / kWindow));
    frame.energyDb = static_cast<float>(10.0 * std::log10(power + 1.0));
    frame.pitch = pitch(samples, kPitchWindow);
    cepstrum(samples, frame);
    return frame;
}

void Analyser::cepstrum(const float* samples, Frame& frame)
{
    for (std::size_t i = 0; i < kFft; ++i) {
        const float previous = i > 0 && i < kWindow ? samples[i - 1] : 0.0F;
        const float value = i < kWindow ? (samples[i] - kPreEmphasis * previous) * m_window[i] : 0.0F;
        m_spectrum[i] = { value, 0.0F };
    }
    fft(m_spectrum, m_twiddles);
    std::array<double, kMelFilters> logMel {};
    for (int f = 0; f < kMelFilters; ++f) {
        double sum = 0;
        for (const auto& [bin, weight] : m_melFilters[f]) {
            sum += weight * std::norm(m_spectrum[bin]);
        }
        // The floor keeps silent or band-limited (telephone) audio finite.
        logMel[f] = std::log(sum + 1.0);
    }
    for (int c = 0; c < kCepstra; ++c) {
        double sum = 0;
        for (int f = 0; f < kMelFilters; ++f) {
            sum += logMel[f] * std::cos(std::numbers::pi * (c + 1) * (f + 0.5) / kMelFilters);
        }
        frame.cepstrum[c] = static_cast<float>(sum);
    }
}

} // namespace server::VoiceFeatures
