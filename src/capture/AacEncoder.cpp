#include "capture/AacEncoder.h"

#include "capture/RecorderError.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace AacEncoder {

FFmpeg::Codec openMono(int sampleRate, int64_t bitRate)
{
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) {
        throw RecorderError(RecorderError::Kind::cannotMix);
    }
    FFmpeg::Codec encoder(avcodec_alloc_context3(codec));
    if (!encoder) {
        throw FFmpeg::Error(AVERROR(ENOMEM), QStringLiteral("Starting the AAC encoder"));
    }
    encoder->sample_rate = sampleRate;
    encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder->bit_rate = bitRate;
    encoder->time_base = AVRational { 1, sampleRate };
    av_channel_layout_default(&encoder->ch_layout, 1);
    encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    FFmpeg::check(avcodec_open2(encoder.get(), codec, nullptr), QStringLiteral("Starting the AAC encoder"));
    return encoder;
}

} // namespace AacEncoder
