#include "pipeline/FFmpegHandles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

#include <mutex>

namespace FFmpeg {

void InputDeleter::operator()(AVFormatContext* context) const
{
    avformat_close_input(&context);
}

void OutputDeleter::operator()(AVFormatContext* context) const
{
    if (context->pb && !(context->oformat->flags & AVFMT_NOFILE)) {
        avio_closep(&context->pb);
    }
    avformat_free_context(context);
}

void CodecDeleter::operator()(AVCodecContext* context) const
{
    avcodec_free_context(&context);
}

void FrameDeleter::operator()(AVFrame* frame) const
{
    av_frame_free(&frame);
}

void PacketDeleter::operator()(AVPacket* packet) const
{
    av_packet_free(&packet);
}

void ResamplerDeleter::operator()(SwrContext* context) const
{
    swr_free(&context);
}

void FifoDeleter::operator()(AVAudioFifo* fifo) const
{
    av_audio_fifo_free(fifo);
}

void silenceLogging()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

Frame makeFrame()
{
    Frame frame(av_frame_alloc());
    if (!frame) {
        throw Error(AVERROR(ENOMEM), QStringLiteral("Allocating a frame"));
    }
    return frame;
}

Packet makePacket()
{
    Packet packet(av_packet_alloc());
    if (!packet) {
        throw Error(AVERROR(ENOMEM), QStringLiteral("Allocating a packet"));
    }
    return packet;
}

static QString describe(int code, const QString& action)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QStringLiteral("%1 failed: %2.").arg(action, QString::fromUtf8(text));
}

Error::Error(int code, const QString& action)
    : std::runtime_error(describe(code, action).toStdString())
    , m_code(code)
{ }

int Error::systemErrorCode() const
{
    // AVERROR(e) is -e for errno values; FFmpeg's own codes are large
    // negative tags far outside the errno range.
    constexpr int kLargestErrno = 4095;
    const int candidate = -m_code;
    return candidate > 0 && candidate <= kLargestErrno ? candidate : 0;
}

int check(int code, const char* action)
{
    if (code < 0) {
        throw Error(code, QString::fromUtf8(action));
    }
    return code;
}

} // namespace FFmpeg
