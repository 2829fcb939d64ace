#pragma once

#include "AudioDecoder.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The transcription engines behind POST /v1/transcriptions and its alignment.
// An engine instance may be called from several request threads at once.
namespace server {

struct RecognizedWord
{
    std::string text;
    std::optional<double> start;
    std::optional<double> end;
};

struct Recognition
{
    std::string text;
    std::vector<RecognizedWord> words;
};

struct AudioUpload
{
    std::string_view bytes;
    const AudioDecoder::Pcm& pcm;
};

class Transcriber
{
public:
    virtual ~Transcriber() = default;
    // `prompt` is the end of the previous part's text, a hint the engine may use.
    virtual Recognition transcribe(const AudioUpload& audio, const std::string& prompt) = 0;
};

} // namespace server
