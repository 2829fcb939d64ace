#include "PocketSphinxTranscriber.h"

#include "VoiceActivity.h"

#include <pocketsphinx.h>

#include <stdexcept>

namespace server {

namespace {

constexpr double kFramesPerSecond = 100.0;
// Long utterances make the search slow and its word times drift.
constexpr double kPieceSeconds = 20.0;

// "<s>", "<sil>", "[NOISE]" and friends are not words; "read(2)" names a pronunciation.
std::optional<std::string> spokenWord(const char* raw)
{
    std::string word = raw ? raw : "";
    if (word.empty() || word.front() == '<' || word.front() == '[') {
        return std::nullopt;
    }
    if (const auto paren = word.find('('); paren != std::string::npos) {
        word.erase(paren);
    }
    return word;
}

} // namespace

void PocketSphinxTranscriber::DecoderFree::operator()(ps_decoder_s* decoder) const
{
    ps_free(decoder);
}

PocketSphinxTranscriber::PocketSphinxTranscriber(const std::string& modelDir)
{
    const std::string hmm = modelDir + "/en-us";
    const std::string lm = modelDir + "/en-us.lm.bin";
    const std::string dict = modelDir + "/cmudict-en-us.dict";
    cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm", lm.c_str(), "-dict",
        dict.c_str(), "-logfn", "/dev/null", "-samprate", "16000",
        // Dropping silent frames before the search shifts every later word time earlier.
        "-remove_silence", "no", nullptr);
    if (!config) {
        throw std::runtime_error("The PocketSphinx model in " + modelDir + " could not be loaded.");
    }
    m_decoder.reset(ps_init(config));
    cmd_ln_free_r(config);
    if (!m_decoder) {
        throw std::runtime_error(
            "The PocketSphinx decoder could not start with the model in " + modelDir + ".");
    }
}

PocketSphinxTranscriber::~PocketSphinxTranscriber() = default;

Recognition PocketSphinxTranscriber::transcribe(const AudioUpload& audio, const std::string&)
{
    const auto& samples = audio.pcm.samples;
    Recognition result;
    std::lock_guard lock(m_mutex);
    for (const auto& piece : VoiceActivity::pieces(samples, AudioDecoder::kSampleRate, kPieceSeconds)) {
        decodePiece(samples.data() + piece.firstSample, piece.endSample - piece.firstSample,
            static_cast<double>(piece.firstSample) / AudioDecoder::kSampleRate, result);
    }
    return result;
}

void PocketSphinxTranscriber::decodePiece(
    const std::int16_t* samples, std::size_t count, double offset, Recognition& result)
{
    ps_decoder_t* decoder = m_decoder.get();
    if (ps_start_utt(decoder) < 0) {
        throw std::runtime_error("The speech recogniser could not start.");
    }
    ps_process_raw(decoder, samples, count, FALSE, TRUE);
    ps_end_utt(decoder);
    for (ps_seg_t* segment = ps_seg_iter(decoder); segment; segment = ps_seg_next(segment)) {
        const auto word = spokenWord(ps_seg_word(segment));
        if (!word) {
            continue;
        }
        int firstFrame = 0;
        int lastFrame = 0;
        ps_seg_frames(segment, &firstFrame, &lastFrame);
        if (!result.text.empty()) {
            result.text += ' ';
        }
        result.text += *word;
        result.words.push_back(
            { *word, offset + firstFrame / kFramesPerSecond, offset + (lastFrame + 1) / kFramesPerSecond });
    }
}

} // namespace server
