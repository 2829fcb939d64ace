#pragma once

#include "media/FFmpegHandles.h"

#include <QString>

#include <cstdint>

struct AVFormatContext;
struct AVStream;

// The M4A file the chunks are written as, whether encoded or copied.
namespace M4aContainer {

FFmpeg::Output create(const QString& path);
// Opens the file, keeping the permissions it was created with, and writes the
// header once the track is added.
void writeHeader(AVFormatContext& output, const QString& path, int sampleRate);
// Writes the index and closes the file.
void finish(AVFormatContext& output);

} // namespace M4aContainer

// Encodes planar float samples as AAC into an M4A file. The encoder's priming
// samples are recorded in the file's edit list, so a player outputs exactly
// the samples written, from the first. Every failure throws FFmpeg::Error; a
// writer destroyed before finish() leaves an unusable file for the caller to
// remove.
class M4aWriter
{
public:
    // The file at path is truncated, keeping the permissions it was created with.
    M4aWriter(const QString& path, int sampleRate, int channels, int bitRate);
    M4aWriter(const M4aWriter&) = delete;
    M4aWriter& operator=(const M4aWriter&) = delete;
    ~M4aWriter();

    void write(const float* const* planes, int frames);
    // Encodes what is buffered, writes the index and closes the file.
    void finish();

    std::int64_t framesWritten() const { return m_nextPts; }

private:
    void encodeBuffered(int frames);
    void send(const AVFrame* frame);
    void checkOutput(const char* action) const;

    FFmpeg::Output m_output;
    FFmpeg::Codec m_encoder;
    FFmpeg::Fifo m_fifo;
    FFmpeg::Frame m_frame;
    FFmpeg::Packet m_packet;
    AVStream* m_stream = nullptr;
    std::int64_t m_nextPts = 0;
};
