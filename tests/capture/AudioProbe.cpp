#include "AudioProbe.h"

#include <QFile>
#include <QProcess>
#include <QStringList>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cmath>
#include <numbers>
#include <stdexcept>

namespace AudioProbe {
namespace {

void runFfmpeg(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("ffmpeg"), QStringList { "-v", "error", "-y" } + arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        throw std::runtime_error("ffmpeg failed: " + process.readAllStandardError().toStdString());
    }
}

} // namespace

void writeToneWav(
    const QString& path, double frequency, double seconds, double amplitude, double leadingSilence)
{
    runFfmpeg({ "-f", "lavfi", "-i",
        QStringLiteral("aevalsrc=if(lt(t\\,%4)\\,0\\,%1*sin(2*PI*%2*(t-%4))):s=%5:d=%3")
            .arg(amplitude)
            .arg(frequency)
            .arg(seconds + leadingSilence)
            .arg(leadingSilence)
            .arg(kRate),
        "-c:a", "pcm_s16le", path });
}

void writeToneMp4(const QString& path, const std::vector<Tone>& tones)
{
    QStringList arguments;
    QStringList maps;
    for (size_t i = 0; i < tones.size(); ++i) {
        const Tone& tone = tones[i];
        if (tone.startSeconds > 0) {
            arguments << "-itsoffset" << QString::number(tone.startSeconds);
        }
        arguments << "-f"
                  << "lavfi"
                  << "-i"
                  << QStringLiteral("aevalsrc=%1*sin(2*PI*%2*t):s=48000:d=%3")
                         .arg(tone.amplitude)
                         .arg(tone.frequency)
                         .arg(tone.seconds);
        maps << "-map" << QString::number(i);
    }
    runFfmpeg(arguments + maps + QStringList { "-c:a", "aac", "-b:a", "128k", path });
}

void writeVideoOnlyMp4(const QString& path)
{
    runFfmpeg({ "-f", "lavfi", "-i", "testsrc=d=1:s=64x64", "-c:v", "mpeg4", path });
}

void writeMp4WithEmptySecondTrack(const QString& path)
{
    // Fragmented, like a capture: a plain MP4 would leave the empty track out.
    runFfmpeg({ "-f", "lavfi", "-i", QStringLiteral("aevalsrc=0.5*sin(2*PI*440*t):s=%1:d=2").arg(kRate), "-f",
        "lavfi", "-i", QStringLiteral("aevalsrc=0:s=%1:d=0").arg(kRate), "-map", "0", "-map", "1", "-c:a",
        "aac", "-b:a", "128k", "-movflags", "+empty_moov+default_base_moof", "-frag_duration", "1000000",
        path });
}

std::vector<DecodedTrack> decode(const QString& path)
{
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, QFile::encodeName(path).constData(), nullptr, nullptr) < 0) {
        throw std::runtime_error("cannot open " + path.toStdString());
    }
    avformat_find_stream_info(input, nullptr);
    std::vector<DecodedTrack> tracks;
    std::vector<AVCodecContext*> decoders(input->nb_streams, nullptr);
    std::vector<int> trackOf(input->nb_streams, -1);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* stream = input->streams[i];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
            continue;
        }
        const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
        decoders[i] = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(decoders[i], stream->codecpar);
        avcodec_open2(decoders[i], codec, nullptr);
        trackOf[i] = int(tracks.size());
        DecodedTrack track;
        track.sampleRate = stream->codecpar->sample_rate;
        track.startSeconds
            = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time * av_q2d(stream->time_base);
        tracks.push_back(track);
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    const auto drain = [&](unsigned index) {
        while (avcodec_receive_frame(decoders[index], frame) >= 0) {
            auto& samples = tracks[trackOf[index]].samples;
            for (int s = 0; s < frame->nb_samples; ++s) {
                samples.push_back(
                    frame->format == AV_SAMPLE_FMT_FLTP ? reinterpret_cast<float*>(frame->data[0])[s] : 0.0F);
            }
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(input, packet) >= 0) {
        const unsigned index = packet->stream_index;
        if (decoders[index]) {
            avcodec_send_packet(decoders[index], packet);
            drain(index);
        }
        av_packet_unref(packet);
    }
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (decoders[i]) {
            avcodec_send_packet(decoders[i], nullptr);
            drain(i);
            avcodec_free_context(&decoders[i]);
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avformat_close_input(&input);
    return tracks;
}

double level(const DecodedTrack& track, double frequency, double from, double to)
{
    const auto begin = static_cast<qint64>(std::max(0.0, from) * track.sampleRate);
    const auto end
        = std::min<qint64>(static_cast<qint64>(to * track.sampleRate), qint64(track.samples.size()));
    if (end <= begin) {
        return 0;
    }
    const double omega = 2 * std::numbers::pi * frequency / track.sampleRate;
    double real = 0;
    double imaginary = 0;
    for (qint64 i = begin; i < end; ++i) {
        real += track.samples[i] * std::cos(omega * double(i));
        imaginary += track.samples[i] * std::sin(omega * double(i));
    }
    return 2 * std::hypot(real, imaginary) / double(end - begin);
}

double onset(const DecodedTrack& track, double frequency, double threshold)
{
    constexpr double kStep = 0.01;
    constexpr double kWindow = 0.02;
    for (double t = 0; t + kWindow <= track.seconds(); t += kStep) {
        if (level(track, frequency, t, t + kWindow) > threshold) {
            return t;
        }
    }
    return -1;
}

double relativeDifference(const DecodedTrack& a, const DecodedTrack& b)
{
    double difference = 0;
    double signal = 0;
    for (std::size_t i = 0; i < a.samples.size(); ++i) {
        difference += std::pow(a.samples[i] - b.samples[i], 2);
        signal += std::pow(a.samples[i], 2);
    }
    return std::sqrt(difference / signal);
}

} // namespace AudioProbe
