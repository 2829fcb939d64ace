#pragma once

#include "Transcriber.h"

#include <memory>
#include <mutex>
#include <string>

struct ps_decoder_s;

namespace server {

// Local recognition with CMU PocketSphinx and its US English model. One decoder,
// used by one request at a time (it keeps per-utterance state).
class PocketSphinxTranscriber : public Transcriber
{
public:
    // `modelDir` holds "en-us/", "en-us.lm.bin" and "cmudict-en-us.dict".
    explicit PocketSphinxTranscriber(const std::string& modelDir = kDefaultModelDir);
    ~PocketSphinxTranscriber() override;

    Recognition transcribe(const AudioUpload& audio, const std::string& prompt) override;

    static constexpr const char* kDefaultModelDir = "/usr/share/pocketsphinx/model/en-us";

private:
    void decodePiece(const std::int16_t* samples, std::size_t count, double offset, Recognition& result);

    struct DecoderFree
    {
        void operator()(ps_decoder_s* decoder) const;
    };
    std::mutex m_mutex;
    std::unique_ptr<ps_decoder_s, DecoderFree> m_decoder;
};

} // namespace server
