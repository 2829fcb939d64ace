#include "capture/AvHandles.h"

#include "capture/RecorderError.h"
#include "core/FileSystemError.h"

#include <QFile>

extern "C" {
#include <libavutil/log.h>
}

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace Av {
namespace {

constexpr int kIoBufferSize = 64 * 1024;

} // namespace

void silenceLogging()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

Frame makeFrame()
{
    Frame frame(av_frame_alloc());
    if (!frame) {
        throw MediaError::fromCode(QStringLiteral("Allocating an audio frame"), AVERROR(ENOMEM));
    }
    return frame;
}

Packet makePacket()
{
    Packet packet(av_packet_alloc());
    if (!packet) {
        throw MediaError::fromCode(QStringLiteral("Allocating an audio packet"), AVERROR(ENOMEM));
    }
    return packet;
}

int check(int code, const QString& action)
{
    if (code < 0) {
        throw MediaError::fromCode(action, code);
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
        throw MediaError::fromCode(QStringLiteral("Opening the audio file"), AVERROR(ENOMEM));
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

void PrivateFile::close()
{
    avio_flush(m_io);
    const int error = m_error ? m_error : m_io->error;
    if (error < 0) {
        throw MediaError::fromCode(QStringLiteral("Writing %1").arg(m_path), error);
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
    const off_t result = ::lseek(self->m_fd, offset, whence & ~AVSEEK_FORCE);
    return result < 0 ? AVERROR(errno) : result;
}

} // namespace Av
