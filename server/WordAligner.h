#pragma once

#include "Transcriber.h"

#include <string>
#include <vector>

// Puts an engine's word times onto a given text. The result's texts, joined, give
// back the text byte for byte: each word carries the white space before it, and the
// last one any trailing white space. Words the engine did not hear stay untimed.
namespace server::WordAligner {

std::vector<RecognizedWord> align(const std::string& text, const std::vector<RecognizedWord>& timed);

// Lower case, letters, digits and apostrophes only; "Hello," and "hello" are one token.
std::string normalised(const std::string& word);

} // namespace server::WordAligner
