#pragma once

#include "Transcriber.h"

#include <string>

namespace server {

// Forwards transcription to an OpenAI-compatible /v1/audio/transcriptions endpoint
// (a hosted service or a local whisper server), asking for word timestamps.
class OpenAiTranscriber : public Transcriber
{
public:
    OpenAiTranscriber(std::string baseUrl, std::string apiKey, std::string model);

    Recognition transcribe(const AudioUpload& audio, const std::string& prompt) override;

private:
    std::string m_origin; // scheme://host[:port]
    std::string m_path;
    std::string m_apiKey;
    std::string m_model;
};

} // namespace server
