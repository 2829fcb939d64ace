#include "pipeline/AudioImport.h"

#include "pipeline/AudioReader.h"
#include "pipeline/M4aWriter.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace {

// The job's own audio is encoded at this rate too (see the track mixer).
constexpr int kBitRate = 64000;
constexpr int kBlockFrames = 4096;

QString quoted(const QString& path)
{
    return u'"' + QFileInfo(path).fileName() + u'"';
}

AudioImportError unreadable(const QString& path, const FFmpeg::Error& error)
{
    if (const int code = error.systemErrorCode(); code != 0 && code != EINVAL) {
        return AudioImportError(AudioImportError::Kind::unreadable,
            QStringLiteral("%1 could not be opened: %2.")
                .arg(quoted(path), QString::fromLocal8Bit(std::strerror(code))));
    }
    return AudioImportError(AudioImportError::Kind::unreadable,
        QStringLiteral("%1 is not an audio or video file that can be read.").arg(quoted(path)));
}

AudioImportError noAudio(const QString& path)
{
    return AudioImportError(
        AudioImportError::Kind::noAudio, QStringLiteral("%1 has no audio to import.").arg(quoted(path)));
}

AudioImportError tooLong(const QString& path)
{
    return AudioImportError(AudioImportError::Kind::tooLong,
        QStringLiteral("%1 is longer than %2 hours, the longest recording that can be imported.")
            .arg(quoted(path))
            .arg(AudioImport::kMaximumSeconds / 3600));
}

AudioImportError cannotWrite(const QString& path, int code)
{
    if (code == ENOSPC || code == EDQUOT || code == EFBIG) {
        return AudioImportError(AudioImportError::Kind::cannotWrite,
            QStringLiteral("There is not enough disk space to import %1.").arg(quoted(path)));
    }
    return AudioImportError(AudioImportError::Kind::cannotWrite,
        QStringLiteral("The audio of %1 could not be saved: %2.")
            .arg(quoted(path), QString::fromLocal8Bit(std::strerror(code != 0 ? code : EIO))));
}

std::unique_ptr<AudioReader> openReader(const QString& path)
{
    try {
        return std::make_unique<AudioReader>(path, 1);
    } catch (const FFmpeg::Error& error) {
        if (error.code() == AVERROR_STREAM_NOT_FOUND) {
            throw noAudio(path);
        }
        throw unreadable(path, error);
    }
}

// Changes the source's sample rate to the job's; a source already at that
// rate passes through untouched.
class RateConverter
{
public:
    explicit RateConverter(int sampleRate)
    {
        if (sampleRate == AudioImport::kSampleRate) {
            return;
        }
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        SwrContext* context = nullptr;
        FFmpeg::check(swr_alloc_set_opts2(&context, &mono, AV_SAMPLE_FMT_FLTP, AudioImport::kSampleRate,
                          &mono, AV_SAMPLE_FMT_FLTP, sampleRate, 0, nullptr),
            QStringLiteral("Preparing the resampling"));
        m_resampler.reset(context);
        FFmpeg::check(swr_init(m_resampler.get()), QStringLiteral("Preparing the resampling"));
    }

    // The samples at the job's rate for `frames` more source samples;
    // nullptr input drains what the resampler holds back.
    const float* convert(const float* samples, int frames, int& converted)
    {
        if (!m_resampler) {
            converted = frames;
            return samples;
        }
        m_output.resize(std::size_t(std::max(swr_get_out_samples(m_resampler.get(), frames), 1)));
        auto* output = reinterpret_cast<uint8_t*>(m_output.data());
        const auto* input = reinterpret_cast<const uint8_t*>(samples);
        converted = FFmpeg::check(
            swr_convert(m_resampler.get(), &output, int(m_output.size()), samples ? &input : nullptr, frames),
            QStringLiteral("Resampling the audio"));
        return m_output.data();
    }

private:
    FFmpeg::Resampler m_resampler;
    std::vector<float> m_output;
};

class Conversion
{
public:
    Conversion(const QString& from, const AudioImport::Callbacks& callbacks)
        : m_from(from)
        , m_callbacks(callbacks)
        , m_reader(openReader(from))
        , m_duration(m_reader->duration())
    {
        if (m_duration > AudioImport::kMaximumSeconds) {
            throw tooLong(from);
        }
        m_rate.emplace(m_reader->sampleRate());
    }

private:
    template <typename Work> auto reading(Work work)
    {
        try {
            return work();
        } catch (const FFmpeg::Error& error) {
            throw unreadable(m_from, error);
        }
    }

    template <typename Work> void writing(Work work)
    {
        try {
            work();
        } catch (const FFmpeg::Error& error) {
            throw cannotWrite(m_from, error.systemErrorCode());
        }
    }

public:
    // `to` exists, owner-only; the writer keeps its permissions.
    void run(const QString& to)
    {
        writing([&] { m_writer.emplace(to, AudioImport::kSampleRate, 1, kBitRate); });
        std::vector<float> block(kBlockFrames);
        float* planes[] = { block.data() };
        while (true) {
            if (m_callbacks.cancelled && m_callbacks.cancelled()) {
                throw AudioImportError(AudioImportError::Kind::cancelled,
                    QStringLiteral("The import of %1 was cancelled.").arg(quoted(m_from)));
            }
            const int frames = reading([&] { return m_reader->read(planes, kBlockFrames); });
            if (frames == 0) {
                break;
            }
            write(block.data(), frames);
        }
        write(nullptr, 0);
        if (m_writer->framesWritten() == 0) {
            throw noAudio(m_from);
        }
        writing([&] { m_writer->finish(); });
        report(1.0);
    }

private:
    void write(const float* samples, int frames)
    {
        int converted = 0;
        const float* output = m_rate->convert(samples, frames, converted);
        if (converted == 0) {
            return;
        }
        writing([&] { m_writer->write(&output, converted); });
        // A file that states no duration, or too short a one, is stopped here.
        if (double(m_writer->framesWritten()) > AudioImport::kMaximumSeconds * AudioImport::kSampleRate) {
            throw tooLong(m_from);
        }
        report(double(m_writer->framesWritten()) / (m_duration * AudioImport::kSampleRate));
    }

    void report(double fraction) const
    {
        if (m_callbacks.progress && std::isfinite(m_duration) && m_duration > 0) {
            m_callbacks.progress(std::clamp(fraction, 0.0, 1.0));
        }
    }

    QString m_from;
    const AudioImport::Callbacks& m_callbacks;
    std::unique_ptr<AudioReader> m_reader;
    double m_duration;
    std::optional<RateConverter> m_rate;
    std::optional<M4aWriter> m_writer;
};

void createPrivateOutput(const QString& from, const QString& to)
{
    QFile file(to);
    if (!file.open(
            QIODevice::WriteOnly | QIODevice::NewOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        throw AudioImportError(AudioImportError::Kind::cannotWrite,
            QStringLiteral("The audio of %1 could not be saved: %2.").arg(quoted(from), file.errorString()));
    }
}

std::optional<Date> taggedDate(const AVDictionary* metadata)
{
    const AVDictionaryEntry* entry = av_dict_get(metadata, "creation_time", nullptr, 0);
    if (!entry) {
        return std::nullopt;
    }
    const QDateTime time = QDateTime::fromString(QString::fromUtf8(entry->value), Qt::ISODateWithMs);
    if (!time.isValid()) {
        return std::nullopt;
    }
    return Date::fromQDateTime(time);
}

std::optional<Date> creationTime(const QString& path)
{
    FFmpeg::silenceLogging();
    const QByteArray url = "file:" + path.toUtf8();
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, url.constData(), nullptr, nullptr) < 0) {
        return std::nullopt;
    }
    const FFmpeg::Input input(opened);
    if (const std::optional<Date> date = taggedDate(input->metadata)) {
        return date;
    }
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (const std::optional<Date> date = taggedDate(input->streams[i]->metadata)) {
            return date;
        }
    }
    return std::nullopt;
}

} // namespace

AudioImportError::AudioImportError(Kind kind, const QString& sentence)
    : std::runtime_error(sentence.toStdString())
    , m_kind(kind)
{ }

namespace AudioImport {

void convert(const QString& from, const QString& to, const Callbacks& callbacks)
{
    // The source is opened and its length checked before anything is written.
    Conversion conversion(from, callbacks);
    createPrivateOutput(from, to);
    auto removal = qScopeGuard([&to] { QFile::remove(to); });
    conversion.run(to);
    removal.dismiss();
}

Date recordedAt(const QString& path)
{
    if (const std::optional<Date> date = creationTime(path)) {
        return *date;
    }
    return Date::fromQDateTime(QFileInfo(path).lastModified());
}

} // namespace AudioImport
