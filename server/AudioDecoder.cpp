#include "AudioDecoder.h"

#include "HttpError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstring>
#include <memory>

namespace server::AudioDecoder {

namespace {

constexpr std::size_t kIoBufferSize = 64 * 1024;

struct MemoryReader
{
    std::string_view bytes;
    std::int64_t position = 0;
};

int readPacket(void* opaque, std::uint8_t* buffer, int size)
{
    auto* reader = static_cast<MemoryReader*>(opaque);
    const auto left = static_cast<std::int64_t>(reader->bytes.size()) - reader->position;
    if (left <= 0)
        return AVERROR_EOF;
    const auto count = static_cast<int>(std::min<std::int64_t>(left, size));
    std::memcpy(buffer, reader->bytes.data() + reader->position, count);
    reader->position += count;
    return count;
}

std::int64_t seekPacket(void* opaque, std::int64_t offset, int whence)
{
    auto* reader = static_cast<MemoryReader*>(opaque);
    const auto size = static_cast<std::int64_t>(reader->bytes.size());
    if (whence == AVSEEK_SIZE)
        return size;
    std::int64_t target = offset;
    if ((whence & ~AVSEEK_FORCE) == SEEK_CUR)
        target = reader->position + offset;
    else if ((whence & ~AVSEEK_FORCE) == SEEK_END)
        target = size + offset;
    if (target < 0 || target > size)
        return -1;
    reader->position = target;
    return target;
}

struct IoContextFree
{
    void operator()(AVIOContext* io) const
    {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct FormatClose
{
    void operator()(AVFormatContext* format) const { avformat_close_input(&format); }
};
struct CodecFree
{
    void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct SwrFree
{
    void operator()(SwrContext* swr) const { swr_free(&swr); }
};
struct FrameFree
{
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree
{
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

[[noreturn]] void refuse(const std::string& message)
{
    throw HttpError(422, message);
}

class Decoder
{
public:
    Decoder(AVFormatContext* format, double maximumSeconds, const BlockSink& sink)
        : m_format(format)
        , m_maximumSamples(static_cast<std::size_t>(maximumSeconds * kSampleRate))
        , m_sink(sink)
    {
        if (avformat_find_stream_info(format, nullptr) < 0)
            refuse("The audio file could not be read.");
        const AVCodec* codec = nullptr;
        m_stream = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
        if (m_stream < 0 || !codec)
            refuse("The file holds no audio track that the server can decode.");
        m_codec.reset(avcodec_alloc_context3(codec));
        avcodec_parameters_to_context(m_codec.get(), format->streams[m_stream]->codecpar);
        if (avcodec_open2(m_codec.get(), codec, nullptr) < 0)
            refuse("The audio track could not be decoded.");
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        SwrContext* swr = nullptr;
        if (swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_S16, kSampleRate, &m_codec->ch_layout,
                m_codec->sample_fmt, m_codec->sample_rate, 0, nullptr)
                < 0
            || swr_init(swr) < 0) {
            swr_free(&swr);
            refuse("The audio track has a format the server cannot convert.");
        }
        m_swr.reset(swr);
    }

    void run()
    {
        std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
        std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
        while (av_read_frame(m_format, packet.get()) >= 0) {
            if (packet->stream_index == m_stream && avcodec_send_packet(m_codec.get(), packet.get()) >= 0)
                drain(frame.get());
            av_packet_unref(packet.get());
        }
        avcodec_send_packet(m_codec.get(), nullptr);
        drain(frame.get());
        convert(nullptr, 0);
    }

private:
    void drain(AVFrame* frame)
    {
        while (avcodec_receive_frame(m_codec.get(), frame) >= 0) {
            convert(const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
            av_frame_unref(frame);
        }
    }

    void convert(const std::uint8_t** input, int count)
    {
        const int room = swr_get_out_samples(m_swr.get(), count);
        if (room <= 0)
            return;
        m_block.resize(static_cast<std::size_t>(room));
        auto* output = reinterpret_cast<std::uint8_t*>(m_block.data());
        const int written = swr_convert(m_swr.get(), &output, room, input, count);
        if (written <= 0)
            return;
        m_total += static_cast<std::size_t>(written);
        if (m_total > m_maximumSamples)
            refuse("The audio is longer than the server accepts.");
        m_sink(m_block.data(), static_cast<std::size_t>(written));
    }

    AVFormatContext* m_format;
    std::size_t m_maximumSamples;
    int m_stream = -1;
    std::unique_ptr<AVCodecContext, CodecFree> m_codec;
    std::unique_ptr<SwrContext, SwrFree> m_swr;
    const BlockSink& m_sink;
    std::vector<std::int16_t> m_block;
    std::size_t m_total = 0;
};

BlockSink appendTo(Pcm& pcm)
{
    return [&pcm](const std::int16_t* samples, std::size_t count) {
        pcm.samples.insert(pcm.samples.end(), samples, samples + count);
    };
}

} // namespace

Pcm decodeBytes(std::string_view bytes, double maximumSeconds)
{
    if (bytes.empty())
        throw HttpError(400, "The audio upload is empty.");
    MemoryReader reader { bytes, 0 };
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    std::unique_ptr<AVIOContext, IoContextFree> io(
        avio_alloc_context(buffer, kIoBufferSize, 0, &reader, readPacket, nullptr, seekPacket));
    AVFormatContext* raw = avformat_alloc_context();
    raw->pb = io.get();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (avformat_open_input(&raw, nullptr, nullptr, nullptr) < 0)
        refuse("The upload is not an audio file the server can read.");
    std::unique_ptr<AVFormatContext, FormatClose> format(raw);
    Pcm pcm;
    Decoder(format.get(), maximumSeconds, appendTo(pcm)).run();
    return pcm;
}

void decodeFileInBlocks(const std::string& path, double maximumSeconds, const BlockSink& sink)
{
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        refuse("The uploaded recording is not an audio file the server can read.");
    std::unique_ptr<AVFormatContext, FormatClose> format(raw);
    Decoder(format.get(), maximumSeconds, sink).run();
}

} // namespace server::AudioDecoder
