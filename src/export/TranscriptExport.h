#pragma once

#include "api/WireRecords.h"

#include <QString>

// A finished transcript written out for other programs: plain text, Markdown,
// SubRip and WebVTT subtitles, or JSON. Pure except exportTo; any thread.

enum class ExportFormat
{
    text,
    markdown,
    srt,
    vtt,
    json,
};

namespace TranscriptExport {

// The format's name as the command line takes it ("srt").
QString formatName(ExportFormat format);
// Throws std::invalid_argument naming the five formats for any other name.
ExportFormat formatNamed(const QString& name);
QStringList formatNames();

QString exported(const Recording& recording, ExportFormat format);

// Replaces `path` atomically with the export, owner-only (0600); throws
// FileSystemError naming the path when it cannot be written.
void exportTo(const Recording& recording, ExportFormat format, const QString& path);

} // namespace TranscriptExport
