#pragma once

#include "media/FFmpegHandles.h"

#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

// Decodes the first audio stream of a file into planar 32-bit float samples at
// the file's own sample rate, addressed by sample position: position 0 is the
// first sample a player would output (encoder priming already skipped). Not
// thread-safe; one reader per thread. Every failure throws FFmpeg::Error.
class AudioReader
{
public:
    // outputChannels: downmix to this many channels; absent keeps the file's.
    explicit AudioReader(const QString& path, std::optional<int> outputChannels = std::nullopt);
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;
    ~AudioReader();

    int sampleRate() const { return m_sampleRate; }
    int channelCount() const { return m_outputChannels; }
    // The duration the container states for the stream, in seconds; NaN when
    // it states none. A raw stream whose container only guesses from the bit
    // rate is measured by reading its packets, and the reader starts again.
    double duration();

    // The next read starts at this sample position.
    void seek(std::int64_t position);
    // The demuxer, to read the stream's packets directly; the next read must
    // follow a seek.
    AVFormatContext& borrowInput();
    int streamIndex() const { return m_streamIndex; }

    // Reads up to `frames` frames into planes[channel][0, frames); returns how
    // many were delivered, 0 at the end of the stream.
    int read(float* const* planes, int frames);

private:
    void open();
    double measuredDuration();
    bool decodeNextFrame();
    bool receiveFrame();
    void sendNextPacket();
    void convertFrame();
    void seekToContainerPosition(std::int64_t position);

    QString m_path;
    std::optional<int> m_requestedChannels;

    FFmpeg::Input m_input;
    FFmpeg::Codec m_decoder;
    FFmpeg::Resampler m_resampler;
    // What the resampler was made for: the sample format, rate and channels
    // of the first decoded frame.
    std::array<int, 3> m_resamplerInput {};
    FFmpeg::Frame m_frame;
    FFmpeg::Packet m_packet;
    int m_streamIndex = -1;
    int m_sampleRate = 0;
    int m_outputChannels = 0;
    std::int64_t m_startTime = 0;
    // Packets have been read since the input was opened.
    bool m_inputTouched = false;
    // Decoding began at the start of the stream, so nothing earlier exists.
    bool m_fromBeginning = true;
    // After a seek, the next decoded frame's timestamp fixes the position;
    // later frames follow on back to back.
    bool m_positionKnown = false;
    std::int64_t m_position = 0;

    // One decoded frame, converted: channel c's samples start at
    // m_converted[c * m_convertedCapacity].
    std::vector<float> m_converted;
    int m_convertedCapacity = 0;
    int m_convertedFrames = 0;
    std::int64_t m_convertedStart = 0;
};
