#pragma once

#include "media/FFmpegHandles.h"

#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace FFmpeg {

// The packets of a fragmented MP4 (the capture's format), read from its
// fragment headers one fragment at a time. FFmpeg's MP4 demuxer keeps an
// index entry for every packet it has seen, 22 MB for a two-hour capture,
// in every reader; this one holds one fragment whatever the length.
// The streams come from FFmpeg, reading the file's header alone. A cut-off
// last fragment ends the packets where its data ends.
class FragmentReader
{
public:
    // Null when the file is not a fragmented MP4 (no track header box with
    // fragment defaults before the first fragment); throws Error when it
    // cannot be read.
    static std::unique_ptr<FragmentReader> open(const QString& path);
    FragmentReader(const FragmentReader&) = delete;
    FragmentReader& operator=(const FragmentReader&) = delete;
    ~FragmentReader();

    AVFormatContext* header() const { return m_header->get(); }

    // The next packet's stream and times, in file order, without its data;
    // false after the last.
    bool next(AVPacket* packet);
    // Gives the packet from next() its data.
    void fetch(AVPacket* packet);

private:
    struct Track
    {
        int streamIndex = -1;
        uint32_t defaultDuration = 0;
        uint32_t defaultSize = 0;
        int64_t nextDts = 0;
    };
    struct Sample
    {
        int streamIndex = -1;
        int64_t dts = 0;
        int64_t duration = 0;
        int64_t offset = 0;
        int size = 0;
    };

    FragmentReader(const QString& path, int fd, int64_t size);
    bool readFragment();
    void readTrackFragment(
        const std::vector<uint8_t>& moof, std::size_t from, std::size_t end, int64_t moofStart);
    void readExactly(int64_t offset, uint8_t* data, std::size_t size) const;
    void setFields(AVPacket* packet, const Sample& sample) const;

    QString m_path;
    int m_fd = -1;
    int64_t m_size = 0;
    int64_t m_nextBox = 0;
    std::unique_ptr<InputFile> m_header;
    std::map<uint32_t, Track> m_tracks;
    std::vector<Sample> m_samples;
    std::size_t m_current = 0;
    // The current fragment's data, read at the first fetch.
    std::vector<uint8_t> m_data;
    int64_t m_dataStart = -1;
};

} // namespace FFmpeg
