#include "AudioDecoder.h"

#include "HttpError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace server::AudioDecoder {

namespace {

constexpr std::size_t kIoBufferSize = 64 * 1024;
// Only containers of recorded audio. Everything else FFmpeg probes (playlists,
// concat lists, image sequences, stream descriptions) can open other files or hosts.
constexpr const char* kFormats = "wav,mov,mp4,m4a,matroska,webm,ogg,mp3,flac,aac";
constexpr const char* kCodecs = "aac,aac_fixed,mp3float,mp3,flac,opus,vorbis,pcm_s16le,pcm_s16be,"
                                "pcm_s24le,pcm_s32le,pcm_f32le,pcm_f64le,pcm_u8,pcm_mulaw,pcm_alaw";
// No protocol at all: the bytes reach FFmpeg only through our own reader.
constexpr const char* kProtocols = "none";
constexpr int kMaximumStreams = 16;
// The bounds keep the work proportional to the upload: a tiny file declaring
// 1 Hz would otherwise be resampled into hours of audio.
constexpr int kMinimumRate = 4000;
constexpr int kMaximumRate = 384000;
constexpr int kMaximumChannels = 16;

struct MemoryReader
{
    std::string_view bytes;
    std::int64_t position = 0;
};

int readMemory(void* opaque, std::uint8_t* buffer, int size)
{
    auto* reader = static_cast<MemoryReader*>(opaque);
    const auto left = static_cast<std::int64_t>(reader->bytes.size()) - reader->position;
    if (left <= 0) {
        return AVERROR_EOF;
    }
    const auto count = static_cast<int>(std::min<std::int64_t>(left, size));
    std::memcpy(buffer, reader->bytes.data() + reader->position, count);
    reader->position += count;
    return count;
}

// Where an AVIO seek lands, or -1 outside the data; both readers bound it
// alike, so that a stored file and an upload of the same bytes decode alike.
std::int64_t seekTarget(std::int64_t position, std::int64_t size, std::int64_t offset, int whence)
{
    std::int64_t target = offset;
    if ((whence & ~AVSEEK_FORCE) == SEEK_CUR) {
        target = position + offset;
    } else if ((whence & ~AVSEEK_FORCE) == SEEK_END) {
        target = size + offset;
    }
    return target < 0 || target > size ? -1 : target;
}

std::int64_t seekMemory(void* opaque, std::int64_t offset, int whence)
{
    auto* reader = static_cast<MemoryReader*>(opaque);
    const auto size = static_cast<std::int64_t>(reader->bytes.size());
    if (whence == AVSEEK_SIZE) {
        return size;
    }
    const std::int64_t target = seekTarget(reader->position, size, offset, whence);
    if (target < 0) {
        return -1;
    }
    reader->position = target;
    return target;
}

struct FileClose
{
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileClose>;

int readFile(void* opaque, std::uint8_t* buffer, int size)
{
    auto* file = static_cast<std::FILE*>(opaque);
    const auto count = std::fread(buffer, 1, static_cast<std::size_t>(size), file);
    if (count > 0) {
        return static_cast<int>(count);
    }
    return std::ferror(file) ? AVERROR(EIO) : AVERROR_EOF;
}

std::int64_t seekFile(void* opaque, std::int64_t offset, int whence)
{
    auto* file = static_cast<std::FILE*>(opaque);
    struct stat status
    {
    };
    if (::fstat(::fileno(file), &status) != 0) {
        return -1;
    }
    if (whence == AVSEEK_SIZE) {
        return status.st_size;
    }
    const std::int64_t target = seekTarget(::ftello(file), status.st_size, offset, whence);
    if (target < 0 || ::fseeko(file, target, SEEK_SET) != 0) {
        return -1;
    }
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

using ReadFunction = int (*)(void*, std::uint8_t*, int);
using SeekFunction = std::int64_t (*)(void*, std::int64_t, int);

// Opens a container through our own reader, with FFmpeg limited to the whitelists.
class Input
{
public:
    Input(void* opaque, ReadFunction read, SeekFunction seek)
    {
        auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
        m_io.reset(avio_alloc_context(buffer, kIoBufferSize, 0, opaque, read, nullptr, seek));
        AVFormatContext* raw = avformat_alloc_context();
        raw->pb = m_io.get();
        raw->flags |= AVFMT_FLAG_CUSTOM_IO;
        AVDictionary* options = nullptr;
        av_dict_set(&options, "format_whitelist", kFormats, 0);
        av_dict_set(&options, "codec_whitelist", kCodecs, 0);
        av_dict_set(&options, "protocol_whitelist", kProtocols, 0);
        av_dict_set_int(&options, "max_streams", kMaximumStreams, 0);
        const int opened = avformat_open_input(&raw, nullptr, nullptr, &options);
        av_dict_free(&options);
        if (opened < 0) {
            refuse("The upload is not an audio file the server can read.");
        }
        m_format.reset(raw);
    }

    AVFormatContext* format() const { return m_format.get(); }

private:
    std::unique_ptr<AVIOContext, IoContextFree> m_io;
    std::unique_ptr<AVFormatContext, FormatClose> m_format;
};

class Decoder
{
public:
    Decoder(AVFormatContext* format, double maximumSeconds, const BlockSink& sink)
        : m_format(format)
        , m_maximumSamples(static_cast<std::size_t>(maximumSeconds * kSampleRate))
        , m_sink(sink)
    {
        if (avformat_find_stream_info(format, nullptr) < 0) {
            refuse("The audio file could not be read.");
        }
        const AVCodec* codec = nullptr;
        m_stream = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
        if (m_stream < 0 || !codec) {
            refuse("The file holds no audio track that the server can decode.");
        }
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            format->streams[i]->discard = static_cast<int>(i) == m_stream ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
        }
        const AVCodecParameters* parameters = format->streams[m_stream]->codecpar;
        checkShape(parameters->sample_rate, parameters->ch_layout.nb_channels);
        m_codec.reset(avcodec_alloc_context3(codec));
        AVDictionary* options = nullptr;
        av_dict_set(&options, "codec_whitelist", kCodecs, 0);
        const bool opened = avcodec_parameters_to_context(m_codec.get(), parameters) >= 0
            && avcodec_open2(m_codec.get(), codec, &options) >= 0;
        av_dict_free(&options);
        if (!opened) {
            refuse("The audio track could not be decoded.");
        }
    }

    ~Decoder() { av_channel_layout_uninit(&m_layout); }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    void run()
    {
        std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
        std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
        while (av_read_frame(m_format, packet.get()) >= 0) {
            if (packet->stream_index == m_stream && avcodec_send_packet(m_codec.get(), packet.get()) >= 0) {
                drain(frame.get());
            }
            av_packet_unref(packet.get());
        }
        avcodec_send_packet(m_codec.get(), nullptr);
        drain(frame.get());
        if (m_swr) {
            convert(nullptr, 0);
        }
    }

private:
    static void checkShape(int rate, int channels)
    {
        if (rate < kMinimumRate || rate > kMaximumRate) {
            refuse("The audio's sample rate of " + std::to_string(rate)
                + " Hz is outside what the server accepts.");
        }
        if (channels < 1 || channels > kMaximumChannels) {
            refuse("The audio has " + std::to_string(channels) + " channels; the server accepts 1 to "
                + std::to_string(kMaximumChannels) + ".");
        }
    }

    // A stream may change its rate or channels midway (MP3 and AAC can), so the
    // converter follows each frame rather than the header alone.
    void follow(AVFrame& frame)
    {
        if (m_swr && frame.sample_rate == m_rate && frame.format == m_sampleFormat
            && av_channel_layout_compare(&frame.ch_layout, &m_layout) == 0) {
            return;
        }
        checkShape(frame.sample_rate, frame.ch_layout.nb_channels);
        if (m_swr) {
            convert(nullptr, 0);
        }
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        SwrContext* swr = nullptr;
        if (swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_S16, kSampleRate, &frame.ch_layout,
                static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0, nullptr)
                < 0
            || swr_init(swr) < 0) {
            swr_free(&swr);
            refuse("The audio track has a format the server cannot convert.");
        }
        m_swr.reset(swr);
        m_rate = frame.sample_rate;
        m_sampleFormat = frame.format;
        av_channel_layout_uninit(&m_layout);
        av_channel_layout_copy(&m_layout, &frame.ch_layout);
    }

    void drain(AVFrame* frame)
    {
        while (avcodec_receive_frame(m_codec.get(), frame) >= 0) {
            follow(*frame);
            convert(const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
            av_frame_unref(frame);
        }
    }

    void convert(const std::uint8_t** input, int count)
    {
        const int room = swr_get_out_samples(m_swr.get(), count);
        if (room <= 0) {
            return;
        }
        m_block.resize(static_cast<std::size_t>(room));
        auto* output = reinterpret_cast<std::uint8_t*>(m_block.data());
        const int written = swr_convert(m_swr.get(), &output, room, input, count);
        if (written <= 0) {
            return;
        }
        m_total += static_cast<std::size_t>(written);
        if (m_total > m_maximumSamples) {
            refuse("The audio is longer than the server accepts.");
        }
        m_sink(m_block.data(), static_cast<std::size_t>(written));
    }

    AVFormatContext* m_format;
    std::size_t m_maximumSamples;
    int m_stream = -1;
    std::unique_ptr<AVCodecContext, CodecFree> m_codec;
    std::unique_ptr<SwrContext, SwrFree> m_swr;
    int m_rate = 0;
    int m_sampleFormat = -1;
    AVChannelLayout m_layout {};
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
    if (bytes.empty()) {
        throw HttpError(400, "The audio upload is empty.");
    }
    MemoryReader reader { bytes, 0 };
    const Input input(&reader, readMemory, seekMemory);
    Pcm pcm;
    Decoder(input.format(), maximumSeconds, appendTo(pcm)).run();
    return pcm;
}

void decodeFileInBlocks(const std::string& path, double maximumSeconds, const BlockSink& sink)
{
    const File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        refuse("The uploaded recording could not be opened: " + std::string(std::strerror(errno)) + ".");
    }
    const Input input(file.get(), readFile, seekFile);
    Decoder(input.format(), maximumSeconds, sink).run();
}

} // namespace server::AudioDecoder
