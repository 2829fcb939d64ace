#include "capture/TrackMixer.h"

#include "capture/RecorderError.h"
#include "core/FileSystemError.h"
#include "media/FFmpegHandles.h"

#include <QFile>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr int kOutputSampleRate = 48000;
constexpr int64_t kOutputBitRate = 64000;
// How much later than the longest track's length a track may start: the sound
// server can start one stream a little after the other.
constexpr double kStartSlackSeconds = 2.0;

struct SourceTrack
{
    int streamIndex = -1;
    double startSeconds = 0;
    FFmpeg::Codec decoder;
    AVFilterContext* source = nullptr;
    int64_t nextPts = 0;
};

FFmpeg::Input openInput(const QString& path)
{
    AVFormatContext* context = nullptr;
    FFmpeg::check(avformat_open_input(&context, QFile::encodeName(path).constData(), nullptr, nullptr),
        QStringLiteral("Opening %1").arg(path));
    FFmpeg::Input input(context);
    FFmpeg::check(avformat_find_stream_info(input.get(), nullptr), QStringLiteral("Reading %1").arg(path));
    return input;
}

// Start and end of every audio track, measured from its packets: a capture
// cut off by a kill has no trailer, so the header's durations cannot be trusted.
std::vector<SourceTrack> measureTracks(const QString& path)
{
    FFmpeg::Input input = openInput(path);
    std::vector<SourceTrack> tracks;
    std::vector<int64_t> first(input->nb_streams, AV_NOPTS_VALUE);
    std::vector<int64_t> end(input->nb_streams, AV_NOPTS_VALUE);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            SourceTrack track;
            track.streamIndex = static_cast<int>(i);
            tracks.push_back(std::move(track));
        }
    }
    if (tracks.empty()) {
        throw RecorderError(RecorderError::Kind::noAudio);
    }
    FFmpeg::Packet packet = FFmpeg::makePacket();
    int result = 0;
    while ((result = av_read_frame(input.get(), packet.get())) >= 0) {
        // Some containers announce a stream only when its first packet comes;
        // one that was not there at the start is not among the tracks.
        const auto index = static_cast<std::size_t>(packet->stream_index);
        if (index < first.size() && packet->pts != AV_NOPTS_VALUE) {
            if (first[index] == AV_NOPTS_VALUE || packet->pts < first[index]) {
                first[index] = packet->pts;
            }
            const int64_t packetEnd = packet->pts + packet->duration;
            if (end[index] == AV_NOPTS_VALUE || packetEnd > end[index]) {
                end[index] = packetEnd;
            }
        }
        av_packet_unref(packet.get());
    }
    if (result != AVERROR_EOF) {
        throw FFmpeg::Error(result, QStringLiteral("Reading %1").arg(path));
    }
    double longest = 0;
    for (SourceTrack& track : tracks) {
        const AVStream* stream = input->streams[track.streamIndex];
        const int64_t start
            = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : first[track.streamIndex];
        const double duration = first[track.streamIndex] == AV_NOPTS_VALUE
            ? 0
            : double(end[track.streamIndex] - first[track.streamIndex]) * av_q2d(stream->time_base);
        if (!std::isfinite(duration) || duration <= 0) {
            throw RecorderError(RecorderError::Kind::noAudio);
        }
        track.startSeconds
            = start == AV_NOPTS_VALUE ? 0 : std::max(0.0, double(start) * av_q2d(stream->time_base));
        longest = std::max(longest, duration);
    }
    // The capture starts every track together, so none can begin after the
    // longest has run its course. A start time that does is damaged, and
    // honouring it would write days of silence and fill the disk.
    for (const SourceTrack& track : tracks) {
        if (!(track.startSeconds <= longest + kStartSlackSeconds)) {
            throw RecorderError(RecorderError::Kind::cannotMix);
        }
    }
    return tracks;
}

void openDecoders(AVFormatContext* input, std::vector<SourceTrack>& tracks)
{
    for (SourceTrack& track : tracks) {
        const AVCodecParameters* parameters = input->streams[track.streamIndex]->codecpar;
        const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
        if (!codec) {
            throw RecorderError(RecorderError::Kind::cannotMix);
        }
        track.decoder.reset(avcodec_alloc_context3(codec));
        FFmpeg::check(avcodec_parameters_to_context(track.decoder.get(), parameters),
            QStringLiteral("Preparing the audio decoder"));
        FFmpeg::check(
            avcodec_open2(track.decoder.get(), codec, nullptr), QStringLiteral("Opening the audio decoder"));
    }
}

AVFilterContext* createFilter(AVFilterGraph* graph, const char* name, const QString& arguments)
{
    const AVFilter* filter = avfilter_get_by_name(name);
    AVFilterContext* context = nullptr;
    if (!filter
        || avfilter_graph_create_filter(&context, filter, nullptr,
               arguments.isEmpty() ? nullptr : arguments.toUtf8().constData(), nullptr, graph)
            < 0) {
        throw RecorderError(RecorderError::Kind::cannotMix);
    }
    return context;
}

void link(AVFilterContext* from, AVFilterContext* to, unsigned toPad = 0)
{
    if (avfilter_link(from, 0, to, toPad) < 0) {
        throw RecorderError(RecorderError::Kind::cannotMix);
    }
}

// source → volume → [adelay] → amix → aformat → sink, one chain per track.
AVFilterContext* buildGraph(AVFilterGraph* graph, std::vector<SourceTrack>& tracks, int frameSize)
{
    const double gain = tracks.size() > 1 ? TrackMixer::kSharedGain : 1.0;
    const auto count = static_cast<unsigned>(tracks.size());
    AVFilterContext* mixer = count > 1
        ? createFilter(graph, "amix", QStringLiteral("inputs=%1:normalize=0:duration=longest").arg(count))
        : nullptr;
    AVFilterContext* format = createFilter(graph, "aformat",
        QStringLiteral("sample_fmts=fltp:sample_rates=%1:channel_layouts=mono").arg(kOutputSampleRate));
    AVFilterContext* sink = createFilter(graph, "abuffersink", {});
    for (unsigned i = 0; i < count; ++i) {
        SourceTrack& track = tracks[i];
        char layout[64] = {};
        AVChannelLayout channels {};
        av_channel_layout_copy(&channels, &track.decoder->ch_layout);
        if (channels.order == AV_CHANNEL_ORDER_UNSPEC) {
            av_channel_layout_default(&channels, channels.nb_channels);
        }
        av_channel_layout_describe(&channels, layout, sizeof layout);
        av_channel_layout_uninit(&channels);
        track.source = createFilter(graph, "abuffer",
            QStringLiteral("time_base=1/%1:sample_rate=%1:sample_fmt=%2:channel_layout=%3")
                .arg(track.decoder->sample_rate)
                .arg(QString::fromUtf8(av_get_sample_fmt_name(track.decoder->sample_fmt)),
                    QString::fromUtf8(layout)));
        AVFilterContext* tail = createFilter(graph, "volume", QStringLiteral("volume=%1").arg(gain));
        link(track.source, tail);
        const auto delaySamples = std::llround(track.startSeconds * track.decoder->sample_rate);
        if (delaySamples > 0) {
            AVFilterContext* delay
                = createFilter(graph, "adelay", QStringLiteral("delays=%1S:all=1").arg(delaySamples));
            link(tail, delay);
            tail = delay;
        }
        link(tail, mixer ? mixer : format, mixer ? i : 0);
    }
    if (mixer) {
        link(mixer, format);
    }
    link(format, sink);
    if (avfilter_graph_config(graph, nullptr) < 0) {
        throw RecorderError(RecorderError::Kind::cannotMix);
    }
    av_buffersink_set_frame_size(sink, frameSize);
    return sink;
}

class MixedOutput
{
public:
    explicit MixedOutput(const QString& path)
        : m_file(path, false)
        , m_packet(FFmpeg::makePacket())
    {
        AVFormatContext* muxer = nullptr;
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (avformat_alloc_output_context2(&muxer, nullptr, "ipod", nullptr) < 0 || !codec) {
            throw RecorderError(RecorderError::Kind::cannotMix);
        }
        m_muxer.reset(muxer);
        m_file.attach(m_muxer.get());
        m_encoder.reset(avcodec_alloc_context3(codec));
        m_encoder->sample_rate = kOutputSampleRate;
        m_encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
        m_encoder->bit_rate = kOutputBitRate;
        m_encoder->time_base = AVRational { 1, kOutputSampleRate };
        av_channel_layout_default(&m_encoder->ch_layout, 1);
        m_encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        FFmpeg::check(
            avcodec_open2(m_encoder.get(), codec, nullptr), QStringLiteral("Starting the AAC encoder"));
        m_stream = avformat_new_stream(m_muxer.get(), nullptr);
        if (!m_stream) {
            throw RecorderError(RecorderError::Kind::cannotMix);
        }
        m_stream->time_base = m_encoder->time_base;
        FFmpeg::check(avcodec_parameters_from_context(m_stream->codecpar, m_encoder.get()),
            QStringLiteral("Preparing the mixed audio"));
        FFmpeg::check(
            avformat_write_header(m_muxer.get(), nullptr), QStringLiteral("Writing the mixed audio"));
    }

    int frameSize() const { return m_encoder->frame_size; }

    // A null frame flushes the encoder.
    void encode(AVFrame* frame)
    {
        if (frame) {
            frame->pts = m_nextPts;
            m_nextPts += frame->nb_samples;
        }
        FFmpeg::check(avcodec_send_frame(m_encoder.get(), frame), QStringLiteral("Encoding the mixed audio"));
        while (true) {
            const int result = avcodec_receive_packet(m_encoder.get(), m_packet.get());
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
                return;
            }
            FFmpeg::check(result, QStringLiteral("Encoding the mixed audio"));
            m_packet->stream_index = m_stream->index;
            av_packet_rescale_ts(m_packet.get(), m_encoder->time_base, m_stream->time_base);
            FFmpeg::check(av_interleaved_write_frame(m_muxer.get(), m_packet.get()),
                QStringLiteral("Writing the mixed audio"));
        }
    }

    void finish()
    {
        encode(nullptr);
        FFmpeg::check(av_write_trailer(m_muxer.get()), QStringLiteral("Writing the mixed audio"));
        m_file.close();
    }

private:
    FFmpeg::PrivateFile m_file;
    FFmpeg::Output m_muxer;
    FFmpeg::Codec m_encoder;
    AVStream* m_stream = nullptr;
    FFmpeg::Packet m_packet;
    int64_t m_nextPts = 0;
};

void pullMixed(AVFilterContext* sink, AVFrame* frame, MixedOutput& output)
{
    while (true) {
        const int result = av_buffersink_get_frame(sink, frame);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
            return;
        }
        FFmpeg::check(result, QStringLiteral("Mixing the tracks"));
        output.encode(frame);
        av_frame_unref(frame);
    }
}

// Decoded frames are stamped by their sample count: the filter chain places
// each track by its start time, and gaps inside a track are not expected.
void pushDecoded(
    SourceTrack& track, AVFrame* frame, AVFilterContext* sink, AVFrame* mixed, MixedOutput& output)
{
    while (true) {
        const int result = avcodec_receive_frame(track.decoder.get(), frame);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
            return;
        }
        // The decoder may report a damaged packet here rather than when it
        // was sent; either way only that packet's samples are lost.
        if (result == AVERROR_INVALIDDATA) {
            continue;
        }
        FFmpeg::check(result, QStringLiteral("Decoding the capture"));
        frame->pts = track.nextPts;
        track.nextPts += frame->nb_samples;
        FFmpeg::check(av_buffersrc_add_frame_flags(track.source, frame, AV_BUFFERSRC_FLAG_KEEP_REF),
            QStringLiteral("Mixing the tracks"));
        av_frame_unref(frame);
        pullMixed(sink, mixed, output);
    }
}

void run(const QString& from, const QString& partial)
{
    std::vector<SourceTrack> tracks = measureTracks(from);
    FFmpeg::Input input = openInput(from);
    openDecoders(input.get(), tracks);
    MixedOutput output(partial);
    FFmpeg::Graph graph(avfilter_graph_alloc());
    if (!graph) {
        throw RecorderError(RecorderError::Kind::cannotMix);
    }
    AVFilterContext* sink = buildGraph(graph.get(), tracks, output.frameSize());
    std::vector<SourceTrack*> byStream(input->nb_streams, nullptr);
    for (SourceTrack& track : tracks) {
        byStream[track.streamIndex] = &track;
    }

    FFmpeg::Packet packet = FFmpeg::makePacket();
    FFmpeg::Frame decoded = FFmpeg::makeFrame();
    FFmpeg::Frame mixed = FFmpeg::makeFrame();
    int result = 0;
    while ((result = av_read_frame(input.get(), packet.get())) >= 0) {
        const auto index = static_cast<std::size_t>(packet->stream_index);
        SourceTrack* track = index < byStream.size() ? byStream[index] : nullptr;
        if (track) {
            const int sent = avcodec_send_packet(track->decoder.get(), packet.get());
            // A damaged packet at the cut-off end of a salvaged capture is skipped, not fatal.
            if (sent < 0 && sent != AVERROR_INVALIDDATA) {
                av_packet_unref(packet.get());
                FFmpeg::check(sent, QStringLiteral("Decoding the capture"));
            }
            pushDecoded(*track, decoded.get(), sink, mixed.get(), output);
        }
        av_packet_unref(packet.get());
    }
    if (result != AVERROR_EOF) {
        throw FFmpeg::Error(result, QStringLiteral("Reading %1").arg(from));
    }
    for (SourceTrack& track : tracks) {
        avcodec_send_packet(track.decoder.get(), nullptr);
        pushDecoded(track, decoded.get(), sink, mixed.get(), output);
        FFmpeg::check(av_buffersrc_add_frame(track.source, nullptr), QStringLiteral("Mixing the tracks"));
    }
    pullMixed(sink, mixed.get(), output);
    output.finish();
}

} // namespace

namespace TrackMixer {

void mix(const QString& from, const QString& to)
{
    FFmpeg::silenceLogging();
    const QString partial = to + QStringLiteral(".partial.m4a");
    QFile::remove(partial);
    try {
        run(from, partial);
        if (std::rename(QFile::encodeName(partial).constData(), QFile::encodeName(to).constData()) != 0) {
            throw FileSystemError::fromErrno(QStringLiteral("Saving the mixed audio"), to, errno);
        }
    } catch (...) {
        // Nothing refers to an unfinished mix; left behind, it would only be
        // another copy of the meeting in the captures folder.
        QFile::remove(partial);
        throw;
    }
}

} // namespace TrackMixer
