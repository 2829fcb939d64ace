#include "ui/RecordingPreview.h"

#include "ui/WaveformStrip.h"

#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QSlider>
#include <QVBoxLayout>

#include <cmath>

namespace {

// The slider works in milliseconds; its range never collapses below 10 ms.
constexpr double kMinimumRange = 0.01;
constexpr int kPollIntervalMs = 200;

QLabel* secondaryLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setForegroundRole(QPalette::PlaceholderText);
    label->setWordWrap(true);
    return label;
}

int milliseconds(double seconds)
{
    return static_cast<int>(std::lround(seconds * 1000.0));
}

} // namespace

RecordingPreview::RecordingPreview(const PendingRecording& job, QWidget* parent)
    : QDialog(parent)
    , m_job(job)
    , m_errorLabel(new QLabel(this))
    , m_waveform(nullptr)
    , m_playerRow(new QWidget(this))
    , m_slider(new QSlider(Qt::Horizontal, m_playerRow))
    , m_playButton(new QPushButton(m_playerRow))
    , m_timeLabel(new QLabel(m_playerRow))
{
    setWindowTitle(tr("Listen to recording"));
    setModal(true);
    setFixedWidth(420);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(18);
    layout->setContentsMargins(24, 24, 24, 24);

    auto* title = new QLabel(tr("Listen to recording"), this);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.4);
    titleFont.setBold(true);
    title->setFont(titleFont);
    layout->addWidget(title);

    layout->addWidget(secondaryLabel(m_job.recordedAt.toLocalText(), this));

    QPalette errorPalette = m_errorLabel->palette();
    errorPalette.setColor(QPalette::WindowText, Qt::red);
    m_errorLabel->setPalette(errorPalette);
    m_errorLabel->setWordWrap(true);
    m_errorLabel->hide();
    layout->addWidget(m_errorLabel);

    auto* playerLayout = new QVBoxLayout(m_playerRow);
    playerLayout->setContentsMargins(0, 0, 0, 0);
    m_waveform = new WaveformStrip(m_playerRow);
    playerLayout->addWidget(m_waveform);
    m_slider->setAccessibleName(tr("Playback position"));
    m_slider->setRange(0, milliseconds(kMinimumRange));
    playerLayout->addWidget(m_slider);
    auto* buttonRow = new QHBoxLayout;
    m_playButton->setAutoDefault(false);
    buttonRow->addWidget(m_playButton);
    buttonRow->addStretch();
    m_timeLabel->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    buttonRow->addWidget(m_timeLabel);
    playerLayout->addLayout(buttonRow);
    m_playerRow->hide();
    layout->addWidget(m_playerRow);

    auto* caption
        = secondaryLabel(tr("Plays the saved audio locally. Nothing is uploaded or discarded."), this);
    QFont captionFont = caption->font();
    captionFont.setPointSizeF(captionFont.pointSizeF() * 0.85);
    caption->setFont(captionFont);
    layout->addWidget(caption);

    auto* doneRow = new QHBoxLayout;
    doneRow->addStretch();
    auto* done = new QPushButton(tr("Done"), this);
    done->setDefault(true);
    connect(done, &QPushButton::clicked, this, &QDialog::accept);
    doneRow->addWidget(done);
    layout->addLayout(doneRow);

    m_player.setAudioOutput(&m_output);
    connect(&m_player, &QMediaPlayer::mediaStatusChanged, this, &RecordingPreview::onMediaStatus);
    connect(&m_player, &QMediaPlayer::errorOccurred, this, &RecordingPreview::onPlayerError);
    connect(m_playButton, &QPushButton::clicked, this, &RecordingPreview::togglePlayback);
    connect(m_slider, &QSlider::sliderMoved, this, [this](int value) { seek(value / 1000.0); });
    connect(&m_pollTimer, &QTimer::timeout, this, &RecordingPreview::poll);
    m_pollTimer.setInterval(kPollIntervalMs);
    auto* space = new QShortcut(QKeySequence(Qt::Key_Space), this);
    connect(space, &QShortcut::activated, this, [this] {
        if (m_playerReady) {
            togglePlayback();
        }
    });
    updateControls();
}

RecordingPreview::~RecordingPreview()
{
    m_player.stop();
}

QString RecordingPreview::time(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0) {
        seconds = 0;
    }
    const auto whole = static_cast<long long>(seconds);
    return QString::asprintf("%lld:%02lld", whole / 60, whole % 60);
}

void RecordingPreview::togglePlayback()
{
    if (m_player.playbackState() == QMediaPlayer::PlayingState) {
        m_player.pause();
    } else {
        if (duration() <= m_position) {
            m_player.setPosition(0);
            m_position = 0;
        }
        m_player.play();
        if (m_player.playbackState() != QMediaPlayer::PlayingState
            || m_player.error() != QMediaPlayer::NoError) {
            showError(tr("Could not start audio playback."));
        }
    }
    m_isPlaying = m_player.playbackState() == QMediaPlayer::PlayingState;
    updateControls();
}

void RecordingPreview::seek(double seconds)
{
    m_position = seconds;
    m_player.setPosition(milliseconds(seconds));
    updateControls();
}

void RecordingPreview::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!m_loadStarted) {
        m_loadStarted = true;
        load();
    }
}

void RecordingPreview::done(int result)
{
    // Closing stops the sound at once; the file stays untouched.
    m_pollTimer.stop();
    m_player.stop();
    QDialog::done(result);
}

void RecordingPreview::load()
{
    const QFileInfo file(m_job.audio());
    if (!file.exists()) {
        showError(tr("The file “%1” couldn’t be opened because there is no such file.").arg(file.fileName()));
        return;
    }
    if (!file.isFile() || !file.isReadable()) {
        showError(tr("The file “%1” couldn’t be opened because you don’t have permission to view it.")
                      .arg(file.fileName()));
        return;
    }
    m_player.setSource(QUrl::fromLocalFile(file.absoluteFilePath()));
    m_waveform->load(file.absoluteFilePath());
}

void RecordingPreview::onMediaStatus(QMediaPlayer::MediaStatus status)
{
    if (status == QMediaPlayer::InvalidMedia) {
        onPlayerError(QMediaPlayer::FormatError, m_player.errorString());
        return;
    }
    if ((status == QMediaPlayer::LoadedMedia || status == QMediaPlayer::BufferedMedia) && !m_playerReady
        && !m_error) {
        m_playerReady = true;
        m_pollTimer.start();
        updateControls();
    }
}

void RecordingPreview::onPlayerError(QMediaPlayer::Error, const QString& description)
{
    // After a load error the player may still claim to be playing: stop it ourselves.
    m_player.stop();
    m_pollTimer.stop();
    if (!m_playerReady) {
        showError(description.isEmpty() ? tr("The recording could not be opened.") : description);
        return;
    }
    showError(description.isEmpty() ? tr("Could not start audio playback.") : description);
    m_isPlaying = false;
    updateControls();
}

void RecordingPreview::poll()
{
    m_position = m_player.position() / 1000.0;
    m_isPlaying = m_player.playbackState() == QMediaPlayer::PlayingState;
    updateControls();
}

void RecordingPreview::showError(const QString& text)
{
    m_error = text;
    m_errorLabel->setText(text);
    m_errorLabel->show();
}

void RecordingPreview::updateControls()
{
    m_playerRow->setVisible(m_playerReady);
    const double total = duration();
    m_slider->setRange(0, milliseconds(std::max(total, kMinimumRange)));
    if (!m_slider->isSliderDown()) {
        m_slider->setValue(milliseconds(m_position));
    }
    m_playButton->setText(m_isPlaying ? tr("Pause") : tr("Play"));
    m_playButton->setIcon(QIcon::fromTheme(
        m_isPlaying ? QStringLiteral("media-playback-pause") : QStringLiteral("media-playback-start")));
    m_timeLabel->setText(time(m_position) + QStringLiteral(" / ") + time(total));
    m_waveform->setProgress(total > 0 ? m_position / total : 0);
}

double RecordingPreview::duration() const
{
    return std::max<qint64>(m_player.duration(), 0) / 1000.0;
}
