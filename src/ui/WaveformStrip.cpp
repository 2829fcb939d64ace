#include "ui/WaveformStrip.h"

#include "core/WorkerThread.h"
#include "pipeline/AudioReader.h"

#include <QPainter>
#include <QPointer>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kBuckets = 200;
constexpr int kBlockFrames = 4096;

WorkerThread& decodingThread()
{
    static WorkerThread thread;
    return thread;
}

// Owns no widget: a strip closed before its file is decoded just drops the
// result.
QCoro::Task<> showPeaks(QPointer<WaveformStrip> strip, QString path)
{
    auto decoding = decodingThread().run([path] { return WaveformStrip::computePeaks(path, kBuckets); });
    std::vector<float> peaks = co_await std::move(decoding);
    if (strip) {
        strip->setPeaks(std::move(peaks));
    }
}

} // namespace

WaveformStrip::WaveformStrip(QWidget* parent)
    : QWidget(parent)
{
    setMinimumHeight(48);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void WaveformStrip::load(const QString& path)
{
    showPeaks(QPointer<WaveformStrip>(this), path);
}

void WaveformStrip::setPeaks(std::vector<float> peaks)
{
    m_peaks = std::move(peaks);
    update();
    emit peaksReady();
}

void WaveformStrip::setProgress(double fraction)
{
    m_progress = std::clamp(std::isfinite(fraction) ? fraction : 0.0, 0.0, 1.0);
    update();
}

std::vector<float> WaveformStrip::computePeaks(const QString& path, int buckets)
{
    try {
        AudioReader reader(path, 1);
        const double duration = reader.duration();
        if (!(duration > 0) || buckets <= 0) {
            return {};
        }
        const double framesPerBucket = duration * reader.sampleRate() / buckets;
        std::vector<float> peaks(static_cast<size_t>(buckets), 0.0f);
        std::vector<float> block(kBlockFrames);
        float* planes[] = { block.data() };
        std::int64_t position = 0;
        while (const int frames = reader.read(planes, kBlockFrames)) {
            for (int i = 0; i < frames; ++i, ++position) {
                const auto bucket
                    = std::min<size_t>(static_cast<size_t>(position / framesPerBucket), peaks.size() - 1);
                peaks[bucket] = std::max(peaks[bucket], std::fabs(block[static_cast<size_t>(i)]));
            }
        }
        return peaks;
    } catch (const std::exception&) {
        // The sheet shows the player's own error for a file it cannot open.
        return {};
    }
}

void WaveformStrip::paintEvent(QPaintEvent*)
{
    if (m_peaks.empty()) {
        return;
    }
    QPainter painter(this);
    const double barWidth = static_cast<double>(width()) / static_cast<double>(m_peaks.size());
    const double middle = height() / 2.0;
    const double played = m_progress * width();
    for (size_t i = 0; i < m_peaks.size(); ++i) {
        const double x = static_cast<double>(i) * barWidth;
        const double half = std::max(1.0, static_cast<double>(m_peaks[i]) * middle);
        painter.fillRect(QRectF(x, middle - half, std::max(1.0, barWidth - 1), 2 * half),
            x < played ? palette().color(QPalette::Highlight) : palette().color(QPalette::Mid));
    }
}
