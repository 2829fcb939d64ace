#pragma once

// The bytes the pipeline puts on the wire that do not depend on the network:
// the prompt header, the word-alignment form, the submission body, and where a
// chunk's file lies. Pure functions, safe on any thread.

#include "core/Date.h"

#include <QByteArray>
#include <QString>

#include <optional>

struct PendingRecording;

namespace TranscriptionRequests {

// How much of the previous chunk's text is passed on as a hint, in
// user-perceived characters.
constexpr int kPromptCharacters = 500;

inline constexpr char kAudioContentType[] = "audio/x-m4a";
inline constexpr char kPromptHeader[] = "X-Tallisen-Prompt";
inline constexpr char kUploadFileName[] = "audio.m4a";

// The last kPromptCharacters characters of the text, letters, marks and
// numbers kept as they are (UTF-8), everything else as upper-case %XX escapes
// of its UTF-8 bytes. Absent when the text cannot be encoded (a lone surrogate).
std::optional<QByteArray> promptHeader(const QString& previousText);

// "Tallisen-" followed by a fresh upper-case UUID.
QString newBoundary();
QByteArray alignmentContentType(const QString& boundary);
// The multipart form: the text part, then the file part, each line ended by CR LF.
QByteArray alignmentBody(const QString& boundary, const QString& text, const QByteArray& audio);

// Whole seconds in UTC with the suffix Z; any fraction is dropped.
QString submissionDate(Date date);
// The compact JSON body that saves a transcript.
QByteArray submissionBody(const QString& transcript, Date recordedAt, const QString& emailTo);

// The chunk's file inside the job folder. A name that could point anywhere
// else (empty, ".", "..", holding "/" or NUL) comes from a damaged or tampered
// job file and throws APIClientError instead.
QString chunkPath(const PendingRecording& job, const QString& filename);

} // namespace TranscriptionRequests
