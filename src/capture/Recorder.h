#pragma once

// Records one meeting at a time: the computer's own audio output (the monitor
// of the default sink) and the default microphone, into one raw capture with
// two tracks, then mixes it into one AAC/M4A file.
//
// How the application model uses it:
//   co_await recorder.start(details);       // begin; a no-op while recording
//   QString raw = *recorder.rawCapturePath();
//   QString audio = co_await recorder.stop(); // the mixed M4A, caller owns it
//   if (recorder.recoveryWarning()) ...      // set when stop() had to salvage
//   ... keep `audio` somewhere durable, then:
//   Recorder::discardCapture(raw);           // the capture is no longer needed
//   recorder.setOnInterruption(callback);    // the capture failed mid-meeting
//
// Threads and ownership: a Recorder lives on the main thread and every member
// is used there; start(), stop() and recoverAudio() suspend while the sound
// server or the mixer (a worker thread) works. Sound-server events arrive on
// libpulse's thread and are posted to the main thread before they touch the
// recorder; events of an earlier recording are ignored there. The
// interruption callback is therefore always called on the main thread, at
// most once per recording; the recording stays active until stop() is called.
//
// Files: raw captures ("tallisen-<UUID>.mp4") and their mixes (the same
// name, ".m4a") live in capturesDirectory(), which survives a reboot unlike
// /tmp. Next to each raw capture a sidecar ("tallisen-<UUID>.json") holds the
// start time and the details passed to start(). stop() leaves both in place:
// only the caller knows when the mixed audio is safe elsewhere, and until
// then a crash must leave a capture that can be adopted at the next start.
// The UUID names the meeting, so whoever keeps it can tell whether it already
// did. Folders are 0700, files 0600.
//
// This process plays nothing while recording (playback is blocked then), so
// the system-audio track needs no filter to leave out our own sound.

#include "capture/InputLevels.h"
#include "capture/PulseCapture.h"
#include "capture/RecorderError.h"
#include "capture/RecordingCompletion.h"
#include "core/ThreadMailbox.h"

#include <QCoro/QCoroTask>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUuid>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class Recorder : public QObject
{
    Q_OBJECT

public:
    using Sources = PulseCapture::Sources;

    static constexpr std::chrono::milliseconds kFinalizationTimeout { 30'000 };
    static constexpr std::chrono::milliseconds kStartTimeout { 10'000 };

    explicit Recorder(QObject* parent = nullptr);
    // Other sources or another server than the user's defaults.
    explicit Recorder(Sources sources, QObject* parent = nullptr);
    ~Recorder() override;

    // Begins a recording; returns at once when one is running. Throws
    // RecorderError (soundServerUnavailable, noOutputDevice,
    // microphonePermissionDenied) before any file is created, or
    // FileSystemError/FFmpeg::Error when the capture file cannot be written.
    // `details` is stored in the sidecar under "details".
    QCoro::Task<> start(QJsonObject details = {});

    // Ends the recording and returns the path of the mixed M4A. Throws
    // RecorderError notRecording when idle, and APIClientError naming the
    // kept file when mixing or salvage fails. Idle afterwards, whatever
    // happens; the raw capture and its sidecar stay until discardCapture().
    QCoro::Task<QString> stop();

    // Copies `from` into the salvage folder (recoveryDirectory or the default
    // one), mixes the copy and returns the mixed file. Throws APIClientError.
    static QCoro::Task<QString> recoverAudio(
        QString from, std::optional<QString> recoveryDirectory = std::nullopt);

    // Mixes every audio track of `from` into the new M4A `to`, on a worker thread.
    static QCoro::Task<> mixAudio(QString from, QString to);

    // Removes a raw capture's mix in the captures folder, the capture and
    // then its sidecar. Throws FileSystemError when the sidecar stays, since the
    // capture would be adopted a second time.
    static void discardCapture(const QString& capture);

    // Where a raw capture's mix goes: beside it, the same name with ".m4a".
    static QString mixedPath(const QString& capture);

    // The UUID in a raw capture's name; absent for a name not made by start().
    static std::optional<QUuid> captureID(const QString& capture);

    // "$XDG_DATA_HOME/Tallisen/Captures" and ".../Tallisen/RecoveredAudio".
    static QString capturesDirectory();
    static QString defaultRecoveryDirectory();

    bool isStreamLive() const { return m_stream != nullptr; }
    // The levels since the last call; zeros while nothing records.
    InputLevels takeLevels();
    const std::optional<QString>& recoveryWarning() const { return m_recoveryWarning; }
    void setOnInterruption(std::function<void()> callback) { m_onInterruption = std::move(callback); }
    // The raw capture being written, while recording.
    const std::optional<QString>& rawCapturePath() const { return m_rawPath; }
    // Each of stop()'s two waits; shortened only by tests.
    void setFinalizationTimeout(std::chrono::milliseconds timeout) { m_finalizationTimeout = timeout; }

private:
    PulseCapture::Listener listenerFor(std::uint64_t id);
    void outputFinished(std::uint64_t id);
    void captureFailed(std::uint64_t id, std::exception_ptr error);
    void clear();

    Sources m_sources;
    // Declared before the stream, so it outlives libpulse's thread.
    ThreadMailbox m_mailbox;
    std::unique_ptr<PulseCapture> m_stream;
    std::optional<std::uint64_t> m_output;
    std::optional<QString> m_rawPath;
    std::shared_ptr<RecordingCompletion> m_completion = RecordingCompletion::create();
    std::function<void()> m_onInterruption;
    std::optional<QString> m_recoveryWarning;
    std::chrono::milliseconds m_finalizationTimeout = kFinalizationTimeout;
    std::uint64_t m_lastId = 0;
    bool m_stopping = false;
};
