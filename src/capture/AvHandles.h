#pragma once

// Owning handles for the FFmpeg objects the capture and the mixer use, and an
// output that writes through a file descriptor created owner-only (0600), so
// no audio file is ever readable by others, not even for a moment.

#include <QString>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

#include <memory>

namespace Av {

struct InputDeleter
{
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct OutputDeleter
{
    void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
struct CodecDeleter
{
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter
{
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter
{
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct GraphDeleter
{
    void operator()(AVFilterGraph* graph) const { avfilter_graph_free(&graph); }
};

using Input = std::unique_ptr<AVFormatContext, InputDeleter>;
using Output = std::unique_ptr<AVFormatContext, OutputDeleter>;
using Codec = std::unique_ptr<AVCodecContext, CodecDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;
using Graph = std::unique_ptr<AVFilterGraph, GraphDeleter>;

Frame makeFrame();
Packet makePacket();

// Throws MediaError "<action> failed: <reason>." when code is negative.
int check(int code, const QString& action);

// A new file (O_EXCL, mode 0600) behind an AVIOContext. With durable set,
// every flushed block is also synced to the disk, so what a muxer has handed
// over survives a kill or a power cut.
class PrivateFile
{
public:
    PrivateFile(const QString& path, bool durable);
    PrivateFile(const PrivateFile&) = delete;
    PrivateFile& operator=(const PrivateFile&) = delete;
    ~PrivateFile();

    AVIOContext* io() const { return m_io; }
    // Flushes, syncs and closes; throws on the first failure of any of them.
    void close();

private:
    static int writePacket(void* opaque, uint8_t* data, int size);
    static int64_t seek(void* opaque, int64_t offset, int whence);

    QString m_path;
    int m_fd = -1;
    bool m_durable;
    int m_error = 0;
    AVIOContext* m_io = nullptr;
};

} // namespace Av
