#pragma once

#include <QString>

#include <memory>
#include <stdexcept>

struct AVAudioFifo;
struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

// Owning handles for the FFmpeg objects the pipeline uses, so that every exit
// path (including exceptions thrown from a worker thread) releases them.
namespace FFmpeg {

struct InputDeleter
{
    void operator()(AVFormatContext* context) const;
};
// Also closes the output's I/O context when one was opened.
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

using Input = std::unique_ptr<AVFormatContext, InputDeleter>;
using Output = std::unique_ptr<AVFormatContext, OutputDeleter>;
using Codec = std::unique_ptr<AVCodecContext, CodecDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;
using Resampler = std::unique_ptr<SwrContext, ResamplerDeleter>;
using Fifo = std::unique_ptr<AVAudioFifo, FifoDeleter>;

// The system writes no log: failures reach the user as exceptions instead of
// FFmpeg's own messages on standard error.
void silenceLogging();

Frame makeFrame();
Packet makePacket();

// An FFmpeg failure with its AVERROR code. Not user-facing: callers decide
// what it means for the user (see systemErrorCode).
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
int check(int code, const char* action);

} // namespace FFmpeg
