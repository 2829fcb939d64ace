#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <stdexcept>

struct AVAudioFifo;
struct AVCodecContext;
struct AVFilterGraph;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;
struct SwrContext;

// Owning handles for the FFmpeg objects the capture and the pipeline use, so
// that every exit path (including exceptions thrown from a worker thread)
// releases them.
namespace FFmpeg {

struct InputDeleter
{
    void operator()(AVFormatContext* context) const;
};
// Also closes the output's I/O context when it opened one itself (a custom
// I/O context belongs to its PrivateFile).
struct OutputDeleter
{
    void operator()(AVFormatContext* context) const;
};
struct CodecDeleter
{
    void operator()(AVCodecContext* context) const;
};
struct FrameDeleter
{
    void operator()(AVFrame* frame) const;
};
struct PacketDeleter
{
    void operator()(AVPacket* packet) const;
};
struct ResamplerDeleter
{
    void operator()(SwrContext* context) const;
};
struct FifoDeleter
{
    void operator()(AVAudioFifo* fifo) const;
};
struct GraphDeleter
{
    void operator()(AVFilterGraph* graph) const;
};

using Input = std::unique_ptr<AVFormatContext, InputDeleter>;
using Output = std::unique_ptr<AVFormatContext, OutputDeleter>;
using Codec = std::unique_ptr<AVCodecContext, CodecDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;
using Resampler = std::unique_ptr<SwrContext, ResamplerDeleter>;
using Fifo = std::unique_ptr<AVAudioFifo, FifoDeleter>;
using Graph = std::unique_ptr<AVFilterGraph, GraphDeleter>;

// The system writes no log: failures reach the user as exceptions instead of
// FFmpeg's own messages on standard error.
void silenceLogging();

Frame makeFrame();
Packet makePacket();

// An FFmpeg failure with its AVERROR code, "<action> failed: <reason>.".
// Callers that know better what it means for the user say so instead (see
// systemErrorCode).
class Error : public std::runtime_error
{
public:
    Error(int code, const QString& action);

    int code() const { return m_code; }
    // The errno behind the failure when it came from the operating system
    // (a full disk, a missing folder), otherwise 0.
    int systemErrorCode() const;

private:
    int m_code;
};

// Throws Error when code is negative; returns it otherwise.
int check(int code, const QString& action);

// A new file (O_EXCL, mode 0600) behind an AVIOContext, so no audio file is
// ever readable by others, not even for a moment. With durable set, every
// flushed block is also synced to the disk, so what a muxer has handed over
// survives a kill or a power cut.
class PrivateFile
{
public:
    PrivateFile(const QString& path, bool durable);
    PrivateFile(const PrivateFile&) = delete;
    PrivateFile& operator=(const PrivateFile&) = delete;
    ~PrivateFile();

    AVIOContext* io() const { return m_io; }
    // Hands the file to a muxer as its custom I/O.
    void attach(AVFormatContext* muxer) const;
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

// A file opened for a demuxer, its size taken once. The MP4 demuxer asks for
// the size at every box, and a fragmented capture has a fragment every fifth
// of a second: through FFmpeg's own file reader that was two system calls each,
// seconds of CPU for a two-hour capture. Only for files that do not grow while
// they are read.
class InputFile
{
public:
    // Opens the file and its container; throws Error when either fails. With a
    // length, the demuxer sees the file as if it ended there.
    explicit InputFile(const QString& path, int64_t length = -1);
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    AVFormatContext* get() const { return m_context; }
    AVFormatContext* operator->() const { return m_context; }

private:
    static int readPacket(void* opaque, uint8_t* data, int size);
    static int64_t seek(void* opaque, int64_t offset, int whence);
    void release();

    int m_fd = -1;
    int64_t m_size = 0;
    AVIOContext* m_io = nullptr;
    AVFormatContext* m_context = nullptr;
};

} // namespace FFmpeg
