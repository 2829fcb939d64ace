#pragma once

#include "store/AlignedWord.h"
#include "store/AudioChunk.h"
#include "store/SpeakerSegment.h"

#include <QString>

#include <vector>

// Turns aligned chunks into the finished speaker transcript. Stateless and
// pure: it works on copies, touches no file and may run on any thread. Every
// failure is an APIClientError whose message says what was kept.
namespace TranscriptAlignment {

// Checks that an alignment really belongs to the chunk's text and to a file of
// `duration` seconds; word times are relative to the start of the file.
void validate(const std::vector<AlignedWord>& words, const QString& text, double duration);

// One paragraph per speaker turn with its start time. Words that neighbouring
// chunk files both heard in their shared context appear once; a boundary that
// cannot be reconciled is refused rather than guessed.
QString merged(const std::vector<AudioChunk>& chunks, const std::vector<SpeakerSegment>& speakers);

// "hh:mm:ss" of the seconds truncated toward zero; hours are not limited to
// two digits. Shared with the plain join.
QString timeStamp(double seconds);

} // namespace TranscriptAlignment
