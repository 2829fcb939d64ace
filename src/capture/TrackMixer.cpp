#include "capture/TrackMixer.h"

#include "capture/AacEncoder.h"
#include "capture/RecorderError.h"
#include "core/FileSystemError.h"
#include "media/FFmpegHandles.h"
#include "media/FragmentReader.h"

#include <QFile>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace {

constexpr int kOutputSampleRate = 48000;
constexpr int64_t kOutputBitRate = 64000;
constexpr int kAacFrame = 1024;
// How much later than the longest track's length a track may start: the sound
// server can start one stream a little after the other.
constexpr double kStartSlackSeconds = 2.0;
// A segment's encoder starts this far before the part it keeps and runs as
// far past it, so its rate control has settled and each kept block overlaps
// real audio on both sides: the joined blocks then cancel as one encode's do.
constexpr int64_t kSegmentOverlap = 32 * kAacFrame;
// A mix shorter than this per processor is not worth a second encoder.
constexpr int64_t kShortestSegment = int64_t(60) * kOutputSampleRate;

// Where a track sits on the timeline, measured once for every segment.
struct TrackTiming
{
    int streamIndex = -1;
    double startSeconds = 0;
    // The stream's first time stamp, in its own time base.
    int64_t firstPts = 0;
};

struct Timeline
{
    std::vector<TrackTiming> tracks;
    // The longest track's end, in output samples.
    int64_t length = 0;
};

// One part of the output timeline, in output samples. Its encoder is fed
// from feedFrom to feedUntil; the packets it keeps start in [keepFrom, keepUntil).
struct Segment
{
    int64_t keepFrom = std::numeric_limits<int64_t>::min();
    int64_t keepUntil = std::numeric_limits<int64_t>::max();

    bool isFirst() const { return keepFrom == std::numeric_limits<int64_t>::min(); }
    bool isLast() const { return keepUntil == std::numeric_limits<int64_t>::max(); }
    int64_t feedFrom() const { return isFirst() ? 0 : keepFrom - kSegmentOverlap; }
    int64_t feedUntil() const { return isLast() ? keepUntil : keepUntil + kSegmentOverlap; }
    bool keeps(int64_t pts) const { return pts >= keepFrom && pts < keepUntil; }
};

// Boundaries fall on whole AAC frames, so every kept packet is one the
// single encode would have written for the same samples.
std::vector<Segment> segmentsOf(int64_t length, int count)
{
    std::vector<Segment> segments(static_cast<std::size_t>(count));
    for (int i = 1; i < count; ++i) {
        const int64_t boundary = length * i / count / kAacFrame * kAacFrame;
        segments[i - 1].keepUntil = boundary;
        segments[i].keepFrom = boundary;
    }
    return segments;
}

int chosenSegments(int64_t length)
{
    const auto processors = static_cast<int64_t>(std::max(1U, std::thread::hardware_concurrency()));
    return static_cast<int>(std::clamp<int64_t>(length / kShortestSegment, 1, processors));
}

struct SourceTrack
{
    TrackTiming timing;
    FFmpeg::Codec decoder;
    AVFilterContext* source = nullptr;
    int64_t nextPts = 0;
    // The segment's start and end on this track's own sample clock; the first
    // segment has no start, so it takes every packet as it comes, and the
    // last no end.
    std::optional<int64_t> feedFrom;
    std::optional<int64_t> feedUntil;
    bool ended = false;
};

// The capture's packets. A fragmented capture is read from its fragment
// headers, so that no reader holds an index of the whole file and a packet's
// data is read only when it is decoded; any other file through FFmpeg's demuxer.
class CapturePackets
{
public:
    explicit CapturePackets(const QString& path)
        : m_path(path)
        , m_fragments(FFmpeg::FragmentReader::open(path))
    {
        if (!m_fragments) {
            m_input = std::make_unique<FFmpeg::InputFile>(path);
        }
        FFmpeg::check(avformat_find_stream_info(get(), nullptr), QStringLiteral("Reading %1").arg(path));
    }

    AVFormatContext* get() const { return m_fragments ? m_fragments->header() : m_input->get(); }
    AVFormatContext* operator->() const { return get(); }

    // The next packet's stream and times; its data may wait for fetch().
    // Throws when the file cannot be read; false at its end.
    bool next(AVPacket* packet)
    {
        if (m_fragments) {
            return m_fragments->next(packet);
        }
        const int result = av_read_frame(m_input->get(), packet);
        if (result < 0 && result != AVERROR_EOF) {
            throw FFmpeg::Error(result, QStringLiteral("Reading %1").arg(m_path));
        }
        return result >= 0;
    }

    void fetch(AVPacket* packet)
    {
        if (m_fragments) {
            m_fragments->fetch(packet);
        }
    }

private:
    QString m_path;
    std::unique_ptr<FFmpeg::FragmentReader> m_fragments;
    std::unique_ptr<FFmpeg::InputFile> m_input;
};

// Seconds of sound in a packet: its own duration, or what its size holds.
double packetSeconds(const AVPacket& packet, const AVStream& stream)
{
    if (packet.duration > 0) {
        return double(packet.duration) * av_q2d(stream.time_base);
    }
    const int rate = stream.codecpar->sample_rate;
    return rate > 0 ? double(av_get_audio_frame_duration2(stream.codecpar, packet.size)) / rate : 0;
}

// Start and end of every audio track, measured from its packets: a capture
// cut off by a kill has no trailer, so the header's durations cannot be trusted.
// How much sound each track holds is summed from its packets too, since the
// mix places samples one after the other whatever their time stamps say.
Timeline measureTracks(const QString& path)
{
    CapturePackets input(path);
    Timeline timeline;
    std::vector<int64_t> first(input->nb_streams, AV_NOPTS_VALUE);
    std::vector<int64_t> end(input->nb_streams, AV_NOPTS_VALUE);
    std::vector<double> sound(input->nb_streams, 0);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            timeline.tracks.push_back(TrackTiming { .streamIndex = static_cast<int>(i) });
        }
    }
    if (timeline.tracks.empty()) {
        throw RecorderError(RecorderError::Kind::noAudio);
    }
    FFmpeg::Packet packet = FFmpeg::makePacket();
    while (input.next(packet.get())) {
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
            sound[index] += packetSeconds(*packet, *input->streams[index]);
        }
        av_packet_unref(packet.get());
    }
    double longest = 0;
    double latestEnd = 0;
    for (TrackTiming& track : timeline.tracks) {
        const AVStream* stream = input->streams[track.streamIndex];
        const int64_t start
            = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : first[track.streamIndex];
        const double duration = first[track.streamIndex] == AV_NOPTS_VALUE
            ? 0
            : double(end[track.streamIndex] - first[track.streamIndex]) * av_q2d(stream->time_base);
        if (!std::isfinite(duration) || duration <= 0) {
            throw RecorderError(RecorderError::Kind::noAudio);
        }
        track.firstPts = start;
        track.startSeconds
            = start == AV_NOPTS_VALUE ? 0 : std::max(0.0, double(start) * av_q2d(stream->time_base));
        longest = std::max(longest, sound[track.streamIndex]);
        latestEnd = std::max(latestEnd, track.startSeconds + sound[track.streamIndex]);
    }
    // The capture starts every track together, so none can begin after the
    // longest has run its course. A start time that does is damaged, and
    // honouring it would write days of silence and fill the disk; so would
    // time stamps that jump days ahead between two packets.
    for (const TrackTiming& track : timeline.tracks) {
        if (!(track.startSeconds <= longest + kStartSlackSeconds)) {
            throw RecorderError(RecorderError::Kind::cannotMix);
        }
    }
    timeline.length = std::llround(latestEnd * kOutputSampleRate);
    return timeline;
}

// The tracks of one segment, each with its decoder and its part of the segment.
std::vector<SourceTrack> openTracks(AVFormatContext* input, const Timeline& timeline, const Segment& segment)
{
    std::vector<SourceTrack> tracks;
    for (const TrackTiming& timing : timeline.tracks) {
        SourceTrack& track = tracks.emplace_back(SourceTrack { .timing = timing });
        const AVCodecParameters* parameters = input->streams[timing.streamIndex]->codecpar;
        const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
        if (!codec) {
            throw RecorderError(RecorderError::Kind::cannotMix);
        }
        track.decoder.reset(avcodec_alloc_context3(codec));
        FFmpeg::check(avcodec_parameters_to_context(track.decoder.get(), parameters),
            QStringLiteral("Preparing the audio decoder"));
        FFmpeg::check(
            avcodec_open2(track.decoder.get(), codec, nullptr), QStringLiteral("Opening the audio decoder"));
        const int rate = track.decoder->sample_rate;
        if (!segment.isFirst()) {
            track.feedFrom = av_rescale(segment.feedFrom(), rate, kOutputSampleRate);
        }
        if (!segment.isLast()) {
            track.feedUntil = av_rescale(segment.feedUntil(), rate, kOutputSampleRate);
        }
    }
    return tracks;
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

int64_t delayOf(const SourceTrack& track)
{
    return std::llround(track.timing.startSeconds * track.decoder->sample_rate);
}

// source → volume → [adelay] → amix → aformat → sink, one chain per track.
// A track that starts inside the segment is delayed from the segment's start.
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
        const int64_t delaySamples = delayOf(track) - track.feedFrom.value_or(0);
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

// Takes a packet stamped in output samples; it may take over the packet's data.
using PacketSink = std::function<void(AVPacket*)>;

class MixedFile
{
public:
    MixedFile(const QString& path, const AVCodecContext& encoder)
        : m_file(path, false)
    {
        AVFormatContext* muxer = nullptr;
        if (avformat_alloc_output_context2(&muxer, nullptr, "ipod", nullptr) < 0) {
            throw RecorderError(RecorderError::Kind::cannotMix);
        }
        m_muxer.reset(muxer);
        m_file.attach(m_muxer.get());
        // A half-written mix is thrown away, so there is nothing to gain from a
        // write per packet: 337,000 of them for two hours, each checking the file.
        m_muxer->flush_packets = 0;
        m_stream = avformat_new_stream(m_muxer.get(), nullptr);
        if (!m_stream) {
            throw RecorderError(RecorderError::Kind::cannotMix);
        }
        m_stream->time_base = encoder.time_base;
        FFmpeg::check(avcodec_parameters_from_context(m_stream->codecpar, &encoder),
            QStringLiteral("Preparing the mixed audio"));
        FFmpeg::check(
            avformat_write_header(m_muxer.get(), nullptr), QStringLiteral("Writing the mixed audio"));
    }

    void write(AVPacket* packet)
    {
        packet->stream_index = m_stream->index;
        av_packet_rescale_ts(packet, AVRational { 1, kOutputSampleRate }, m_stream->time_base);
        FFmpeg::check(
            av_interleaved_write_frame(m_muxer.get(), packet), QStringLiteral("Writing the mixed audio"));
    }

    void finish()
    {
        FFmpeg::check(av_write_trailer(m_muxer.get()), QStringLiteral("Writing the mixed audio"));
        m_file.close();
    }

private:
    FFmpeg::PrivateFile m_file;
    FFmpeg::Output m_muxer;
    AVStream* m_stream = nullptr;
};

// The packets of a later segment, kept on disk until the earlier ones are
// written, so memory stays flat in the length of the recording.
class PacketSpool
{
public:
    explicit PacketSpool(QString path)
        : m_path(std::move(path))
        , m_file(std::make_unique<FFmpeg::PrivateFile>(m_path, false))
    { }
    PacketSpool(const PacketSpool&) = delete;
    PacketSpool& operator=(const PacketSpool&) = delete;
    ~PacketSpool()
    {
        m_file.reset();
        QFile::remove(m_path);
    }

    void write(const AVPacket* packet)
    {
        AVIOContext* io = m_file->io();
        avio_wb64(io, static_cast<uint64_t>(packet->pts));
        avio_wb64(io, static_cast<uint64_t>(packet->duration));
        avio_wb32(io, static_cast<unsigned>(packet->flags));
        avio_wb32(io, static_cast<unsigned>(packet->size));
        avio_write(io, packet->data, packet->size);
    }

    void replay(const PacketSink& sink)
    {
        m_file->close();
        const QString action = QStringLiteral("Joining the mixed audio");
        Reader reader;
        FFmpeg::check(avio_open(&reader.io, QFile::encodeName(m_path).constData(), AVIO_FLAG_READ), action);
        AVIOContext* spool = reader.io;
        FFmpeg::Packet packet = FFmpeg::makePacket();
        while (true) {
            const auto pts = static_cast<int64_t>(avio_rb64(spool));
            if (avio_feof(spool)) {
                return;
            }
            const auto duration = static_cast<int64_t>(avio_rb64(spool));
            const auto flags = static_cast<int>(avio_rb32(spool));
            const auto size = static_cast<int>(avio_rb32(spool));
            FFmpeg::check(av_new_packet(packet.get(), size), action);
            if (avio_read(spool, packet->data, size) != size) {
                throw FFmpeg::Error(AVERROR_INVALIDDATA, action);
            }
            packet->pts = packet->dts = pts;
            packet->duration = duration;
            packet->flags = flags;
            sink(packet.get());
            av_packet_unref(packet.get());
        }
    }

private:
    struct Reader
    {
        AVIOContext* io = nullptr;
        ~Reader() { avio_closep(&io); }
    };

    QString m_path;
    std::unique_ptr<FFmpeg::PrivateFile> m_file;
};

// Encodes one segment's mixed samples, stamped from its start on the output
// timeline, and passes on the packets the segment keeps.
class SegmentEncoder
{
public:
    SegmentEncoder(AVCodecContext& encoder, const Segment& segment, PacketSink keep)
        : m_encoder(encoder)
        , m_segment(segment)
        , m_keep(std::move(keep))
        , m_nextPts(segment.feedFrom())
        , m_packet(FFmpeg::makePacket())
    { }

    bool isFull() const { return m_nextPts >= m_segment.feedUntil(); }

    // A null frame flushes the encoder.
    void encode(AVFrame* frame)
    {
        if (frame) {
            if (isFull()) {
                return;
            }
            frame->pts = m_nextPts;
            m_nextPts += frame->nb_samples;
        }
        FFmpeg::check(avcodec_send_frame(&m_encoder, frame), QStringLiteral("Encoding the mixed audio"));
        while (true) {
            const int result = avcodec_receive_packet(&m_encoder, m_packet.get());
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
                return;
            }
            FFmpeg::check(result, QStringLiteral("Encoding the mixed audio"));
            if (m_segment.keeps(m_packet->pts)) {
                m_keep(m_packet.get());
            }
            av_packet_unref(m_packet.get());
        }
    }

private:
    AVCodecContext& m_encoder;
    Segment m_segment;
    PacketSink m_keep;
    int64_t m_nextPts;
    FFmpeg::Packet m_packet;
};

void pullMixed(AVFilterContext* sink, AVFrame* frame, SegmentEncoder& output)
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

// Keeps the samples of a decoded frame from `from` on, `start` being where
// the frame begins; false when none are left.
bool dropBefore(AVFrame* frame, int64_t start, int64_t from)
{
    const int64_t drop = from - start;
    if (drop <= 0) {
        return true;
    }
    if (drop >= frame->nb_samples) {
        return false;
    }
    FFmpeg::Frame rest = FFmpeg::makeFrame();
    rest->format = frame->format;
    rest->sample_rate = frame->sample_rate;
    rest->nb_samples = frame->nb_samples - static_cast<int>(drop);
    FFmpeg::check(
        av_channel_layout_copy(&rest->ch_layout, &frame->ch_layout), QStringLiteral("Mixing the tracks"));
    FFmpeg::check(av_frame_get_buffer(rest.get(), 0), QStringLiteral("Mixing the tracks"));
    av_samples_copy(rest->extended_data, frame->extended_data, 0, static_cast<int>(drop), rest->nb_samples,
        frame->ch_layout.nb_channels, static_cast<AVSampleFormat>(frame->format));
    av_frame_unref(frame);
    av_frame_move_ref(frame, rest.get());
    return true;
}

// Where on the track's own sample clock a time stamp of its stream falls.
int64_t trackPosition(const SourceTrack& track, AVRational timeBase, int64_t pts)
{
    return delayOf(track)
        + av_rescale_q(pts - track.timing.firstPts, timeBase, AVRational { 1, track.decoder->sample_rate });
}

// Decoded frames are stamped by their sample count: the filter chain places
// each track by its start time, and gaps inside a track are not expected. A
// later segment first drops what comes before its start.
void pushDecoded(SourceTrack& track, AVRational timeBase, AVFrame* frame, AVFilterContext* sink,
    AVFrame* mixed, SegmentEncoder& output)
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
        if (track.feedFrom && frame->best_effort_timestamp != AV_NOPTS_VALUE
            && !dropBefore(
                frame, trackPosition(track, timeBase, frame->best_effort_timestamp), *track.feedFrom)) {
            av_frame_unref(frame);
            continue;
        }
        frame->pts = track.nextPts;
        track.nextPts += frame->nb_samples;
        FFmpeg::check(av_buffersrc_add_frame_flags(track.source, frame, AV_BUFFERSRC_FLAG_KEEP_REF),
            QStringLiteral("Mixing the tracks"));
        av_frame_unref(frame);
        pullMixed(sink, mixed, output);
    }
}

// Packets before this many frames ahead of a segment's start are not decoded
// at all; those after it are, so the decoder's overlap is primed.
constexpr int64_t kDecoderPreroll = 4 * kAacFrame;

void endTrack(SourceTrack& track, AVRational timeBase, AVFrame* decoded, AVFilterContext* sink,
    AVFrame* mixed, SegmentEncoder& output)
{
    track.ended = true;
    avcodec_send_packet(track.decoder.get(), nullptr);
    pushDecoded(track, timeBase, decoded, sink, mixed, output);
    FFmpeg::check(av_buffersrc_add_frame(track.source, nullptr), QStringLiteral("Mixing the tracks"));
}

void mixSegment(const QString& from, const Timeline& timeline, const Segment& segment,
    AVCodecContext& encoder, PacketSink keep)
{
    CapturePackets input(from);
    std::vector<SourceTrack> tracks = openTracks(input.get(), timeline, segment);
    SegmentEncoder output(encoder, segment, std::move(keep));
    FFmpeg::Graph graph(avfilter_graph_alloc());
    if (!graph) {
        throw RecorderError(RecorderError::Kind::cannotMix);
    }
    AVFilterContext* sink = buildGraph(graph.get(), tracks, encoder.frame_size);
    std::vector<SourceTrack*> byStream(input->nb_streams, nullptr);
    for (SourceTrack& track : tracks) {
        byStream[track.timing.streamIndex] = &track;
    }

    FFmpeg::Packet packet = FFmpeg::makePacket();
    FFmpeg::Frame decoded = FFmpeg::makeFrame();
    FFmpeg::Frame mixed = FFmpeg::makeFrame();
    const auto timeBaseOf
        = [&](const SourceTrack& track) { return input->streams[track.timing.streamIndex]->time_base; };
    while (!output.isFull() && input.next(packet.get())) {
        const auto index = static_cast<std::size_t>(packet->stream_index);
        SourceTrack* track = index < byStream.size() ? byStream[index] : nullptr;
        if (!track || track->ended) {
            av_packet_unref(packet.get());
            continue;
        }
        const AVRational timeBase = timeBaseOf(*track);
        const std::optional<int64_t> position = packet->pts == AV_NOPTS_VALUE
            ? std::nullopt
            : std::optional(trackPosition(*track, timeBase, packet->pts));
        if (position && track->feedUntil && *position >= *track->feedUntil + kDecoderPreroll) {
            av_packet_unref(packet.get());
            endTrack(*track, timeBase, decoded.get(), sink, mixed.get(), output);
            continue;
        }
        if (!position || !track->feedFrom || *position + kDecoderPreroll >= *track->feedFrom) {
            input.fetch(packet.get());
            const int sent = avcodec_send_packet(track->decoder.get(), packet.get());
            // A damaged packet at the cut-off end of a salvaged capture is skipped, not fatal.
            if (sent < 0 && sent != AVERROR_INVALIDDATA) {
                av_packet_unref(packet.get());
                FFmpeg::check(sent, QStringLiteral("Decoding the capture"));
            }
            pushDecoded(*track, timeBase, decoded.get(), sink, mixed.get(), output);
        }
        av_packet_unref(packet.get());
    }
    for (SourceTrack& track : tracks) {
        if (!track.ended) {
            endTrack(track, timeBaseOf(track), decoded.get(), sink, mixed.get(), output);
        }
    }
    pullMixed(sink, mixed.get(), output);
    output.encode(nullptr);
}

// The first segment is written straight into the file; each later one is
// spooled and appended in order once all are done. The last segment reads the
// whole input, so it runs on this thread, where the measuring pass's memory
// is free to be used again.
void run(const QString& from, const QString& partial, int segmentCount)
{
    const Timeline timeline = measureTracks(from);
    const std::vector<Segment> segments
        = segmentsOf(timeline.length, segmentCount > 0 ? segmentCount : chosenSegments(timeline.length));
    std::vector<FFmpeg::Codec> encoders;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        encoders.push_back(AacEncoder::openMono(kOutputSampleRate, kOutputBitRate));
    }
    MixedFile file(partial, *encoders.front());
    const PacketSink intoFile = [&file](AVPacket* packet) { file.write(packet); };
    std::vector<std::unique_ptr<PacketSpool>> spools;
    std::vector<PacketSink> sinks { intoFile };
    for (std::size_t i = 1; i < segments.size(); ++i) {
        PacketSpool& spool
            = *spools.emplace_back(std::make_unique<PacketSpool>(partial + QStringLiteral(".%1").arg(i)));
        sinks.push_back([&spool](AVPacket* packet) { spool.write(packet); });
    }
    const std::size_t last = segments.size() - 1;
    std::vector<std::future<void>> others;
    for (std::size_t i = 0; i < last; ++i) {
        others.push_back(std::async(
            std::launch::async, [&, i] { mixSegment(from, timeline, segments[i], *encoders[i], sinks[i]); }));
    }
    mixSegment(from, timeline, segments[last], *encoders[last], sinks[last]);
    for (std::future<void>& segment : others) {
        segment.get();
    }
    for (const auto& spool : spools) {
        spool->replay(intoFile);
    }
    file.finish();
}

} // namespace

namespace TrackMixer {

void mix(const QString& from, const QString& to, int segments)
{
    FFmpeg::silenceLogging();
    const QString partial = to + QStringLiteral(".partial.m4a");
    QFile::remove(partial);
    try {
        run(from, partial, segments);
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
