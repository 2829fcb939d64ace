#include "OpenAiTranscriber.h"

#include "HttpError.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <iostream>
#include <stdexcept>

namespace server {

namespace {

constexpr time_t kUpstreamTimeoutSeconds = 300;

std::optional<double> optionalNumber(const nlohmann::json& object, const char* key)
{
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number()) {
        return std::nullopt;
    }
    return found->get<double>();
}

} // namespace

OpenAiTranscriber::OpenAiTranscriber(std::string baseUrl, std::string apiKey, std::string model)
    : m_apiKey(std::move(apiKey))
    , m_model(std::move(model))
{
    while (!baseUrl.empty() && baseUrl.back() == '/') {
        baseUrl.pop_back();
    }
    const auto schemeEnd = baseUrl.find("://");
    if (schemeEnd == std::string::npos) {
        throw std::invalid_argument("The OpenAI-compatible base URL must start with http:// or https://.");
    }
    const auto pathStart = baseUrl.find('/', schemeEnd + 3);
    m_origin = baseUrl.substr(0, pathStart);
    const std::string prefix = pathStart == std::string::npos ? "" : baseUrl.substr(pathStart);
    const bool endsInVersion = prefix.size() >= 3 && prefix.compare(prefix.size() - 3, 3, "/v1") == 0;
    m_path = prefix + (endsInVersion ? "/audio/transcriptions" : "/v1/audio/transcriptions");
}

Recognition OpenAiTranscriber::transcribe(const AudioUpload& audio, const std::string& prompt)
{
    httplib::Client client(m_origin);
    client.set_connection_timeout(30, 0);
    client.set_read_timeout(kUpstreamTimeoutSeconds, 0);
    client.set_write_timeout(kUpstreamTimeoutSeconds, 0);
    if (!m_apiKey.empty()) {
        client.set_bearer_token_auth(m_apiKey.c_str());
    }
    httplib::MultipartFormDataItems form {
        { "file", std::string(audio.bytes), "audio.m4a", "audio/x-m4a" },
        { "model", m_model, "", "" },
        { "response_format", "verbose_json", "", "" },
        { "timestamp_granularities[]", "word", "", "" },
    };
    if (!prompt.empty()) {
        form.push_back({ "prompt", prompt, "", "" });
    }
    const auto result = client.Post(m_path.c_str(), form);
    if (!result) {
        throw HttpError(502, "The transcription service could not be reached.");
    }
    if (result->status < 200 || result->status > 299) {
        std::cerr << "tallisen-server: upstream transcription answered " << result->status << '\n';
        throw HttpError(
            502, "The transcription service answered with status " + std::to_string(result->status) + ".");
    }
    const auto body = nlohmann::json::parse(result->body, nullptr, false);
    if (body.is_discarded() || !body.is_object() || !body.contains("text") || !body["text"].is_string()) {
        throw HttpError(502, "The transcription service gave an answer the server cannot read.");
    }
    Recognition recognition;
    recognition.text = body["text"].get<std::string>();
    if (const auto words = body.find("words"); words != body.end() && words->is_array()) {
        for (const auto& word : *words) {
            if (!word.is_object() || !word.contains("word") || !word["word"].is_string()) {
                continue;
            }
            recognition.words.push_back({ word["word"].get<std::string>(), optionalNumber(word, "start"),
                optionalNumber(word, "end") });
        }
    }
    return recognition;
}

} // namespace server
