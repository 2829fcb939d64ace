#include "pipeline/AudioReader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

using FFmpeg::check;

namespace {

// Decoding restarts this far before a seek target so that codecs with
// overlapping frames (AAC, MP3, Opus) have settled by the target.
constexpr int kPrerollDivisor = 5; // 200 ms

AVChannelLayout usableLayout(const AVChannelLayout& layout)
{
    AVChannelLayout result {};
    if (layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        av_channel_layout_default(&result, layout.nb_channels);
    } else {
        av_channel_layout_copy(&result, &layout);
    }
    return result;
}

} // namespace

AudioReader::AudioReader(const QString& path, std::optional<int> outputChannels)
    : m_path(path)
    , m_requestedChannels(outputChannels)
    , m_frame(FFmpeg::makeFrame())
    , m_packet(FFmpeg::makePacket())
{
    FFmpeg::silenceLogging();
    open();
}

AudioReader::~AudioReader() = default;

void AudioReader::open()
{
    m_decoder.reset();
    m_input.reset();
    m_resampler.reset();

    // The explicit protocol keeps a file name such as "http:…" or "concat:…"
    // from being taken as a network or compound source.
    const QByteArray url = "file:" + m_path.toUtf8();
    AVFormatContext* input = nullptr;
    check(avformat_open_input(&input, url.constData(), nullptr, nullptr), "Opening the audio");
    m_input.reset(input);
    check(avformat_find_stream_info(m_input.get(), nullptr), "Reading the audio's streams");

    const AVCodec* codec = nullptr;
    m_streamIndex = check(
        av_find_best_stream(m_input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0), "Finding an audio stream");
    for (unsigned i = 0; i < m_input->nb_streams; ++i) {
        m_input->streams[i]->discard = int(i) == m_streamIndex ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    }
    const AVStream* stream = m_input->streams[m_streamIndex];

    m_decoder.reset(avcodec_alloc_context3(codec));
    if (!m_decoder) {
        throw FFmpeg::Error(AVERROR(ENOMEM), QStringLiteral("Creating the decoder"));
    }
    check(avcodec_parameters_to_context(m_decoder.get(), stream->codecpar), "Configuring the decoder");
    m_decoder->pkt_timebase = stream->time_base;
    check(avcodec_open2(m_decoder.get(), codec, nullptr), "Opening the decoder");

    const int sourceChannels = m_decoder->ch_layout.nb_channels;
    if (m_decoder->sample_rate <= 0 || sourceChannels <= 0) {
        throw FFmpeg::Error(AVERROR_INVALIDDATA, QStringLiteral("Reading the audio format"));
    }
    m_sampleRate = m_decoder->sample_rate;
    m_outputChannels = std::min(m_requestedChannels.value_or(sourceChannels), sourceChannels);
    m_startTime = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;

    m_inputTouched = false;
    m_fromBeginning = true;
    m_positionKnown = false;
    m_convertedFrames = 0;
}

double AudioReader::duration()
{
    // A guess from the bit rate can be off by any factor (silence compresses
    // well), which would plan chunks past the end of the audio.
    if (m_input->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) {
        return measuredDuration();
    }
    const AVStream* stream = m_input->streams[m_streamIndex];
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
        return double(stream->duration) * av_q2d(stream->time_base);
    }
    if (m_input->duration != AV_NOPTS_VALUE) {
        return double(m_input->duration) / AV_TIME_BASE;
    }
    return std::numeric_limits<double>::quiet_NaN();
}

double AudioReader::measuredDuration()
{
    std::int64_t total = 0;
    m_inputTouched = true;
    while (av_read_frame(m_input.get(), m_packet.get()) >= 0) {
        if (m_packet->stream_index == m_streamIndex && m_packet->duration > 0) {
            total += m_packet->duration;
        }
        av_packet_unref(m_packet.get());
    }
    const double seconds = double(total) * av_q2d(m_input->streams[m_streamIndex]->time_base);
    open();
    return seconds > 0 ? seconds : std::numeric_limits<double>::quiet_NaN();
}

void AudioReader::seek(std::int64_t position)
{
    const std::int64_t containerPosition = position - m_sampleRate / kPrerollDivisor;
    if (containerPosition > 0) {
        seekToContainerPosition(containerPosition);
    } else if (m_inputTouched) {
        // Seeking to the very start skips the packets that prime the decoder
        // in some containers; a fresh open decodes exactly as a player does.
        open();
    }
    m_position = std::max<std::int64_t>(position, 0);
    m_positionKnown = false;
    m_convertedFrames = 0;
}

void AudioReader::seekToContainerPosition(std::int64_t position)
{
    const AVStream* stream = m_input->streams[m_streamIndex];
    const std::int64_t timestamp
        = av_rescale_q(position, AVRational { 1, m_sampleRate }, stream->time_base) + m_startTime;
    if (avformat_seek_file(m_input.get(), m_streamIndex, INT64_MIN, timestamp, timestamp, 0) < 0) {
        check(av_seek_frame(m_input.get(), m_streamIndex, timestamp, AVSEEK_FLAG_BACKWARD),
            "Seeking in the audio");
    }
    avcodec_flush_buffers(m_decoder.get());
    m_inputTouched = true;
    m_fromBeginning = false;
}

AVFormatContext& AudioReader::borrowInput()
{
    avcodec_flush_buffers(m_decoder.get());
    m_inputTouched = true;
    m_fromBeginning = false;
    m_positionKnown = false;
    m_convertedFrames = 0;
    return *m_input;
}

int AudioReader::read(float* const* planes, int frames)
{
    int delivered = 0;
    while (delivered < frames) {
        const std::int64_t bufferEnd = m_convertedStart + m_convertedFrames;
        if (m_convertedFrames == 0 || m_position >= bufferEnd) {
            if (!decodeNextFrame()) {
                break;
            }
            continue;
        }
        const int wanted = frames - delivered;
        if (m_convertedStart > m_position) {
            // The stream itself starts later than the position asked for.
            const int gap = int(std::min<std::int64_t>(m_convertedStart - m_position, wanted));
            for (int channel = 0; channel < m_outputChannels; ++channel) {
                std::fill_n(planes[channel] + delivered, gap, 0.0f);
            }
            delivered += gap;
            m_position += gap;
            continue;
        }
        const int offset = int(m_position - m_convertedStart);
        const int count = int(std::min<std::int64_t>(bufferEnd - m_position, wanted));
        for (int channel = 0; channel < m_outputChannels; ++channel) {
            const float* source = m_converted.data() + std::size_t(channel) * m_convertedCapacity + offset;
            std::memcpy(planes[channel] + delivered, source, std::size_t(count) * sizeof(float));
        }
        delivered += count;
        m_position += count;
    }
    return delivered;
}

bool AudioReader::decodeNextFrame()
{
    if (!receiveFrame()) {
        return false;
    }
    std::int64_t start = m_convertedStart + m_convertedFrames;
    if (!m_positionKnown) {
        const std::int64_t timestamp = m_frame->best_effort_timestamp;
        const std::int64_t stamped = timestamp == AV_NOPTS_VALUE
            ? std::numeric_limits<std::int64_t>::max()
            : av_rescale_q(timestamp - m_startTime, m_input->streams[m_streamIndex]->time_base,
                AVRational { 1, m_sampleRate });
        if (stamped > m_position && !m_fromBeginning) {
            // The container could not seek precisely enough: decode from the start.
            const std::int64_t target = m_position;
            open();
            m_position = target;
            return decodeNextFrame();
        }
        start = timestamp == AV_NOPTS_VALUE ? 0 : stamped;
        m_positionKnown = true;
    }
    convertFrame();
    m_convertedStart = start;
    return true;
}

bool AudioReader::receiveFrame()
{
    while (true) {
        const int result = avcodec_receive_frame(m_decoder.get(), m_frame.get());
        if (result == 0) {
            return true;
        }
        if (result == AVERROR_EOF) {
            return false;
        }
        // Some decoders report a damaged packet here rather than when it was
        // sent; it costs only its own samples either way.
        if (result == AVERROR_INVALIDDATA) {
            continue;
        }
        if (result != AVERROR(EAGAIN)) {
            check(result, "Decoding the audio");
        }
        sendNextPacket();
    }
}

void AudioReader::sendNextPacket()
{
    while (true) {
        m_inputTouched = true;
        const int result = av_read_frame(m_input.get(), m_packet.get());
        if (result == AVERROR_EOF) {
            check(avcodec_send_packet(m_decoder.get(), nullptr), "Finishing the decoding");
            return;
        }
        check(result, "Reading the audio");
        if (m_packet->stream_index != m_streamIndex) {
            av_packet_unref(m_packet.get());
            continue;
        }
        const int sent = avcodec_send_packet(m_decoder.get(), m_packet.get());
        av_packet_unref(m_packet.get());
        // A damaged packet costs only its own samples.
        if (sent == AVERROR_INVALIDDATA) {
            continue;
        }
        check(sent, "Decoding the audio");
        return;
    }
}

void AudioReader::convertFrame()
{
    const std::array<int, 3> input { m_frame->format, m_frame->sample_rate, m_frame->ch_layout.nb_channels };
    // The resampler reads as many planes as it was made for; a stream that
    // changes part-way (a damaged MP3 can) would make it read past the frame.
    if (m_resampler && input != m_resamplerInput) {
        throw FFmpeg::Error(
            AVERROR_INVALIDDATA, QStringLiteral("Reading audio that changes format part-way"));
    }
    if (!m_resampler) {
        m_resamplerInput = input;
        AVChannelLayout input = usableLayout(m_frame->ch_layout);
        AVChannelLayout output {};
        if (m_outputChannels == input.nb_channels) {
            av_channel_layout_copy(&output, &input);
        } else {
            av_channel_layout_default(&output, m_outputChannels);
        }
        SwrContext* resampler = nullptr;
        const int made = swr_alloc_set_opts2(&resampler, &output, AV_SAMPLE_FMT_FLTP, m_sampleRate, &input,
            AVSampleFormat(m_frame->format), m_frame->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&input);
        av_channel_layout_uninit(&output);
        check(made, "Preparing the sample conversion");
        m_resampler.reset(resampler);
        check(swr_init(m_resampler.get()), "Preparing the sample conversion");
    }
    const int capacity = std::max(swr_get_out_samples(m_resampler.get(), m_frame->nb_samples), 1);
    if (capacity > m_convertedCapacity) {
        m_convertedCapacity = capacity;
        m_converted.resize(std::size_t(m_convertedCapacity) * m_outputChannels);
    }
    std::vector<uint8_t*> outputs(m_outputChannels);
    for (int channel = 0; channel < m_outputChannels; ++channel) {
        outputs[channel]
            = reinterpret_cast<uint8_t*>(m_converted.data() + std::size_t(channel) * m_convertedCapacity);
    }
    m_convertedFrames = check(swr_convert(m_resampler.get(), outputs.data(), m_convertedCapacity,
                                  const_cast<const uint8_t**>(m_frame->extended_data), m_frame->nb_samples),
        "Converting the samples");
}
