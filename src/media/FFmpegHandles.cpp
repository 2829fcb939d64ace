#include "media/FFmpegHandles.h"

#include "core/FileSystemError.h"

#include <QFile>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace FFmpeg {
namespace {

constexpr int kIoBufferSize = 64 * 1024;

// The custom I/O's seek, on a descriptor; FFmpeg's force flag means nothing here.
int64_t seekDescriptor(int fd, int64_t offset, int whence)
{
    const off_t result = ::lseek(fd, offset, whence & ~AVSEEK_FORCE);
    return result < 0 ? AVERROR(errno) : result;
}

} // namespace

void InputDeleter::operator()(AVFormatContext* context) const
{
    avformat_close_input(&context);
}

void OutputDeleter::operator()(AVFormatContext* context) const
{
    if (context->pb && !(context->flags & AVFMT_FLAG_CUSTOM_IO)
        && !(context->oformat->flags & AVFMT_NOFILE)) {
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

void GraphDeleter::operator()(AVFilterGraph* graph) const
{
    avfilter_graph_free(&graph);
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

int check(int code, const QString& action)
{
    if (code < 0) {
        throw Error(code, action);
    }
    return code;
}

PrivateFile::PrivateFile(const QString& path, bool durable)
    : m_path(path)
    , m_durable(durable)
{
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        throw FileSystemError::fromErrno(QStringLiteral("Creating the audio file"), path, errno);
    }
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    m_io
        = buffer ? avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr, &writePacket, &seek) : nullptr;
    if (!m_io) {
        av_free(buffer);
        ::close(m_fd);
        throw Error(AVERROR(ENOMEM), QStringLiteral("Opening the audio file"));
    }
}

PrivateFile::~PrivateFile()
{
    if (m_io) {
        av_freep(&m_io->buffer);
        avio_context_free(&m_io);
    }
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void PrivateFile::attach(AVFormatContext* muxer) const
{
    muxer->pb = m_io;
    muxer->flags |= AVFMT_FLAG_CUSTOM_IO;
}

void PrivateFile::close()
{
    avio_flush(m_io);
    const int error = m_error ? m_error : m_io->error;
    if (error < 0) {
        throw Error(error, QStringLiteral("Writing %1").arg(m_path));
    }
    if (::fsync(m_fd) != 0 || ::close(std::exchange(m_fd, -1)) != 0) {
        throw FileSystemError::fromErrno(QStringLiteral("Writing the audio file"), m_path, errno);
    }
}

int PrivateFile::writePacket(void* opaque, uint8_t* data, int size)
{
    auto* self = static_cast<PrivateFile*>(opaque);
    // After a failed write nothing more goes in, not even a trailer written
    // over the header: the file keeps what was whole when the disk filled.
    if (self->m_error) {
        return self->m_error;
    }
    const off_t start = ::lseek(self->m_fd, 0, SEEK_CUR);
    struct stat status
    {
    };
    const bool appending = start >= 0 && ::fstat(self->m_fd, &status) == 0 && start == status.st_size;
    for (int written = 0; written < size;) {
        const ssize_t result = ::write(self->m_fd, data + written, size - written);
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result < 0) {
            self->m_error = AVERROR(errno);
            // Half a box at the end would make the whole file unreadable.
            if (appending) {
                [[maybe_unused]] const int truncated = ::ftruncate(self->m_fd, start);
            }
            return self->m_error;
        }
        written += static_cast<int>(result);
    }
    if (self->m_durable && ::fdatasync(self->m_fd) != 0) {
        self->m_error = AVERROR(errno);
        return self->m_error;
    }
    return size;
}

int64_t PrivateFile::seek(void* opaque, int64_t offset, int whence)
{
    auto* self = static_cast<PrivateFile*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat status
        {
        };
        return ::fstat(self->m_fd, &status) == 0 ? status.st_size : AVERROR(errno);
    }
    return seekDescriptor(self->m_fd, offset, whence);
}

InputFile::InputFile(const QString& path, int64_t length)
{
    const QString action = QStringLiteral("Opening %1").arg(path);
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    struct stat status
    {
    };
    if (m_fd < 0 || ::fstat(m_fd, &status) != 0) {
        const int error = errno;
        release();
        throw Error(AVERROR(error), action);
    }
    m_size = length >= 0 ? std::min<int64_t>(length, status.st_size) : status.st_size;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    m_io = buffer ? avio_alloc_context(buffer, kIoBufferSize, 0, this, &readPacket, nullptr, &seek) : nullptr;
    m_context = m_io ? avformat_alloc_context() : nullptr;
    if (!m_context) {
        if (!m_io) {
            av_free(buffer);
        }
        release();
        throw Error(AVERROR(ENOMEM), action);
    }
    m_context->pb = m_io;
    m_context->flags |= AVFMT_FLAG_CUSTOM_IO;
    // On failure the demuxer frees the context and clears the pointer.
    const int opened = avformat_open_input(&m_context, QFile::encodeName(path).constData(), nullptr, nullptr);
    if (opened < 0) {
        release();
        throw Error(opened, action);
    }
}

InputFile::~InputFile()
{
    release();
}

void InputFile::release()
{
    avformat_close_input(&m_context);
    if (m_io) {
        av_freep(&m_io->buffer);
        avio_context_free(&m_io);
    }
    if (m_fd >= 0) {
        ::close(std::exchange(m_fd, -1));
    }
}

int InputFile::readPacket(void* opaque, uint8_t* data, int size)
{
    auto* self = static_cast<InputFile*>(opaque);
    const off_t at = ::lseek(self->m_fd, 0, SEEK_CUR);
    if (at < 0) {
        return AVERROR(errno);
    }
    const auto wanted = static_cast<std::size_t>(std::clamp<int64_t>(self->m_size - at, 0, size));
    while (true) {
        const ssize_t result = ::read(self->m_fd, data, wanted);
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result < 0) {
            return AVERROR(errno);
        }
        return result == 0 ? AVERROR_EOF : static_cast<int>(result);
    }
}

int64_t InputFile::seek(void* opaque, int64_t offset, int whence)
{
    auto* self = static_cast<InputFile*>(opaque);
    if (whence & AVSEEK_SIZE) {
        return self->m_size;
    }
    return seekDescriptor(self->m_fd, offset, whence);
}

} // namespace FFmpeg
