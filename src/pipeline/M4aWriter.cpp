#include "pipeline/M4aWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
}

using FFmpeg::check;

namespace {

bool supportsSampleRate(const AVCodec* codec, int sampleRate)
{
    if (!codec->supported_samplerates) {
        return true;
    }
    for (const int* rate = codec->supported_samplerates; *rate != 0; ++rate) {
        if (*rate == sampleRate) {
            return true;
        }
    }
    return false;
}

} // namespace

namespace M4aContainer {

FFmpeg::Output create(const QString& path)
{
    const QByteArray url = "file:" + path.toUtf8();
    AVFormatContext* output = nullptr;
    check(avformat_alloc_output_context2(&output, nullptr, "ipod", url.constData()),
        "Creating the M4A container");
    return FFmpeg::Output(output);
}

void writeHeader(AVFormatContext& output, const QString& path, int sampleRate)
{
    const QByteArray url = "file:" + path.toUtf8();
    check(avio_open(&output.pb, url.constData(), AVIO_FLAG_WRITE), "Opening the chunk file");
    // With the default millisecond movie timescale the edit list would round
    // the chunk's length; at the sample rate it is exact.
    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "movie_timescale", sampleRate, 0);
    const int written = avformat_write_header(&output, &options);
    av_dict_free(&options);
    check(written, "Writing the M4A header");
}

void finish(AVFormatContext& output)
{
    check(av_write_trailer(&output), "Finishing the M4A file");
    avio_flush(output.pb);
    check(output.pb->error, "Writing the chunk file");
    check(avio_closep(&output.pb), "Closing the chunk file");
}

} // namespace M4aContainer

M4aWriter::M4aWriter(const QString& path, int sampleRate, int channels, int bitRate)
    : m_frame(FFmpeg::makeFrame())
    , m_packet(FFmpeg::makePacket())
{
    FFmpeg::silenceLogging();
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec) {
        throw FFmpeg::Error(AVERROR_ENCODER_NOT_FOUND, QStringLiteral("Finding the AAC encoder"));
    }
    if (!supportsSampleRate(codec, sampleRate)) {
        throw FFmpeg::Error(AVERROR(EINVAL), QStringLiteral("Encoding AAC at %1 Hz").arg(sampleRate));
    }

    m_output = M4aContainer::create(path);

    m_encoder.reset(avcodec_alloc_context3(codec));
    if (!m_encoder) {
        throw FFmpeg::Error(AVERROR(ENOMEM), QStringLiteral("Creating the AAC encoder"));
    }
    m_encoder->sample_rate = sampleRate;
    av_channel_layout_default(&m_encoder->ch_layout, channels);
    m_encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    m_encoder->bit_rate = bitRate;
    m_encoder->time_base = AVRational { 1, sampleRate };
    if (m_output->oformat->flags & AVFMT_GLOBALHEADER) {
        m_encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    check(avcodec_open2(m_encoder.get(), codec, nullptr), "Opening the AAC encoder");

    m_stream = avformat_new_stream(m_output.get(), nullptr);
    if (!m_stream) {
        throw FFmpeg::Error(AVERROR(ENOMEM), QStringLiteral("Adding the audio track"));
    }
    check(avcodec_parameters_from_context(m_stream->codecpar, m_encoder.get()), "Describing the audio track");
    m_stream->time_base = m_encoder->time_base;

    M4aContainer::writeHeader(*m_output, path, sampleRate);

    m_fifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channels, m_encoder->frame_size * 2));
    if (!m_fifo) {
        throw FFmpeg::Error(AVERROR(ENOMEM), QStringLiteral("Allocating the sample buffer"));
    }
    m_frame->nb_samples = m_encoder->frame_size;
    m_frame->format = AV_SAMPLE_FMT_FLTP;
    m_frame->sample_rate = sampleRate;
    check(av_channel_layout_copy(&m_frame->ch_layout, &m_encoder->ch_layout), "Preparing a frame");
    check(av_frame_get_buffer(m_frame.get(), 0), "Preparing a frame");
}

M4aWriter::~M4aWriter() = default;

void M4aWriter::write(const float* const* planes, int frames)
{
    // The FIFO only reads from the planes, whatever its signature says.
    auto** data = reinterpret_cast<void**>(const_cast<float**>(planes));
    if (av_audio_fifo_write(m_fifo.get(), data, frames) < frames) {
        throw FFmpeg::Error(AVERROR(ENOMEM), QStringLiteral("Buffering the samples"));
    }
    while (av_audio_fifo_size(m_fifo.get()) >= m_encoder->frame_size) {
        encodeBuffered(m_encoder->frame_size);
    }
}

void M4aWriter::finish()
{
    if (const int remaining = av_audio_fifo_size(m_fifo.get()); remaining > 0) {
        encodeBuffered(remaining);
    }
    send(nullptr);
    M4aContainer::finish(*m_output);
}

void M4aWriter::encodeBuffered(int frames)
{
    check(av_frame_make_writable(m_frame.get()), "Preparing a frame");
    m_frame->nb_samples = frames;
    if (av_audio_fifo_read(m_fifo.get(), reinterpret_cast<void**>(m_frame->data), frames) < frames) {
        throw FFmpeg::Error(AVERROR_BUG, QStringLiteral("Reading the buffered samples"));
    }
    m_frame->pts = m_nextPts;
    m_nextPts += frames;
    send(m_frame.get());
}

void M4aWriter::send(const AVFrame* frame)
{
    check(avcodec_send_frame(m_encoder.get(), frame), "Encoding AAC");
    while (true) {
        const int received = avcodec_receive_packet(m_encoder.get(), m_packet.get());
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
            return;
        }
        check(received, "Encoding AAC");
        av_packet_rescale_ts(m_packet.get(), m_encoder->time_base, m_stream->time_base);
        m_packet->stream_index = m_stream->index;
        check(av_interleaved_write_frame(m_output.get(), m_packet.get()), "Writing the chunk file");
        checkOutput("Writing the chunk file");
    }
}

void M4aWriter::checkOutput(const char* action) const
{
    check(m_output->pb->error, action);
}
