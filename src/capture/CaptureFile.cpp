#include "capture/CaptureFile.h"

#include "capture/AacEncoder.h"
#include "capture/RecorderError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cstring>

namespace {

constexpr int64_t kBitRate = 64000;
// Short, so a kill loses at most half a second; the price is about 3 % of
// the file in fragment headers.
constexpr const char* kFragmentMicroseconds = "500000";

} // namespace

CaptureFile::CaptureFile(const QString& path)
    : m_path(path)
    , m_file(std::make_unique<FFmpeg::PrivateFile>(path, true))
    , m_frame(FFmpeg::makeFrame())
    , m_packet(FFmpeg::makePacket())
{
    FFmpeg::silenceLogging();
    AVFormatContext* muxer = nullptr;
    FFmpeg::check(avformat_alloc_output_context2(&muxer, nullptr, "mp4", nullptr),
        QStringLiteral("Creating the capture file"));
    m_muxer.reset(muxer);
    m_file->attach(m_muxer.get());

    for (Track& track : m_tracks) {
        track.encoder = AacEncoder::openMono(kSampleRate, kBitRate);
        AVCodecContext* encoder = track.encoder.get();
        track.stream = avformat_new_stream(m_muxer.get(), nullptr);
        if (!track.stream) {
            throw FFmpeg::Error(AVERROR(ENOMEM), QStringLiteral("Adding a capture track"));
        }
        track.stream->time_base = encoder->time_base;
        FFmpeg::check(avcodec_parameters_from_context(track.stream->codecpar, encoder),
            QStringLiteral("Adding a capture track"));
    }

    AVDictionary* options = nullptr;
    // Audio has no keyframes to cut at, so fragments are cut by duration;
    // empty_moov puts the track headers first, making every finished
    // fragment decodable without a trailer.
    av_dict_set(&options, "movflags", "+empty_moov+default_base_moof+frag_keyframe", 0);
    av_dict_set(&options, "frag_duration", kFragmentMicroseconds, 0);
    const int result = avformat_write_header(m_muxer.get(), &options);
    av_dict_free(&options);
    FFmpeg::check(result, QStringLiteral("Writing the capture header"));
    avio_flush(m_file->io());
}

CaptureFile::~CaptureFile() = default;

void CaptureFile::append(int track, const float* samples, qint64 count)
{
    Track& target = m_tracks.at(track);
    target.pending.insert(target.pending.end(), samples, samples + count);
    encodePending(target, false);
}

void CaptureFile::appendSilence(int track, qint64 count)
{
    Track& target = m_tracks.at(track);
    target.pending.insert(target.pending.end(), static_cast<size_t>(count), 0.0F);
    encodePending(target, false);
}

qint64 CaptureFile::length(int track) const
{
    const Track& target = m_tracks.at(track);
    return target.encoded + static_cast<qint64>(target.pending.size());
}

void CaptureFile::finish()
{
    if (m_finished) {
        return;
    }
    m_finished = true;
    for (Track& track : m_tracks) {
        encodePending(track, true);
        FFmpeg::check(
            avcodec_send_frame(track.encoder.get(), nullptr), QStringLiteral("Finishing the capture"));
        drain(track);
    }
    FFmpeg::check(av_write_trailer(m_muxer.get()), QStringLiteral("Finishing the capture"));
    m_file->close();
}

void CaptureFile::encodePending(Track& track, bool final)
{
    const int frameSize = track.encoder->frame_size;
    size_t offset = 0;
    while (track.pending.size() - offset >= static_cast<size_t>(frameSize)
        || (final && offset < track.pending.size())) {
        const int count = static_cast<int>(std::min<size_t>(frameSize, track.pending.size() - offset));
        av_frame_unref(m_frame.get());
        m_frame->nb_samples = count;
        m_frame->format = AV_SAMPLE_FMT_FLTP;
        m_frame->sample_rate = kSampleRate;
        av_channel_layout_default(&m_frame->ch_layout, 1);
        FFmpeg::check(av_frame_get_buffer(m_frame.get(), 0), QStringLiteral("Encoding the capture"));
        std::memcpy(m_frame->data[0], track.pending.data() + offset, sizeof(float) * count);
        m_frame->pts = track.encoded;
        track.encoded += count;
        offset += count;
        FFmpeg::check(
            avcodec_send_frame(track.encoder.get(), m_frame.get()), QStringLiteral("Encoding the capture"));
        drain(track);
    }
    track.pending.erase(track.pending.begin(), track.pending.begin() + static_cast<std::ptrdiff_t>(offset));
}

void CaptureFile::drain(Track& track)
{
    while (true) {
        const int result = avcodec_receive_packet(track.encoder.get(), m_packet.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
            return;
        }
        FFmpeg::check(result, QStringLiteral("Encoding the capture"));
        m_packet->stream_index = track.stream->index;
        av_packet_rescale_ts(m_packet.get(), track.encoder->time_base, track.stream->time_base);
        // Unbuffered per track: interleaving would hold one track back while
        // the other stalls, and a kill would lose what was held.
        const int written = av_write_frame(m_muxer.get(), m_packet.get());
        av_packet_unref(m_packet.get());
        FFmpeg::check(written, QStringLiteral("Writing the capture"));
        avio_flush(m_file->io());
    }
}
