#include "capture/Recorder.h"

#include "capture/CaptureFile.h"
#include "capture/CaptureSidecar.h"
#include "capture/TrackMixer.h"
#include "core/APIClientError.h"
#include "core/Date.h"
#include "core/FileSystemError.h"
#include "core/Uuids.h"
#include "core/WorkerThread.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUuid>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString tallisenFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Tallisen");
}

QString freshName(const QString& folder, const QString& prefix, const QString& extension)
{
    return folder + u'/' + prefix + Uuids::text(QUuid::createUuid()) + extension;
}

// The error's sentence without its closing full stop, for quoting inside
// another sentence.
QString describe(const std::exception_ptr& error)
{
    QString text;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& exception) {
        text = QString::fromUtf8(exception.what());
    } catch (...) {
        text = QStringLiteral("An unknown error occurred.");
    }
    if (text.endsWith(u'.')) {
        text.chop(1);
    }
    return text;
}

void makePrivateDirectory(const QString& path)
{
    if (!QDir().mkpath(path)) {
        throw FileSystemError::fromErrno(QStringLiteral("Creating a folder"), path, errno);
    }
    if (::chmod(QFile::encodeName(path).constData(), 0700) != 0) {
        throw FileSystemError::fromErrno(QStringLiteral("Protecting a folder"), path, errno);
    }
}

void setPrivate(const QString& path)
{
    if (::chmod(QFile::encodeName(path).constData(), 0600) != 0) {
        throw FileSystemError::fromErrno(QStringLiteral("Protecting a file"), path, errno);
    }
}

void copyPrivately(const QString& from, const QString& to)
{
    QFile source(from);
    if (!source.copy(to)) {
        throw FileSystemError(
            QStringLiteral("Copying %1 to %2 failed: %3.").arg(from, to, source.errorString()), 0);
    }
    setPrivate(to);
}

const QString kCapturePrefix = QStringLiteral("tallisen-");

// Copying and mixing block for seconds, so they run off the main thread.
WorkerThread& mixingThread()
{
    static WorkerThread thread;
    return thread;
}

QCoro::Task<> waitForStart(std::shared_ptr<RecordingCompletion> latch)
{
    try {
        co_await latch->wait(Recorder::kStartTimeout);
    } catch (const RecorderError& error) {
        if (error.kind() != RecorderError::Kind::finalizationTimedOut) {
            throw;
        }
        throw RecorderError(RecorderError::Kind::soundServerUnavailable);
    }
}

} // namespace

Recorder::Recorder(QObject* parent)
    : Recorder(Sources {}, parent)
{ }

Recorder::Recorder(Sources sources, QObject* parent)
    : QObject(parent)
    , m_sources(std::move(sources))
{ }

// The capture goes first: its thread posts to this object until it stops.
Recorder::~Recorder()
{
    m_stream.reset();
}

QString Recorder::capturesDirectory()
{
    return tallisenFolder() + QStringLiteral("/Captures");
}

QString Recorder::defaultRecoveryDirectory()
{
    return tallisenFolder() + QStringLiteral("/RecoveredAudio");
}

QCoro::Task<> Recorder::start(QJsonObject details)
{
    if (m_stream) {
        co_return;
    }
    m_recoveryWarning.reset();
    const std::uint64_t id = ++m_lastId;
    m_stream = std::make_unique<PulseCapture>(m_sources, listenerFor(id));
    PulseCapture* capture = m_stream.get();

    std::exception_ptr failure;
    try {
        const auto checked = RecordingCompletion::create();
        capture->connect(checked);
        co_await waitForStart(checked);

        makePrivateDirectory(capturesDirectory());
        const QString raw = freshName(capturesDirectory(), kCapturePrefix, QStringLiteral(".mp4"));
        m_completion = RecordingCompletion::create();
        m_output = id;
        m_rawPath = raw;
        auto file = std::make_unique<CaptureFile>(raw);
        CaptureSidecar::write(raw, details);
        const auto started = RecordingCompletion::create();
        capture->startStreams(std::move(file), started);
        co_await waitForStart(started);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure) {
        co_return;
    }
    const std::optional<QString> raw = m_rawPath;
    clear();
    // Nothing was recorded yet, so the empty capture is not worth keeping.
    if (raw) {
        QFile::remove(*raw);
        QFile::remove(CaptureSidecar::pathFor(*raw));
    }
    std::rethrow_exception(failure);
}

QCoro::Task<QString> Recorder::stop()
{
    if (!m_stream || !m_output || !m_rawPath || m_stopping) {
        throw RecorderError(RecorderError::Kind::notRecording);
    }
    m_stopping = true;
    PulseCapture* capture = m_stream.get();
    const std::shared_ptr<RecordingCompletion> completion = m_completion;
    const QString raw = *m_rawPath;

    std::exception_ptr interruption;
    try {
        capture->detachOutput();
        co_await completion->wait(m_finalizationTimeout);
    } catch (...) {
        interruption = std::current_exception();
    }
    const auto stopped = RecordingCompletion::create();
    try {
        capture->stopStreams(stopped);
        co_await stopped->wait(m_finalizationTimeout);
    } catch (...) {
        // The first failure is the one that explains what went wrong.
        if (!interruption) {
            interruption = std::current_exception();
        }
    }
    clear();

    if (interruption) {
        m_recoveryWarning = QStringLiteral("Capture was interrupted: %1. Recovered audio may end early.")
                                .arg(describe(interruption));
        co_return co_await recoverAudio(raw);
    }

    const QString mixed = mixedPath(raw);
    std::exception_ptr mixFailure;
    try {
        co_await mixAudio(raw, mixed);
    } catch (...) {
        mixFailure = std::current_exception();
    }
    if (mixFailure) {
        throw APIClientError(QStringLiteral("Audio mixing failed: %1. Original recording retained at %2.")
                                 .arg(describe(mixFailure), raw));
    }
    co_return mixed;
}

QString Recorder::mixedPath(const QString& capture)
{
    return QFileInfo(capture).path() + u'/' + QFileInfo(capture).completeBaseName() + QStringLiteral(".m4a");
}

void Recorder::discardCapture(const QString& capture)
{
    // The sidecar goes last: until then the capture can still be found and
    // tidied up by adoption.
    QFile::remove(mixedPath(capture));
    QFile::remove(capture);
    const QString sidecar = CaptureSidecar::pathFor(capture);
    if (::unlink(QFile::encodeName(sidecar).constData()) != 0 && errno != ENOENT) {
        throw FileSystemError::fromErrno(
            QStringLiteral("Removing the details of a kept capture"), sidecar, errno);
    }
}

std::optional<QUuid> Recorder::captureID(const QString& capture)
{
    const QString name = QFileInfo(capture).completeBaseName();
    if (!name.startsWith(kCapturePrefix)) {
        return std::nullopt;
    }
    return Uuids::parse(name.mid(kCapturePrefix.size()));
}

QCoro::Task<QString> Recorder::recoverAudio(QString from, std::optional<QString> recoveryDirectory)
{
    const QString folder = recoveryDirectory.value_or(defaultRecoveryDirectory());
    const QString copy = freshName(folder, {}, u'.' + QFileInfo(from).suffix());
    const QString salvaged = freshName(folder, {}, QStringLiteral(".m4a"));
    auto salvage = mixingThread().run([folder, from, copy, salvaged] {
        makePrivateDirectory(folder);
        copyPrivately(from, copy);
        TrackMixer::mix(copy, salvaged);
        setPrivate(salvaged);
    });
    try {
        co_await std::move(salvage);
    } catch (...) {
        throw APIClientError(
            QStringLiteral("Could not recover interrupted audio: %1. Original retained at %2.")
                .arg(describe(std::current_exception()), from));
    }
    co_return salvaged;
}

QCoro::Task<> Recorder::mixAudio(QString from, QString to)
{
    auto mixing = mixingThread().run([from, to] { TrackMixer::mix(from, to); });
    co_await std::move(mixing);
}

PulseCapture::Listener Recorder::listenerFor(std::uint64_t id)
{
    // Called on libpulse's thread: only post, never touch the recorder there.
    const auto failed = [this, id](std::exception_ptr error) {
        m_mailbox.post([this, id, error] { captureFailed(id, error); });
    };
    return PulseCapture::Listener {
        [this, id] { m_mailbox.post([this, id] { outputFinished(id); }); },
        failed,
        failed,
    };
}

void Recorder::outputFinished(std::uint64_t id)
{
    if (m_output == id) {
        m_completion->resolve();
    }
}

void Recorder::captureFailed(std::uint64_t id, std::exception_ptr error)
{
    if (m_output != id) {
        return;
    }
    // Output and stream failures often come together; the model hears once.
    if (m_completion->resolve(std::move(error)) && m_onInterruption) {
        m_onInterruption();
    }
}

InputLevels Recorder::takeLevels()
{
    if (!m_stream) {
        return {};
    }
    return { .systemAudio = m_stream->takePeak(0), .microphone = m_stream->takePeak(1) };
}

void Recorder::clear()
{
    m_stream.reset();
    m_output.reset();
    m_rawPath.reset();
    m_stopping = false;
}
