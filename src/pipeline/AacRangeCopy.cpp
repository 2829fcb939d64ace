#include "pipeline/AacRangeCopy.h"

#include "media/FFmpegHandles.h"
#include "pipeline/M4aWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>

using FFmpeg::check;

namespace {

// Reads a raw AAC frame most significant bit first; reading past its end
// counts as damage.
class Bits
{
public:
    Bits(const std::uint8_t* data, int size)
        : m_data(data)
        , m_size(std::int64_t(size) * 8)
    { }

    std::uint32_t read(int count)
    {
        if (m_position + count > m_size) {
            throw Damaged {};
        }
        std::uint32_t value = 0;
        for (int i = 0; i < count; ++i, ++m_position) {
            value = value << 1 | ((m_data[m_position / 8] >> (7 - m_position % 8)) & 1U);
        }
        return value;
    }
    void skip(std::int64_t count)
    {
        if (m_position + count > m_size) {
            throw Damaged {};
        }
        m_position += count;
    }
    void alignToByte() { skip((8 - m_position % 8) % 8); }
    std::int64_t left() const { return m_size - m_position; }

    struct Damaged
    {
    };

private:
    const std::uint8_t* m_data;
    std::int64_t m_size;
    std::int64_t m_position = 0;
};

enum Element : std::uint32_t
{
    single = 0,
    pair = 1,
    data = 4,
    fill = 6,
    end = 7
};
constexpr std::uint32_t kEightShort = 2;
constexpr std::uint32_t kReservedBook = 12;
constexpr std::uint32_t kFirstIntensityBook = 14;

// Scale factor bands per frame, by the sampling frequency index.
constexpr int kLongBands[] = { 41, 41, 47, 49, 49, 51, 47, 47, 43, 43, 43, 40, 40 };
constexpr int kShortBands[] = { 12, 12, 12, 14, 14, 14, 15, 15, 15, 15, 15, 15, 15 };

int frequencyIndex(int sampleRate)
{
    constexpr int rates[]
        = { 96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350 };
    const auto* found = std::find(std::begin(rates), std::end(rates), sampleRate);
    return found == std::end(rates) ? -1 : int(found - std::begin(rates));
}

struct Window
{
    bool isShort = false;
    int groups = 1;
    std::uint32_t bands = 0;
};

Window readWindow(Bits& bits, int frequency)
{
    if (bits.read(1) != 0) {
        throw Bits::Damaged {};
    }
    Window window;
    window.isShort = bits.read(2) == kEightShort;
    bits.skip(1);
    if (window.isShort) {
        window.bands = bits.read(4);
        const std::uint32_t grouping = bits.read(7);
        window.groups = 1 + std::popcount(~grouping & 0x7FU);
        if (window.bands > std::uint32_t(kShortBands[frequency])) {
            throw Bits::Damaged {};
        }
        return window;
    }
    window.bands = bits.read(6);
    // Low complexity has no prediction.
    if (window.bands > std::uint32_t(kLongBands[frequency]) || bits.read(1) != 0) {
        throw Bits::Damaged {};
    }
    return window;
}

// The codebook of every band, which must cover the bands exactly; true when
// any band carries sound.
bool readSections(Bits& bits, const Window& window, bool intensityAllowed)
{
    const int lengthBits = window.isShort ? 3 : 5;
    const std::uint32_t escape = (1U << lengthBits) - 1;
    bool sound = false;
    for (int group = 0; group < window.groups; ++group) {
        std::uint32_t band = 0;
        while (band < window.bands) {
            const std::uint32_t book = bits.read(4);
            if (book == kReservedBook || (book >= kFirstIntensityBook && !intensityAllowed)) {
                throw Bits::Damaged {};
            }
            sound = sound || book != 0;
            std::uint32_t length = 0;
            std::uint32_t increment = 0;
            do {
                increment = bits.read(lengthBits);
                length += increment;
            } while (increment == escape);
            band += length;
            if (length == 0 || band > window.bands) {
                throw Bits::Damaged {};
            }
        }
    }
    return sound;
}

// The tools that follow a silent channel's empty sections: pulses, noise
// shaping, and no gain control in low complexity.
void readSilentTools(Bits& bits, const Window& window)
{
    if (bits.read(1) != 0) {
        if (window.isShort) {
            throw Bits::Damaged {};
        }
        const std::uint32_t pulses = bits.read(2) + 1;
        bits.skip(6 + 9 * pulses);
    }
    if (bits.read(1) != 0) {
        const int windows = window.isShort ? 8 : 1;
        for (int w = 0; w < windows; ++w) {
            const std::uint32_t filters = bits.read(window.isShort ? 1 : 2);
            if (filters == 0) {
                continue;
            }
            const std::uint32_t resolution = bits.read(1);
            for (std::uint32_t f = 0; f < filters; ++f) {
                bits.skip(window.isShort ? 4 : 6);
                const std::uint32_t order = bits.read(window.isShort ? 3 : 5);
                if (order == 0) {
                    continue;
                }
                bits.skip(1);
                const std::uint32_t compressed = bits.read(1);
                bits.skip(std::int64_t(order) * (3 + resolution - compressed));
            }
        }
    }
    if (bits.read(1) != 0) {
        throw Bits::Damaged {};
    }
}

// One channel; false when its coded sound follows, which only a decoder can read.
bool readChannel(Bits& bits, const Window* common, int frequency, bool intensityAllowed)
{
    bits.skip(8);
    const Window window = common ? *common : readWindow(bits, frequency);
    if (readSections(bits, window, intensityAllowed)) {
        return false;
    }
    readSilentTools(bits, window);
    return true;
}

// False when the element's coded sound follows.
bool readPair(Bits& bits, int frequency)
{
    std::optional<Window> common;
    if (bits.read(1) != 0) {
        common = readWindow(bits, frequency);
        // Mid/side value 3 is reserved.
        const std::uint32_t midSide = bits.read(2);
        if (midSide == 3) {
            throw Bits::Damaged {};
        }
        if (midSide == 1) {
            bits.skip(std::int64_t(common->groups) * common->bands);
        }
    }
    return readChannel(bits, common ? &*common : nullptr, frequency, false)
        && readChannel(bits, common ? &*common : nullptr, frequency, true);
}

void skipPayload(Bits& bits, Element element)
{
    if (element == Element::data) {
        bits.skip(4);
        const bool aligned = bits.read(1) != 0;
        std::uint32_t count = bits.read(8);
        if (count == 255) {
            count += bits.read(8);
        }
        if (aligned) {
            bits.alignToByte();
        }
        bits.skip(std::int64_t(count) * 8);
        return;
    }
    std::uint32_t count = bits.read(4);
    if (count == 15) {
        count += bits.read(8) - 1;
    }
    bits.skip(std::int64_t(count) * 8);
}

void writeShifted(AVFormatContext& output, AVPacket& packet, std::int64_t origin, AVRational from)
{
    // The source's priming note would be applied twice: the edit list says it.
    av_packet_free_side_data(&packet);
    packet.pts -= origin;
    packet.dts = packet.pts;
    packet.pos = -1;
    packet.stream_index = 0;
    av_packet_rescale_ts(&packet, from, output.streams[0]->time_base);
    check(av_interleaved_write_frame(&output, &packet), "Writing the chunk file");
    check(output.pb->error, "Writing the chunk file");
}

} // namespace

namespace AacRangeCopy {

bool plausibleFrame(const std::uint8_t* data, int size, int channels, int sampleRate)
{
    const int frequency = frequencyIndex(sampleRate);
    if (frequency < 0 || size <= 0 || size > 768 * channels) {
        return false;
    }
    try {
        Bits bits(data, size);
        bool channelsRead = false;
        while (true) {
            const auto element = static_cast<Element>(bits.read(3));
            if (element == Element::end) {
                // Only padding to the byte may follow the end.
                return channelsRead && bits.left() < 8;
            }
            if (element == Element::data || element == Element::fill) {
                skipPayload(bits, element);
                continue;
            }
            const Element expected = channels == 1 ? Element::single : Element::pair;
            if (element != expected || channelsRead) {
                return false;
            }
            bits.skip(4);
            const bool silent = element == Element::single ? readChannel(bits, nullptr, frequency, false)
                                                           : readPair(bits, frequency);
            if (!silent) {
                return true;
            }
            channelsRead = true;
        }
    } catch (const Bits::Damaged&) {
        return false;
    }
}

bool copyable(const AVFormatContext& input, int streamIndex, int maxChannels)
{
    const AVStream& stream = *input.streams[streamIndex];
    const AVCodecParameters& codec = *stream.codecpar;
    // The decoder configuration travels in the container's header, not in the packets.
    return std::strstr(input.iformat->name, "mp4") != nullptr && codec.codec_id == AV_CODEC_ID_AAC
        && codec.profile == FF_PROFILE_AAC_LOW && codec.extradata_size >= 2 && codec.sample_rate > 0
        && codec.ch_layout.nb_channels >= 1 && codec.ch_layout.nb_channels <= maxChannels
        && stream.time_base.num > 0;
}

bool copy(AVFormatContext& input, int streamIndex, const QString& path, double audioStart, double audioEnd)
{
    const int index = streamIndex;
    const AVStream& stream = *input.streams[index];
    const AVRational base = stream.time_base;
    const std::int64_t first = std::llround(audioStart / av_q2d(base));
    const std::int64_t last = std::llround(audioEnd / av_q2d(base));
    const std::int64_t frame = av_rescale_q(1024, AVRational { 1, stream.codecpar->sample_rate }, base);
    // Fragment times rounded to the track's clock make a frame a tick or two
    // longer now and then (every 30 minutes in our own mixes); a damaged index
    // is off by far more.
    const std::int64_t slack = std::max<std::int64_t>(frame / 256, 2);
    // Two AAC frames back: the packet holding the start and the one before it.
    check(av_seek_frame(&input, index, first - 2 * frame, AVSEEK_FLAG_BACKWARD), "Seeking in the audio");

    FFmpeg::Output output = M4aContainer::create(path);
    AVStream* copied = avformat_new_stream(output.get(), nullptr);
    if (!copied) {
        throw FFmpeg::Error(AVERROR(ENOMEM), QStringLiteral("Adding the audio track"));
    }
    check(avcodec_parameters_copy(copied->codecpar, stream.codecpar), "Describing the audio track");
    copied->codecpar->codec_tag = 0;
    copied->time_base = AVRational { 1, stream.codecpar->sample_rate };
    M4aContainer::writeHeader(*output, path, stream.codecpar->sample_rate);

    const int channels = stream.codecpar->ch_layout.nb_channels;
    const int rate = stream.codecpar->sample_rate;
    const auto plausible = [&](const AVPacket& candidate) {
        return plausibleFrame(candidate.data, candidate.size, channels, rate);
    };
    FFmpeg::Packet packet = FFmpeg::makePacket();
    FFmpeg::Packet previous = FFmpeg::makePacket();
    bool started = false;
    std::int64_t previousPts = std::numeric_limits<std::int64_t>::min();
    while (true) {
        const int read = av_read_frame(&input, packet.get());
        if (read == AVERROR_EOF) {
            break;
        }
        // A damaged index (unreadable, times missing or going back), or frames
        // longer than AAC's: decoding sorts those out, so the range is re-encoded.
        if (read < 0) {
            return false;
        }
        if (packet->stream_index != index) {
            av_packet_unref(packet.get());
            continue;
        }
        if (packet->pts == AV_NOPTS_VALUE || packet->pts <= previousPts || packet->duration > frame + slack) {
            return false;
        }
        previousPts = packet->pts;
        if (packet->pts >= last) {
            break;
        }
        if (packet->pts + packet->duration <= first) {
            av_packet_unref(previous.get());
            av_packet_move_ref(previous.get(), packet.get());
            continue;
        }
        if (!started && previous->data) {
            if (!plausible(*previous)) {
                return false;
            }
            writeShifted(*output, *previous, first, base);
        }
        started = true;
        if (!plausible(*packet)) {
            return false;
        }
        packet->duration = std::min(packet->duration, last - packet->pts);
        writeShifted(*output, *packet, first, base);
        av_packet_unref(packet.get());
    }
    if (!started) {
        throw FFmpeg::Error(AVERROR_INVALIDDATA, QStringLiteral("Copying the audio"));
    }
    M4aContainer::finish(*output);
    return true;
}

} // namespace AacRangeCopy
