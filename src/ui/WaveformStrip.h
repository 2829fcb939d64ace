#pragma once

// A strip of peak bars for one audio file, with the playback position drawn
// over it. The file is decoded on a worker thread so the sheet opens at once.

#include <QWidget>

#include <vector>

class WaveformStrip : public QWidget
{
    Q_OBJECT

public:
    explicit WaveformStrip(QWidget* parent = nullptr);

    // Starts decoding the file; the bars appear when it is done.
    void load(const QString& path);
    // Playback position as a fraction of the whole, 0 … 1.
    void setProgress(double fraction);
    const std::vector<float>& peaks() const { return m_peaks; }
    // Shows decoded peaks; emits peaksReady().
    void setPeaks(std::vector<float> peaks);

    // The loudest absolute sample of each of `buckets` equal slices of the
    // file, mixed to mono; empty when the file cannot be decoded.
    static std::vector<float> computePeaks(const QString& path, int buckets);

signals:
    void peaksReady();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::vector<float> m_peaks;
    double m_progress = 0;
};
