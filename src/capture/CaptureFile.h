#pragma once

// The raw capture: one fragmented MPEG-4 file with two mono AAC tracks at
// 48 kHz, track 0 the system audio and track 1 the microphone, both starting
// at the same instant. Samples go in as float; every half second a fragment
// is cut and synced to disk, so a kill or a crash loses at most that much.
// Not thread-safe: one thread at a time uses it.

#include "media/FFmpegHandles.h"

#include <QString>

#include <array>
#include <memory>
#include <vector>

struct AVStream;

class CaptureFile
{
public:
    static constexpr int kSampleRate = 48000;
    static constexpr int kTrackCount = 2;

    // Creates the file (mode 0600, must not exist) and writes its header.
    explicit CaptureFile(const QString& path);
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;
    ~CaptureFile();

    void append(int track, const float* samples, qint64 count);
    void appendSilence(int track, qint64 count);
    // Encodes what is left, writes the trailer and closes the file. Further
    // calls do nothing.
    void finish();

    bool isFinished() const { return m_finished; }
    // Samples handed to the track so far, silence included.
    qint64 length(int track) const;

private:
    struct Track
    {
        FFmpeg::Codec encoder;
        AVStream* stream = nullptr;
        std::vector<float> pending;
        qint64 encoded = 0;
    };

    void encodePending(Track& track, bool final);
    void drain(Track& track);

    QString m_path;
    std::unique_ptr<FFmpeg::PrivateFile> m_file;
    FFmpeg::Output m_muxer;
    std::array<Track, kTrackCount> m_tracks;
    FFmpeg::Frame m_frame;
    FFmpeg::Packet m_packet;
    bool m_finished = false;
};
