// Feeds arbitrary bytes, as a recording file, to the chunker. It must either
// refuse with an AudioChunkError that says why, leaving no chunk behind, or
// return consecutive chunks whose files are exactly what the chunk folder
// holds, each a plain private file within the size limit. Nothing may be
// written anywhere else and the recording must stay as it was. The folder is
// writable with room to spare, so a FileSystemError is a wrong diagnosis.
#include "MediaFuzzChecks.h"
#include "pipeline/AudioChunker.h"

#include "support/RunTask.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using namespace MediaFuzzChecks;

constexpr double kMaximumSeconds = 3.0;
constexpr double kContextSeconds = 0.5;
// Small enough that longer inputs take the path that shrinks a chunk.
constexpr std::int64_t kMaximumBytes = 24000;

QTemporaryDir* workspace = nullptr;

void checkChunks(const std::vector<AudioChunk>& chunks, const QString& folder)
{
    require(!chunks.empty());
    require(chunks.front().start == 0);
    QStringList names;
    double previousEnd = 0;
    for (const AudioChunk& chunk : chunks) {
        require(
            !chunk.filename.isEmpty() && !chunk.filename.contains(u'/') && !chunk.filename.startsWith(u'.'));
        require(chunk.start == previousEnd && chunk.end > chunk.start);
        require(chunk.audioStart && chunk.audioEnd && *chunk.audioStart <= chunk.start
            && *chunk.audioEnd >= chunk.end);
        const QFileInfo file(QDir(folder).filePath(chunk.filename));
        require(file.isFile() && !file.isSymLink() && file.size() >= 1 && file.size() <= kMaximumBytes);
        require(ownerOnly(file.filePath()));
        names.append(chunk.filename);
        previousEnd = chunk.end;
    }
    names.sort();
    require(entries(folder) == names);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication application(*argc, *argv);
    workspace = new QTemporaryDir;
    require(workspace->isValid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QDir root(workspace->path());
    const QString sourceFolder = root.filePath(QStringLiteral("source"));
    const QString chunkFolder = root.filePath(QStringLiteral("chunks"));
    require(QDir(sourceFolder).removeRecursively() && QDir(chunkFolder).removeRecursively());
    require(root.mkdir(QStringLiteral("source")) && root.mkdir(QStringLiteral("chunks")));

    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString source = QDir(sourceFolder).filePath(QStringLiteral("recording.m4a"));
    QFile file(source);
    require(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();

    try {
        const auto chunks = TestTasks::run(
            AudioChunker::split(source, chunkFolder, kMaximumSeconds, kMaximumBytes, kContextSeconds));
        checkChunks(chunks, chunkFolder);
    } catch (const AudioChunkError& error) {
        require(std::strlen(error.what()) > 0);
        require(entries(chunkFolder).isEmpty());
    }

    require(entries(root.path()) == QStringList({ QStringLiteral("chunks"), QStringLiteral("source") }));
    require(entries(sourceFolder) == QStringList(QStringLiteral("recording.m4a")));
    require(file.open(QIODevice::ReadOnly) && file.readAll() == bytes);
    return 0;
}
