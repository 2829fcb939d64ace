#pragma once

// A modal sheet that plays one pending job's mixed audio from the local disk.
// It uploads nothing, changes nothing on disk and never touches the model;
// everything runs on the main thread.

#include "store/PendingRecording.h"

#include <QAudioOutput>
#include <QDialog>
#include <QMediaPlayer>
#include <QTimer>

#include <optional>

class QLabel;
class QPushButton;
class QSlider;
class QWidget;
class WaveformStrip;

class RecordingPreview : public QDialog
{
    Q_OBJECT

public:
    explicit RecordingPreview(const PendingRecording& job, QWidget* parent = nullptr);
    ~RecordingPreview() override;

    // "%d:%02d" minutes and seconds, minutes never wrapped into hours.
    static QString time(double seconds);

    double position() const { return m_position; }
    bool isPlaying() const { return m_isPlaying; }
    std::optional<QString> error() const { return m_error; }
    bool hasPlayer() const { return m_playerReady; }
    QMediaPlayer& player() { return m_player; }
    WaveformStrip& waveform() { return *m_waveform; }

public slots:
    void togglePlayback();
    void seek(double seconds);

protected:
    void showEvent(QShowEvent* event) override;
    void done(int result) override;

private:
    void load();
    void onMediaStatus(QMediaPlayer::MediaStatus status);
    void onPlayerError(QMediaPlayer::Error error, const QString& description);
    void poll();
    void showError(const QString& text);
    void updateControls();
    double duration() const;

    PendingRecording m_job;
    QMediaPlayer m_player;
    QAudioOutput m_output;
    QTimer m_pollTimer;
    double m_position = 0;
    bool m_isPlaying = false;
    bool m_playerReady = false;
    bool m_loadStarted = false;
    std::optional<QString> m_error;

    QLabel* m_errorLabel;
    WaveformStrip* m_waveform;
    QWidget* m_playerRow;
    QSlider* m_slider;
    QPushButton* m_playButton;
    QLabel* m_timeLabel;
};
