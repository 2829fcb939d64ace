// Feeds arbitrary bytes, as a capture file, to the track mixer. It must either
// refuse with a RecorderError or FFmpeg::Error that says why, leaving nothing in
// the output folder, or write exactly the one private output file asked for.
// The capture must stay as it was and nothing may appear anywhere else. The
// folder is writable with room to spare, so a FileSystemError is a wrong
// diagnosis.
#include "MediaFuzzChecks.h"
#include "capture/RecorderError.h"
#include "capture/TrackMixer.h"
#include "media/FFmpegHandles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using namespace MediaFuzzChecks;

QTemporaryDir* workspace = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    workspace = new QTemporaryDir;
    require(workspace->isValid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QDir root(workspace->path());
    const QString captureFolder = root.filePath(QStringLiteral("capture"));
    const QString outputFolder = root.filePath(QStringLiteral("mixed"));
    require(QDir(captureFolder).removeRecursively() && QDir(outputFolder).removeRecursively());
    require(root.mkdir(QStringLiteral("capture")) && root.mkdir(QStringLiteral("mixed")));

    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString capture = QDir(captureFolder).filePath(QStringLiteral("tallisen-capture.mp4"));
    QFile file(capture);
    require(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();

    const QString output = QDir(outputFolder).filePath(QStringLiteral("tallisen-mixed.m4a"));
    try {
        // One encode, or the timeline cut into segments encoded side by side.
        TrackMixer::mix(capture, output, static_cast<int>(size % 2) + 1);
        require(entries(outputFolder) == QStringList(QStringLiteral("tallisen-mixed.m4a")));
        const QFileInfo mixed(output);
        require(mixed.isFile() && mixed.size() > 0 && ownerOnly(output));
    } catch (const RecorderError& error) {
        require(std::strlen(error.what()) > 0);
        require(entries(outputFolder).isEmpty());
    } catch (const FFmpeg::Error& error) {
        require(std::strlen(error.what()) > 0);
        require(entries(outputFolder).isEmpty());
    }

    require(entries(root.path()) == QStringList({ QStringLiteral("capture"), QStringLiteral("mixed") }));
    require(entries(captureFolder) == QStringList(QStringLiteral("tallisen-capture.mp4")));
    require(file.open(QIODevice::ReadOnly) && file.readAll() == bytes);
    return 0;
}
