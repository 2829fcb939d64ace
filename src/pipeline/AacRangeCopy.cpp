#include "pipeline/AacRangeCopy.h"

#include "media/FFmpegHandles.h"
#include "pipeline/M4aWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cmath>
#include <cstring>
#include <limits>

using FFmpeg::check;

namespace {

FFmpeg::Input openSource(const QString& source)
{
    const QByteArray url = "file:" + source.toUtf8();
    AVFormatContext* input = nullptr;
    check(avformat_open_input(&input, url.constData(), nullptr, nullptr), "Opening the audio");
    FFmpeg::Input result(input);
    check(avformat_find_stream_info(result.get(), nullptr), "Reading the audio's streams");
    return result;
}

// Low-complexity AAC carries no state from frame to frame beyond the overlap
// with the one before, which the preroll packet supplies.
bool copyable(const AVFormatContext& input, const AVStream& stream, int maxChannels)
{
    const AVCodecParameters& codec = *stream.codecpar;
    // The decoder configuration travels in the container's header, not in the packets.
    return std::strstr(input.iformat->name, "mp4") != nullptr && codec.codec_id == AV_CODEC_ID_AAC
        && codec.profile == FF_PROFILE_AAC_LOW && codec.extradata_size >= 2 && codec.sample_rate > 0
        && codec.ch_layout.nb_channels >= 1 && codec.ch_layout.nb_channels <= maxChannels
        && stream.time_base.num > 0;
}

// Every packet copied is decoded too, and thrown away: a damaged packet would
// decode to nothing and shift everything after it, where re-encoding keeps
// the timeline by filling its place. Decoding costs a tenth of encoding.
class Check
{
public:
    explicit Check(const AVCodecParameters& parameters)
        : m_frame(FFmpeg::makeFrame())
    {
        const AVCodec* codec = avcodec_find_decoder(parameters.codec_id);
        if (!codec) {
            throw FFmpeg::Error(AVERROR_DECODER_NOT_FOUND, QStringLiteral("Finding the AAC decoder"));
        }
        m_decoder.reset(avcodec_alloc_context3(codec));
        if (!m_decoder) {
            throw FFmpeg::Error(AVERROR(ENOMEM), QStringLiteral("Creating the decoder"));
        }
        check(avcodec_parameters_to_context(m_decoder.get(), &parameters), "Configuring the decoder");
        check(avcodec_open2(m_decoder.get(), codec, nullptr), "Opening the decoder");
    }

    bool decodes(const AVPacket& packet)
    {
        if (avcodec_send_packet(m_decoder.get(), &packet) < 0) {
            return false;
        }
        while (true) {
            const int received = avcodec_receive_frame(m_decoder.get(), m_frame.get());
            if (received == AVERROR(EAGAIN)) {
                return true;
            }
            if (received < 0) {
                return false;
            }
            av_frame_unref(m_frame.get());
        }
    }

private:
    FFmpeg::Codec m_decoder;
    FFmpeg::Frame m_frame;
};

void writeShifted(AVFormatContext& output, AVPacket& packet, std::int64_t origin, AVRational from)
{
    // The source's priming note would be applied twice: the edit list says it.
    av_packet_free_side_data(&packet);
    packet.pts -= origin;
    packet.dts = packet.pts;
    packet.pos = -1;
    packet.stream_index = 0;
    av_packet_rescale_ts(&packet, from, output.streams[0]->time_base);
    check(av_interleaved_write_frame(&output, &packet), "Writing the chunk file");
    check(output.pb->error, "Writing the chunk file");
}

} // namespace

namespace AacRangeCopy {

bool copy(const QString& source, const QString& path, double audioStart, double audioEnd, int maxChannels)
{
    FFmpeg::silenceLogging();
    FFmpeg::Input input = openSource(source);
    const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0 || !copyable(*input, *input->streams[index], maxChannels)) {
        return false;
    }
    AVStream& stream = *input->streams[index];
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        input->streams[i]->discard = int(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    }
    const AVRational base = stream.time_base;
    const std::int64_t first = std::llround(audioStart / av_q2d(base));
    const std::int64_t last = std::llround(audioEnd / av_q2d(base));
    const std::int64_t frame = av_rescale_q(1024, AVRational { 1, stream.codecpar->sample_rate }, base);
    // Fragment times rounded to the track's clock make a frame a tick or two
    // longer now and then (every 30 minutes in our own mixes); a damaged index
    // is off by far more.
    const std::int64_t slack = std::max<std::int64_t>(frame / 256, 2);
    // Two AAC frames back: the packet holding the start and the one before it.
    check(av_seek_frame(input.get(), index, first - 2 * frame, AVSEEK_FLAG_BACKWARD), "Seeking in the audio");

    FFmpeg::Output output = M4aContainer::create(path);
    AVStream* copied = avformat_new_stream(output.get(), nullptr);
    if (!copied) {
        throw FFmpeg::Error(AVERROR(ENOMEM), QStringLiteral("Adding the audio track"));
    }
    check(avcodec_parameters_copy(copied->codecpar, stream.codecpar), "Describing the audio track");
    copied->codecpar->codec_tag = 0;
    copied->time_base = AVRational { 1, stream.codecpar->sample_rate };
    M4aContainer::writeHeader(*output, path, stream.codecpar->sample_rate);

    Check check(*stream.codecpar);
    FFmpeg::Packet packet = FFmpeg::makePacket();
    FFmpeg::Packet previous = FFmpeg::makePacket();
    bool started = false;
    std::int64_t previousPts = std::numeric_limits<std::int64_t>::min();
    while (true) {
        const int read = av_read_frame(input.get(), packet.get());
        if (read == AVERROR_EOF) {
            break;
        }
        // A damaged index (unreadable, times missing or going back), or frames
        // longer than AAC's: decoding sorts those out, so the range is re-encoded.
        if (read < 0) {
            return false;
        }
        if (packet->stream_index != index) {
            av_packet_unref(packet.get());
            continue;
        }
        if (packet->pts == AV_NOPTS_VALUE || packet->pts <= previousPts || packet->duration > frame + slack) {
            return false;
        }
        previousPts = packet->pts;
        if (packet->pts >= last) {
            break;
        }
        if (packet->pts + packet->duration <= first) {
            av_packet_unref(previous.get());
            av_packet_move_ref(previous.get(), packet.get());
            continue;
        }
        if (!started && previous->data) {
            if (!check.decodes(*previous)) {
                return false;
            }
            writeShifted(*output, *previous, first, base);
        }
        started = true;
        if (!check.decodes(*packet)) {
            return false;
        }
        packet->duration = std::min(packet->duration, last - packet->pts);
        writeShifted(*output, *packet, first, base);
        av_packet_unref(packet.get());
    }
    if (!started) {
        throw FFmpeg::Error(AVERROR_INVALIDDATA, QStringLiteral("Copying the audio"));
    }
    M4aContainer::finish(*output);
    return true;
}

} // namespace AacRangeCopy
