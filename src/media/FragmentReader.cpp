#include "media/FragmentReader.h"

#include <QFile>

extern "C" {
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace FFmpeg {
namespace {

// Larger header boxes or packets than these are damage, not audio.
constexpr uint64_t kLargestHeader = 16 << 20;
constexpr uint32_t kLargestPacket = 1 << 20;
constexpr uint32_t kMostSamplesPerRun = 1 << 20;
// Later time stamps are damage too; below it, sums of times and durations cannot overflow.
constexpr uint64_t kLatestTime = uint64_t(1) << 53;
// A fragment's data up to this size is read in one go.
constexpr int64_t kLargestFragmentData = 8 << 20;

uint32_t be32(const uint8_t* data)
{
    return uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 | data[3];
}

uint64_t be64(const uint8_t* data)
{
    return uint64_t(be32(data)) << 32 | be32(data + 4);
}

constexpr uint32_t boxType(const char (&name)[5])
{
    return uint32_t(uint8_t(name[0])) << 24 | uint32_t(uint8_t(name[1])) << 16
        | uint32_t(uint8_t(name[2])) << 8 | uint8_t(name[3]);
}

struct Box
{
    uint32_t type = 0;
    uint64_t body = 0;
    uint64_t end = 0;
};

// The box whose header starts `data` (at most `available` bytes), placed at
// `at`; a size of 0 runs to `limit`. Nullopt when the header is damaged.
std::optional<Box> parseBox(const uint8_t* data, uint64_t available, uint64_t at, uint64_t limit)
{
    if (available < 8) {
        return std::nullopt;
    }
    uint64_t size = be32(data);
    uint64_t header = 8;
    if (size == 1) {
        if (available < 16) {
            return std::nullopt;
        }
        size = be64(data + 8);
        header = 16;
    } else if (size == 0) {
        size = limit - at;
    }
    if (size < header || size > UINT64_MAX - at) {
        return std::nullopt;
    }
    return Box { be32(data + 4), at + header, at + size };
}

// The children of the box body data[from, end), in order; stops at the first
// that does not fit.
template <typename Visit>
void forEachChild(const std::vector<uint8_t>& data, uint64_t from, uint64_t end, Visit visit)
{
    while (from < end) {
        const std::optional<Box> box = parseBox(data.data() + from, end - from, from, end);
        if (!box || box->end > end) {
            return;
        }
        visit(*box);
        from = box->end;
    }
}

Error readError(const QString& path, int code)
{
    return Error(code, QStringLiteral("Reading %1").arg(path));
}

} // namespace

FragmentReader::FragmentReader(const QString& path, int fd, int64_t size)
    : m_path(path)
    , m_fd(fd)
    , m_size(size)
{ }

FragmentReader::~FragmentReader()
{
    ::close(m_fd);
}

std::unique_ptr<FragmentReader> FragmentReader::open(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    struct stat status
    {
    };
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        const int error = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        throw Error(AVERROR(error), QStringLiteral("Opening %1").arg(path));
    }
    std::unique_ptr<FragmentReader> reader(new FragmentReader(path, fd, status.st_size));
    // The header box comes before any fragment or data.
    int64_t at = 0;
    std::optional<Box> moov;
    while (!moov && at < reader->m_size) {
        uint8_t header[16] = {};
        const ssize_t got = ::pread(fd, header, sizeof header, at);
        const std::optional<Box> box = got < 0
            ? std::nullopt
            : parseBox(header, uint64_t(got), uint64_t(at), uint64_t(reader->m_size));
        if (!box || box->end > uint64_t(reader->m_size) || box->type == boxType("moof")
            || box->type == boxType("mdat")) {
            return nullptr;
        }
        if (box->type == boxType("moov")) {
            moov = box;
        }
        at = int64_t(box->end);
    }
    if (!moov || moov->end - moov->body > kLargestHeader) {
        return nullptr;
    }
    std::vector<uint8_t> body(moov->end - moov->body);
    reader->readExactly(int64_t(moov->body), body.data(), body.size());
    std::map<uint32_t, Track> defaults;
    forEachChild(body, 0, body.size(), [&](const Box& box) {
        if (box.type != boxType("mvex")) {
            return;
        }
        forEachChild(body, box.body, box.end, [&](const Box& trex) {
            // version and flags, track, description index, duration, size, flags
            if (trex.type == boxType("trex") && trex.end - trex.body >= 24) {
                const uint8_t* field = body.data() + trex.body;
                defaults[be32(field + 4)]
                    = Track { .defaultDuration = be32(field + 12), .defaultSize = be32(field + 16) };
            }
        });
    });
    if (defaults.empty()) {
        return nullptr;
    }
    reader->m_header = std::make_unique<InputFile>(path, int64_t(moov->end));
    AVFormatContext* format = reader->header();
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const auto found = defaults.find(static_cast<uint32_t>(format->streams[i]->id));
        if (found != defaults.end()) {
            Track& track = reader->m_tracks[found->first] = found->second;
            track.streamIndex = static_cast<int>(i);
        }
    }
    reader->m_nextBox = int64_t(moov->end);
    return reader;
}

bool FragmentReader::next(AVPacket* packet)
{
    while (m_current >= m_samples.size()) {
        if (!readFragment()) {
            return false;
        }
    }
    setFields(packet, m_samples[m_current++]);
    return true;
}

void FragmentReader::fetch(AVPacket* packet)
{
    const Sample& sample = m_samples.at(m_current - 1);
    if (m_dataStart < 0) {
        const int64_t first = m_samples.front().offset;
        int64_t end = first;
        for (const Sample& each : m_samples) {
            end = std::max(end, each.offset + each.size);
        }
        const int64_t span = end - first;
        if (span <= kLargestFragmentData) {
            m_data.resize(static_cast<std::size_t>(span));
            readExactly(first, m_data.data(), m_data.size());
            m_dataStart = first;
        }
    }
    check(av_new_packet(packet, sample.size), QStringLiteral("Reading %1").arg(m_path));
    if (m_dataStart >= 0) {
        std::memcpy(packet->data, m_data.data() + (sample.offset - m_dataStart), std::size_t(sample.size));
    } else {
        readExactly(sample.offset, packet->data, std::size_t(sample.size));
    }
    setFields(packet, sample);
}

// The next fragment with samples inside the file; false at the end of the
// file, or where the boxes stop making sense (a cut-off capture).
bool FragmentReader::readFragment()
{
    m_samples.clear();
    m_current = 0;
    m_dataStart = -1;
    while (m_samples.empty()) {
        if (m_nextBox >= m_size) {
            return false;
        }
        const int64_t start = m_nextBox;
        uint8_t header[16] = {};
        const ssize_t got = ::pread(m_fd, header, sizeof header, start);
        if (got < 0) {
            throw readError(m_path, AVERROR(errno));
        }
        const std::optional<Box> box = parseBox(header, uint64_t(got), uint64_t(start), uint64_t(m_size));
        if (!box) {
            return false;
        }
        m_nextBox = box->end > uint64_t(m_size) ? m_size : int64_t(box->end);
        if (box->type != boxType("moof")) {
            continue;
        }
        // A fragment header cut off, or with a damaged size, still gives the
        // runs that lie inside the file.
        const uint64_t end = std::min(box->end, uint64_t(m_size));
        if (end - uint64_t(start) > kLargestHeader) {
            return false;
        }
        std::vector<uint8_t> moof(end - uint64_t(start));
        readExactly(start, moof.data(), moof.size());
        forEachChild(moof, box->body - uint64_t(start), moof.size(), [&](const Box& child) {
            if (child.type == boxType("traf")) {
                readTrackFragment(moof, child.body, child.end, start);
            }
        });
        std::erase_if(m_samples, [this](const Sample& sample) {
            return sample.offset < 0 || sample.offset > m_size - sample.size;
        });
        std::stable_sort(m_samples.begin(), m_samples.end(),
            [](const Sample& a, const Sample& b) { return a.offset < b.offset; });
    }
    return true;
}

// One track's run of samples: where their data lies and when they play.
void FragmentReader::readTrackFragment(
    const std::vector<uint8_t>& moof, std::size_t from, std::size_t end, int64_t moofStart)
{
    Track* track = nullptr;
    uint32_t duration = 0;
    uint32_t size = 0;
    int64_t base = moofStart;
    int64_t cursor = moofStart;
    forEachChild(moof, from, end, [&](const Box& box) {
        const uint8_t* field = moof.data() + box.body;
        const uint8_t* const last = moof.data() + box.end;
        const uint32_t flags = box.end - box.body >= 4 ? be32(field) & 0xFFFFFF : 0;
        const auto take = [&](uint32_t flag, int bytes) -> std::optional<const uint8_t*> {
            if (!(flags & flag) || last - field < bytes) {
                return std::nullopt;
            }
            return std::exchange(field, field + bytes);
        };
        if (box.type == boxType("tfhd") && last - field >= 8) {
            const auto found = m_tracks.find(be32(field + 4));
            track = found == m_tracks.end() ? nullptr : &found->second;
            if (!track) {
                return;
            }
            field += 8;
            if (const auto offset = take(0x1, 8)) {
                if (be64(*offset) > uint64_t(m_size)) {
                    track = nullptr;
                    return;
                }
                base = static_cast<int64_t>(be64(*offset));
            }
            take(0x2, 4);
            const auto ownDuration = take(0x8, 4);
            const auto ownSize = take(0x10, 4);
            duration = ownDuration ? be32(*ownDuration) : track->defaultDuration;
            size = ownSize ? be32(*ownSize) : track->defaultSize;
            cursor = base;
        } else if (box.type == boxType("tfdt") && track && last - field >= 8) {
            const uint64_t dts = field[0] == 1 ? (last - field >= 12 ? be64(field + 4) : 0) : be32(field + 4);
            track->nextDts = static_cast<int64_t>(std::min(dts, kLatestTime + 1));
        } else if (box.type == boxType("trun") && track && last - field >= 8) {
            const uint32_t count = be32(field + 4);
            field += 8;
            if (const auto offset = take(0x1, 4)) {
                cursor = base + static_cast<int32_t>(be32(*offset));
            }
            take(0x4, 4);
            const int perSample = 4 * std::popcount(flags & 0xF00);
            if (count > kMostSamplesPerRun || (last - field) < int64_t(count) * perSample) {
                return;
            }
            for (uint32_t i = 0; i < count && cursor <= m_size && uint64_t(track->nextDts) <= kLatestTime;
                 ++i) {
                const uint32_t sampleDuration = flags & 0x100 ? be32(field) : duration;
                const uint32_t sampleSize
                    = flags & 0x200 ? be32(field + 4 * std::popcount(flags & 0x100)) : size;
                field += perSample;
                if (sampleSize > kLargestPacket) {
                    return;
                }
                if (sampleSize > 0) {
                    m_samples.push_back(Sample { track->streamIndex, track->nextDts, sampleDuration, cursor,
                        static_cast<int>(sampleSize) });
                }
                cursor += sampleSize;
                track->nextDts += sampleDuration;
            }
        }
    });
}

void FragmentReader::readExactly(int64_t offset, uint8_t* data, std::size_t size) const
{
    while (size > 0) {
        const ssize_t got = ::pread(m_fd, data, size, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            throw readError(m_path, got < 0 ? AVERROR(errno) : AVERROR_EOF);
        }
        data += got;
        offset += got;
        size -= std::size_t(got);
    }
}

void FragmentReader::setFields(AVPacket* packet, const Sample& sample) const
{
    packet->stream_index = sample.streamIndex;
    packet->pts = packet->dts = sample.dts;
    packet->duration = sample.duration;
    packet->pos = sample.offset;
    packet->flags = AV_PKT_FLAG_KEY;
}

} // namespace FFmpeg
